// Writes a rich text document as RTF: the runs of text with their colour,
// weight, slant, underline and size, links as hyperlink fields, paragraphs
// and line breaks, and any Unicode text as \uN escapes with an ASCII
// stand-in, so that every reader shows the same characters.
#pragma once

#include <QByteArray>
#include <QString>

class QTextDocument;

class TRtfWriter {
public:
    static QByteArray Write(const QTextDocument& Document);
    // Text as it stands inside a group: control characters of RTF escaped,
    // characters outside printable ASCII as \uN?.
    static QByteArray EscapeText(const QString& Text);
};
