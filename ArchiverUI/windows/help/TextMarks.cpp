#include "TextMarks.h"

#include <QTextDocument>
#include <QTextEdit>

int MarkPhrases(QTextEdit* View, const QStringList& Phrases) {
    QList<QTextEdit::ExtraSelection> Marks;
    QTextCharFormat Format;
    Format.setBackground(View->palette().highlight());
    Format.setForeground(View->palette().highlightedText());
    const QTextDocument* Doc = View->document();
    for (const QString& Phrase : Phrases) {
        const QString Text = Phrase.trimmed();
        if (Text.isEmpty())
            continue;
        for (QTextCursor At = Doc->find(Text); !At.isNull(); At = Doc->find(Text, At))
            Marks.append({At, Format});
    }
    View->setExtraSelections(Marks);
    return int(Marks.size());
}
