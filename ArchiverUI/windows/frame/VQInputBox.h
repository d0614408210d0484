// The viewer's one-line input box, with a seam through which a test gives
// the next answer instead of a person.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

class TVQInputBox {
public:
    // Shows a modal box with the caption, the prompt and Value as the
    // starting text; true and the new text in Value when confirmed.
    static bool InputQuery(QWidget* Parent, const QString& Caption, const QString& Prompt,
                           QString& Value);

    // Test seam: the next box is not shown; it answers Answer (nullopt is
    // a cancel) and records its prompt.
    static void SetNextAnswer(std::optional<QString> Answer);
    static QStringList Prompts();
    static void ClearPrompts();
};
