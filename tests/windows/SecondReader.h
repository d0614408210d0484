// A second reader of the RTF files the viewer writes: Debian's unrtf turns
// them into HTML, which Qt's HTML reader turns into text, so a test can
// compare what another program sees with what the view shows.
#pragma once

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTextDocument>

namespace viewer_test {

inline bool HaveUnrtf() {
    return !QStandardPaths::findExecutable(QStringLiteral("unrtf")).isEmpty();
}

// unrtf's HTML for the file; empty when unrtf is missing or failed.
inline QString UnrtfHtml(const QString& RtfFile) {
    const QString Program = QStandardPaths::findExecutable(QStringLiteral("unrtf"));
    if (Program.isEmpty())
        return {};
    QProcess P;
    P.start(Program, {QStringLiteral("--nopict"), QStringLiteral("--html"), RtfFile});
    if (!P.waitForFinished(30000) || P.exitCode() != 0)
        return {};
    return QString::fromUtf8(P.readAllStandardOutput());
}

// The text of that HTML, as a reader shows it.
inline QString UnrtfText(const QString& RtfFile) {
    QTextDocument Doc;
    Doc.setHtml(UnrtfHtml(RtfFile));
    return Doc.toPlainText();
}

inline QString WriteTemp(const QString& Name, const QByteArray& Data) {
    QFile F(Name);
    if (!F.open(QIODevice::WriteOnly) || F.write(Data) != Data.size())
        return {};
    return Name;
}

} // namespace viewer_test
