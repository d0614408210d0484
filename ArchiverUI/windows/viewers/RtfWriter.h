// Writes a rich text document as RTF: the runs of text with their colour,
// weight, slant, underline and size, links as hyperlink fields, paragraphs
// and line breaks, and any Unicode text as \uN escapes with a code page
// stand-in, so that every reader shows the same characters.
#pragma once

#include <QByteArray>
#include <QString>

class QTextDocument;

class TRtfWriter {
public:
    static QByteArray Write(const QTextDocument& Document);
    // Text as it stands inside a group: control characters of RTF escaped,
    // characters outside printable ASCII as \uN followed by a one-character
    // stand-in (\'hh).
    static QByteArray EscapeText(const QString& Text);
};
