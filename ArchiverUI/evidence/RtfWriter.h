// Writes a rich text document as RTF: the runs of text with their colour,
// weight, slant, underline and size, links as hyperlink fields, paragraphs
// and line breaks, and any Unicode text as \uN escapes with a code page
// stand-in, so that every reader shows the same characters.
//
// The document is a plain list of paragraphs and runs, so that programs
// without a GUI (the evidence packages of vqcli) write the same RTF as the
// message view; the view turns its text document into one (RtfDocument.h).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// A stretch of text in one format.
struct TRtfRun {
    QString Text;
    bool Bold = false;
    bool Italic = false;
    bool Underline = false;
    bool StrikeOut = false;
    // 0xRRGGBB when HasColour; otherwise the reader's default colour.
    bool HasColour = false;
    quint32 Colour = 0;
    // 0: the document's size.
    double Points = 0;
    // Set: the run is a link to this address.
    QString Href;
};

using TRtfParagraph = QList<TRtfRun>;

struct TRtfDocument {
    QString FontFamily;
    // The default size in points (10 when not positive).
    double Points = 10;
    QList<TRtfParagraph> Paragraphs;
};

class TRtfWriter {
public:
    static QByteArray Write(const TRtfDocument& Document);
    // Text as it stands inside a group: control characters of RTF escaped,
    // characters outside printable ASCII as \uN followed by a one-character
    // stand-in (\'hh).
    static QByteArray EscapeText(const QString& Text);
};
