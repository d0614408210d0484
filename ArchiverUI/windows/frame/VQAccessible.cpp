#include "VQAccessible.h"

#include "Main.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QToolButton>

namespace {

class TStatusPanelAccessible : public QAccessibleWidget {
public:
    explicit TStatusPanelAccessible(TStatusPanel* Panel)
        : QAccessibleWidget(Panel, QAccessible::StaticText) {}

    QString text(QAccessible::Text Kind) const override {
        if (Kind == QAccessible::Name)
            return static_cast<TStatusPanel*>(widget())->Text().trimmed();
        return QAccessibleWidget::text(Kind);
    }
};

class TToolButtonAccessible : public QAccessibleWidget {
public:
    explicit TToolButtonAccessible(QToolButton* Button)
        : QAccessibleWidget(Button, Button->isCheckable() ? QAccessible::CheckBox
                                                          : QAccessible::PushButton) {}

    QToolButton* Button() const { return static_cast<QToolButton*>(widget()); }

    QString text(QAccessible::Text Kind) const override {
        QString Text = QAccessibleWidget::text(Kind);
        if (Kind == QAccessible::Name && Text.isEmpty()) {
            Text = Button()->text();
            if (Text.isEmpty())
                Text = Button()->toolTip();
            Text.remove(QLatin1Char('&'));
        }
        return Text;
    }

    QAccessible::State state() const override {
        QAccessible::State State = QAccessibleWidget::state();
        State.checkable = Button()->isCheckable();
        State.checked = Button()->isChecked();
        State.pressed = Button()->isDown();
        return State;
    }

    QStringList actionNames() const override {
        QStringList Names{pressAction()};
        if (Button()->isCheckable())
            Names.append(toggleAction());
        return Names;
    }

    // Press and Toggle both do what a click does, so the command runs and
    // decides the check mark itself.
    void doAction(const QString& Name) override {
        if (!Button()->isEnabled())
            return;
        if (Name == pressAction() || Name == toggleAction())
            Button()->click();
        else
            QAccessibleWidget::doAction(Name);
    }
};

QAccessibleInterface* ViewerInterfaces(const QString& ClassName, QObject* Object) {
    if (ClassName == QLatin1String("TStatusPanel"))
        return new TStatusPanelAccessible(static_cast<TStatusPanel*>(Object));
    if (ClassName == QLatin1String("QToolButton")) {
        auto* Button = static_cast<QToolButton*>(Object);
        // Only the tool bars' command buttons; others keep Qt's interface.
        if (Button->defaultAction() != nullptr)
            return new TToolButtonAccessible(Button);
    }
    return nullptr;
}

} // namespace

void InstallViewerAccessibility() {
    QAccessible::installFactory(ViewerInterfaces);
}
