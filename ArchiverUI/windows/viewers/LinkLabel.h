// A label that reads like a link and runs an action: blue, underlined while
// the mouse is over it, clicked or Enter/Space when it has the focus. It
// follows the action's text, hint and enabled state.
#pragma once

#include <QLabel>
#include <QPointer>

class QAction;

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    TLinkLabel(const QString& Text, QAction* Action, QWidget* Parent);

    QAction* Action() const { return FAction; }
    bool Underlined() const { return font().underline(); }

protected:
    void enterEvent(QEnterEvent* Event) override;
    void leaveEvent(QEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    void SetUnderline(bool Value);
    void UpdateColour();
    void Run();

    QPointer<QAction> FAction;
};
