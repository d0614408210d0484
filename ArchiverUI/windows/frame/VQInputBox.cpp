#include "VQInputBox.h"

#include <QInputDialog>
#include <QList>

namespace {

struct TSeam {
    QList<std::optional<QString>> Answers;
    QStringList Prompts;
};

TSeam& Seam() {
    static TSeam S;
    return S;
}

} // namespace

bool TVQInputBox::InputQuery(QWidget* Parent, const QString& Caption, const QString& Prompt,
                             QString& Value) {
    TSeam& S = Seam();
    if (!S.Answers.isEmpty()) {
        S.Prompts.append(Prompt);
        const std::optional<QString> Answer = S.Answers.takeFirst();
        if (!Answer)
            return false;
        Value = *Answer;
        return true;
    }
    QInputDialog Box(Parent);
    Box.setWindowTitle(Caption);
    Box.setLabelText(Prompt);
    Box.setTextValue(Value);
    Box.setInputMode(QInputDialog::TextInput);
    if (Box.exec() != QDialog::Accepted)
        return false;
    Value = Box.textValue();
    return true;
}

void TVQInputBox::SetNextAnswer(std::optional<QString> Answer) {
    Seam().Answers.append(std::move(Answer));
}

QStringList TVQInputBox::Prompts() {
    return Seam().Prompts;
}

void TVQInputBox::ClearPrompts() {
    Seam().Prompts.clear();
    Seam().Answers.clear();
}
