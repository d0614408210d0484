#include "LinkLabel.h"

#include <QAction>
#include <QKeyEvent>
#include <QMouseEvent>

TLinkLabel::TLinkLabel(const QString& Text, QAction* Action, QWidget* Parent)
    : QLabel(Text, Parent), FAction(Action) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(Text);
    UpdateColour();
    if (Action != nullptr) {
        setToolTip(Action->toolTip());
        setEnabled(Action->isEnabled());
        connect(Action, &QAction::changed, this, [this] {
            if (FAction)
                setEnabled(FAction->isEnabled());
        });
    }
}

void TLinkLabel::SetUnderline(bool Value) {
    QFont F = font();
    F.setUnderline(Value);
    setFont(F);
}

void TLinkLabel::UpdateColour() {
    QPalette P = palette();
    P.setColor(QPalette::WindowText,
               isEnabled() ? QColor(Qt::blue) : P.color(QPalette::Disabled, QPalette::WindowText));
    setPalette(P);
}

void TLinkLabel::Run() {
    if (FAction && FAction->isEnabled())
        FAction->trigger();
}

void TLinkLabel::enterEvent(QEnterEvent* Event) {
    SetUnderline(true);
    QLabel::enterEvent(Event);
}

void TLinkLabel::leaveEvent(QEvent* Event) {
    SetUnderline(false);
    QLabel::leaveEvent(Event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* Event) {
    if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) {
        Event->accept();
        Run();
        return;
    }
    QLabel::mouseReleaseEvent(Event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter ||
        Event->key() == Qt::Key_Space) {
        Event->accept();
        Run();
        return;
    }
    QLabel::keyPressEvent(Event);
}

void TLinkLabel::changeEvent(QEvent* Event) {
    if (Event->type() == QEvent::EnabledChange)
        UpdateColour();
    QLabel::changeEvent(Event);
}
