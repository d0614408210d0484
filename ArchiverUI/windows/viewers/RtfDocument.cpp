#include "RtfDocument.h"

#include <QColor>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>

TRtfDocument RtfDocumentOf(const QTextDocument& Document) {
    TRtfDocument Out;
    const QFont Font = Document.defaultFont();
    Out.FontFamily = Font.family();
    Out.Points = Font.pointSizeF() > 0 ? Font.pointSizeF() : 10;
    for (QTextBlock Block = Document.begin(); Block.isValid(); Block = Block.next()) {
        TRtfParagraph Paragraph;
        for (auto It = Block.begin(); !It.atEnd(); ++It) {
            const QTextFragment Fragment = It.fragment();
            if (!Fragment.isValid())
                continue;
            const QTextCharFormat Format = Fragment.charFormat();
            TRtfRun Run;
            Run.Text = Fragment.text();
            Run.Bold = Format.fontWeight() >= QFont::DemiBold;
            Run.Italic = Format.fontItalic();
            Run.Underline = Format.fontUnderline();
            Run.StrikeOut = Format.fontStrikeOut();
            Run.HasColour = Format.foreground().style() != Qt::NoBrush;
            if (Run.HasColour)
                Run.Colour = Format.foreground().color().rgb() & 0xFFFFFFu;
            Run.Points = Format.fontPointSize();
            if (Format.isAnchor())
                Run.Href = Format.anchorHref();
            Paragraph.append(Run);
        }
        Out.Paragraphs.append(Paragraph);
    }
    return Out;
}
