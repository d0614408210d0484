// The result windows' download files live in a private folder of the user
// and are created exclusively, readable by the user alone, never through a
// link another local user could have planted.
#include "ResultsTestSupport.h"

#include "TempFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

namespace {

mode_t ModeOf(const QString& Path) {
    struct stat Info = {};
    if (::lstat(QFile::encodeName(Path).constData(), &Info) != 0)
        return 0;
    return Info.st_mode;
}

QString Victim(const QString& Name, const QByteArray& Content) {
    const QString Path = QDir::tempPath() + QStringLiteral("/") + Name;
    QFile F(Path);
    F.open(QIODevice::WriteOnly | QIODevice::Truncate);
    F.write(Content);
    return Path;
}

QByteArray Read(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray("<unreadable>");
}

} // namespace

// Runs first in this program, before any private folder was made.
TEST(PrivateTempFolder, APlantedLinkAtTheFolderNameIsNotUsed) {
    const QString Name =
        QDir::tempPath() + QStringLiteral("/vqviewer-") + QString::number(::getuid());
    const QString Elsewhere = QDir::tempPath() + QStringLiteral("/elsewhere");
    ASSERT_TRUE(QDir().mkpath(Elsewhere));
    ASSERT_TRUE(QFile::link(Elsewhere, Name));
    const QString Folder = PrivateTempDir();
    EXPECT_NE(Folder, Name);
    EXPECT_NE(QFileInfo(Folder).canonicalFilePath(), QFileInfo(Elsewhere).canonicalFilePath());
    EXPECT_TRUE(S_ISDIR(ModeOf(Folder)));
    EXPECT_EQ(ModeOf(Folder) & 0777, 0700u);
    const QString Base = ReserveTempFileBase();
    EXPECT_TRUE(QFile::exists(Folder + QLatin1Char('/') + Base));
    EXPECT_TRUE(QDir(Elsewhere).isEmpty());
    QFile::remove(Name);
}

TEST(PrivateTempFolder, AFolderOpenToOthersIsClosed) {
    const QString Folder = PrivateTempDir();
    ASSERT_EQ(::chmod(QFile::encodeName(Folder).constData(), 0777), 0);
    EXPECT_EQ(PrivateTempDir(), Folder);
    EXPECT_EQ(ModeOf(Folder) & 0777, 0700u);
}

TEST(PrivateTempFolder, ReservedNamesAreNewEmptyAndPrivate) {
    const QString Folder = PrivateTempDir();
    const QRegularExpression Form(QStringLiteral("^vqa\\d+\\.~tf$"));
    QStringList Names;
    for (int I = 0; I < 5; ++I) {
        const QString Base = ReserveTempFileBase();
        EXPECT_TRUE(Form.match(Base).hasMatch()) << qPrintable(Base);
        EXPECT_FALSE(Names.contains(Base));
        Names.append(Base);
        const QString Path = Folder + QLatin1Char('/') + Base;
        EXPECT_EQ(QFileInfo(Path).size(), 0);
        EXPECT_TRUE(S_ISREG(ModeOf(Path)));
        EXPECT_EQ(ModeOf(Path) & 0777, 0600u);
    }
}

TEST(TempFileStream, WritesAFreshPrivateFile) {
    const QString Path = PrivateTempDir() + QLatin1Char('/') + ReserveTempFileBase();
    {
        TTempFileStream Stream(Path);
        Stream.Write("first download", 14);
    }
    {
        TTempFileStream Stream(Path);
        Stream.Write("abc", 3);
        Stream.Write("de", 2);
        EXPECT_EQ(Stream.Size(), 5);
    }
    EXPECT_EQ(Read(Path), QByteArray("abcde"));
    EXPECT_EQ(ModeOf(Path) & 0777, 0600u);
}

TEST(TempFileStream, NeverWritesThroughALink) {
    const QString Path = PrivateTempDir() + QLatin1Char('/') + ReserveTempFileBase();
    const QString Target = Victim(QStringLiteral("victim.txt"), "keep me");
    QFile::remove(Path);
    ASSERT_TRUE(QFile::link(Target, Path));
    {
        TTempFileStream Stream(Path);
        Stream.Write("download", 8);
    }
    EXPECT_EQ(Read(Target), QByteArray("keep me"));
    EXPECT_TRUE(S_ISREG(ModeOf(Path)));
    EXPECT_EQ(Read(Path), QByteArray("download"));
}

TEST(TempFileStream, AFileThatCannotBeMadeIsAClearError) {
    try {
        TTempFileStream Stream(QDir::tempPath() + QStringLiteral("/no/such/folder/vqa1.~tf"));
        FAIL() << "a file in a missing folder was created";
    } catch (const ETempFileError& E) {
        EXPECT_TRUE(QString::fromUtf8(E.what()).startsWith(QStringLiteral("Cannot create file")))
            << E.what();
    }
}
