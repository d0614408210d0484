// Shared by the evidence tests: a CSV reader that follows RFC 4180 to the
// letter (so that a file it accepts is one any conforming reader accepts),
// Debian's unzip and sha256sum run as a person would run them, and small
// file helpers.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}
QT_END_NAMESPACE

namespace evidence_test {

// The local time zone of the whole test program, set before its first test
// (and before anything reads the zone), whoever starts it.
class TZoneEnvironment : public ::testing::Environment {
public:
    explicit TZoneEnvironment(const char* Zone) : FZone(Zone) {}
    void SetUp() override {
        setenv("TZ", FZone, 1);
        tzset();
    }

private:
    const char* FZone;
};

#define EVIDENCE_TEST_ZONE(Zone)                                                                   \
    static ::testing::Environment* const EvidenceTestZone =                                        \
        ::testing::AddGlobalTestEnvironment(new evidence_test::TZoneEnvironment(Zone))

// RFC 4180: records end in CR LF; a field is either plain (no quote, comma,
// CR or LF) or quoted, with quotes doubled inside. A leading UTF-8 byte
// order mark is allowed. Error says what broke the rules, and where.
inline QList<QStringList> ReadCsv(const QByteArray& Bytes, QString* Error = nullptr) {
    QByteArray Data = Bytes;
    if (Data.startsWith("\xEF\xBB\xBF"))
        Data.remove(0, 3);
    const QString Text = QString::fromUtf8(Data);
    QList<QStringList> Rows;
    QStringList Row;
    QString Field;
    auto Fail = [&](const QString& Why, qsizetype At) {
        if (Error != nullptr)
            *Error = QStringLiteral("%1 at character %2").arg(Why).arg(At);
        return QList<QStringList>();
    };
    qsizetype I = 0;
    const qsizetype N = Text.size();
    if (N == 0)
        return Rows;
    for (;;) {
        Field.clear();
        if (I < N && Text.at(I) == QLatin1Char('"')) {
            ++I;
            for (;;) {
                if (I >= N)
                    return Fail(QStringLiteral("unterminated quoted field"), I);
                if (Text.at(I) == QLatin1Char('"')) {
                    if (I + 1 < N && Text.at(I + 1) == QLatin1Char('"')) {
                        Field += QLatin1Char('"');
                        I += 2;
                        continue;
                    }
                    ++I;
                    break;
                }
                Field += Text.at(I++);
            }
        } else {
            while (I < N && Text.at(I) != QLatin1Char(',') && Text.at(I) != QLatin1Char('\r')) {
                if (Text.at(I) == QLatin1Char('"') || Text.at(I) == QLatin1Char('\n'))
                    return Fail(QStringLiteral("quote or bare line feed in a plain field"), I);
                Field += Text.at(I++);
            }
        }
        Row.append(Field);
        if (I < N && Text.at(I) == QLatin1Char(',')) {
            ++I;
            continue;
        }
        if (I + 1 < N && Text.at(I) == QLatin1Char('\r') && Text.at(I + 1) == QLatin1Char('\n')) {
            I += 2;
            Rows.append(Row);
            Row.clear();
            if (I == N)
                return Rows;
            continue;
        }
        return Fail(QStringLiteral("a record does not end in CR LF"), I);
    }
}

inline QByteArray ReadFile(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

struct TRun {
    int Status = -1;
    QString Out;
    QString Err;
};

inline TRun RunProgram(const QString& Program, const QStringList& Args, const QString& Folder = {},
                       int Ms = 120000) {
    TRun R;
    const QString Path = QStandardPaths::findExecutable(Program);
    if (Path.isEmpty() && !QFile::exists(Program)) {
        R.Err = Program + QStringLiteral(" is not installed");
        return R;
    }
    QProcess P;
    if (!Folder.isEmpty())
        P.setWorkingDirectory(Folder);
    P.start(Path.isEmpty() ? Program : Path, Args);
    if (!P.waitForFinished(Ms)) {
        P.kill();
        P.waitForFinished();
        R.Err = QStringLiteral("timed out");
        return R;
    }
    R.Status = P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1;
    R.Out = QString::fromUtf8(P.readAllStandardOutput());
    R.Err = QString::fromUtf8(P.readAllStandardError());
    return R;
}

// Unpacks Zip into Folder with Debian's unzip; empty on success, else why.
inline QString Unzip(const QString& Zip, const QString& Folder) {
    QDir().mkpath(Folder);
    const TRun R = RunProgram(QStringLiteral("unzip"),
                              {QStringLiteral("-q"), Zip, QStringLiteral("-d"), Folder});
    return R.Status == 0 ? QString() : QStringLiteral("unzip: ") + R.Err + R.Out;
}

// Runs `sha256sum -c manifest.sha256` in Folder; the result and its lines.
inline TRun CheckManifest(const QString& Folder) {
    return RunProgram(QStringLiteral("sha256sum"),
                      {QStringLiteral("-c"), QStringLiteral("manifest.sha256")}, Folder);
}

// Every file below Folder, as paths relative to it, sorted.
inline QStringList FilesBelow(const QString& Folder) {
    QStringList Files;
    const QDir Root(Folder);
    QStringList Pending = {Folder};
    while (!Pending.isEmpty()) {
        const QDir Dir(Pending.takeFirst());
        for (const QFileInfo& Info :
             Dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (Info.isDir())
                Pending.append(Info.filePath());
            else
                Files.append(Root.relativeFilePath(Info.filePath()));
        }
    }
    Files.sort();
    return Files;
}

} // namespace evidence_test
