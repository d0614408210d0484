#include "VQMessageBox.h"

#include <QApplication>

#include <optional>

namespace {

struct TSeam {
    bool Automatic = false;
    std::optional<QMessageBox::StandardButton> NextAnswer;
    QStringList Shown;
};

TSeam& Seam() {
    static TSeam S;
    return S;
}

} // namespace

TVQMessageBox::Button TVQMessageBox::Show(QWidget* Parent, QMessageBox::Icon Icon,
                                          const QString& Title, const QString& Text,
                                          Buttons Choices, Button Default) {
    TSeam& S = Seam();
    if (S.Automatic || S.NextAnswer) {
        S.Shown.append(Text);
        if (S.NextAnswer) {
            const Button Answer = *S.NextAnswer;
            S.NextAnswer.reset();
            return Answer;
        }
        return Default != QMessageBox::NoButton ? Default : QMessageBox::Ok;
    }
    QMessageBox Box(Icon, Title, Text, Choices, Parent);
    if (Default != QMessageBox::NoButton)
        Box.setDefaultButton(Default);
    return static_cast<Button>(Box.exec());
}

void TVQMessageBox::ShowError(QWidget* Parent, const QString& Text) {
    Show(Parent, QMessageBox::Critical, QApplication::applicationDisplayName(), Text);
}

void TVQMessageBox::SetNextAnswer(Button Answer) {
    Seam().NextAnswer = Answer;
}

void TVQMessageBox::SetAnswerAutomatically(bool Value) {
    Seam().Automatic = Value;
}

QStringList TVQMessageBox::Shown() {
    return Seam().Shown;
}

void TVQMessageBox::ClearShown() {
    Seam().Shown.clear();
}
