#include "RtfWriter.h"

#include <QList>
#include <QUrl>

#include <cmath>

namespace {

// The colours the document uses, in order of appearance; RTF numbers them
// from 1 (0 is the reader's default).
class TColourTable {
public:
    int Index(quint32 Colour) {
        const quint32 Rgb = Colour & 0xFFFFFFu;
        const int Found = static_cast<int>(FColours.indexOf(Rgb));
        if (Found >= 0)
            return Found + 1;
        FColours.append(Rgb);
        return static_cast<int>(FColours.size());
    }
    QByteArray Table() const {
        QByteArray Out = "{\\colortbl ;";
        for (const quint32 C : FColours)
            Out += "\\red" + QByteArray::number((C >> 16) & 0xFF) + "\\green" +
                   QByteArray::number((C >> 8) & 0xFF) + "\\blue" + QByteArray::number(C & 0xFF) +
                   ';';
        Out += '}';
        return Out;
    }

private:
    QList<quint32> FColours;
};

QByteArray Formatting(const TRtfRun& Run, TColourTable& Colours, int DefaultHalfPoints) {
    QByteArray Out;
    if (Run.Bold)
        Out += "\\b";
    if (Run.Italic)
        Out += "\\i";
    if (Run.Underline)
        Out += "\\ul";
    if (Run.StrikeOut)
        Out += "\\strike";
    if (Run.HasColour)
        Out += "\\cf" + QByteArray::number(Colours.Index(Run.Colour));
    const double Points = Run.Points;
    if (Points > 0) {
        const int Half = static_cast<int>(std::lround(Points * 2));
        if (Half != DefaultHalfPoints)
            Out += "\\fs" + QByteArray::number(Half);
    }
    return Out;
}

// A link target inside the field instruction: a quote or blank would end
// the quoted argument.
QByteArray FieldTarget(const QString& Href) {
    QByteArray Url = QUrl(Href).toEncoded();
    if (Url.isEmpty())
        Url = Href.toUtf8();
    Url.replace('"', "%22").replace(' ', "%20");
    return TRtfWriter::EscapeText(QString::fromUtf8(Url));
}

} // namespace

QByteArray TRtfWriter::EscapeText(const QString& Text) {
    QByteArray Out;
    Out.reserve(Text.size() + 16);
    for (const QChar Ch : Text) {
        const char16_t U = Ch.unicode();
        switch (U) {
        case u'\\':
            Out += "\\\\";
            continue;
        case u'{':
            Out += "\\{";
            continue;
        case u'}':
            Out += "\\}";
            continue;
        case u'\t':
            Out += "\\tab ";
            continue;
        case 0x2028: // line separator: a break inside the paragraph
        case u'\n':
            Out += "\\line ";
            continue;
        case 0x00A0:
            Out += "\\~";
            continue;
        default:
            break;
        }
        if (U >= 0x20 && U < 0x7F) {
            Out += static_cast<char>(U);
        } else if (U >= 0x80) {
            // Each UTF-16 unit as a signed 16-bit number, surrogates included.
            // The stand-in for readers without Unicode is the character in
            // the document's code page where it has one, else "?"; written
            // as a hex escape, which every reader skips as one character.
            Out += "\\u" + QByteArray::number(static_cast<qint16>(U)) + "\\'" +
                   (U >= 0xA0 && U <= 0xFF ? QByteArray::number(U, 16) : QByteArray("3f"));
        }
        // Other control characters carry nothing a reader could show.
    }
    return Out;
}

QByteArray TRtfWriter::Write(const TRtfDocument& Document) {
    TColourTable Colours;
    const double DefaultPoints = Document.Points > 0 ? Document.Points : 10;
    const int DefaultHalf = static_cast<int>(std::lround(DefaultPoints * 2));

    QByteArray Body;
    for (qsizetype P = 0; P < Document.Paragraphs.size(); ++P) {
        if (P > 0)
            Body += "\\par\r\n";
        for (const TRtfRun& Run : Document.Paragraphs.at(P)) {
            const QByteArray Codes = Formatting(Run, Colours, DefaultHalf);
            const QByteArray Text = EscapeText(Run.Text);
            const QString& Href = Run.Href;
            if (!Href.isEmpty()) {
                Body += "{\\field{\\*\\fldinst{ HYPERLINK \"" + FieldTarget(Href) +
                        "\" }}{\\fldrslt{" + Codes + ' ' + Text + "}}}";
            } else {
                Body += '{' + Codes + ' ' + Text + '}';
            }
        }
    }

    QByteArray Out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1";
    Out += "{\\fonttbl{\\f0\\fnil " + EscapeText(Document.FontFamily) + ";}}";
    Out += Colours.Table();
    Out += "\r\n\\viewkind4\\pard\\plain\\f0\\fs" + QByteArray::number(DefaultHalf) + "\r\n";
    Out += Body;
    Out += "\\par\r\n}\r\n";
    return Out;
}
