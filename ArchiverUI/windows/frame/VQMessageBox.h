// Every message box of the viewer goes through here, so that a test can
// answer boxes in advance and read what they said instead of a person.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class TVQMessageBox {
public:
    using Button = QMessageBox::StandardButton;
    using Buttons = QMessageBox::StandardButtons;

    // Shows a modal box and returns the button pressed.
    static Button Show(QWidget* Parent, QMessageBox::Icon Icon, const QString& Title,
                       const QString& Text, Buttons Choices = QMessageBox::Ok,
                       Button Default = QMessageBox::NoButton);
    // The standard error box: the application's title, the text, OK.
    static void ShowError(QWidget* Parent, const QString& Text);

    // Test seam: while set, boxes are not shown; each returns the next
    // answer (or its default button, or OK) and its text is recorded.
    static void SetNextAnswer(Button Answer);
    static void SetAnswerAutomatically(bool Value);
    static QStringList Shown();
    static void ClearShown();
};
