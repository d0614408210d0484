#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "TestWindow.h"

#include <gtest/gtest.h>

namespace {

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FHome.isValid());
        qputenv("XDG_CONFIG_HOME", FHome.path().toLocal8Bit());
    }

    QString KeyHeader() const {
        return QStringLiteral("[HKEY_CURRENT_USER\\%1]\n").arg(SettingsKeyPath());
    }

    // Writes the settings file as an operator or an older program left it.
    void WriteFile(const QByteArray& Bytes) {
        QDir().mkpath(QFileInfo(SettingsFilePath()).absolutePath());
        QFile F(SettingsFilePath());
        ASSERT_TRUE(F.open(QIODevice::WriteOnly));
        F.write(Bytes);
    }
    void WriteKey(const QString& Values) {
        WriteFile(
            (QStringLiteral("Windows Registry Editor Version 5.00\n\n") + KeyHeader() + Values)
                .toUtf8());
    }
    QString FileText() const {
        QFile F(SettingsFilePath());
        if (!F.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(F.readAll());
    }
    // The bytes of a binary value as the file holds them.
    QByteArray BinaryValue(const QString& Name) const {
        const QRegularExpression Re(QStringLiteral("^\"%1\"=hex:([0-9a-f,]*)$").arg(Name),
                                    QRegularExpression::MultilineOption);
        const QRegularExpressionMatch M = Re.match(FileText());
        if (!M.hasMatch())
            return {};
        QByteArray Bytes;
        for (const QString& H : M.captured(1).split(QLatin1Char(','), Qt::SkipEmptyParts))
            Bytes.append(static_cast<char>(H.toInt(nullptr, 16)));
        return Bytes;
    }

    QTemporaryDir FHome;
};

TEST_F(SettingsStoreTest, TheKeyIsNamedAfterTheProgramUnderTheUsersConfigFolder) {
    EXPECT_EQ(SettingsKeyPath(), QStringLiteral("Software\\Tovrin\\SettingsStore_test"));
    EXPECT_EQ(SettingsFilePath(), FHome.path() + QStringLiteral("/Tovrin/SettingsStore_test"));
}

TEST_F(SettingsStoreTest, WithoutAFileEveryValueIsAbsent) {
    quint32 Port = 99;
    QString Host = QStringLiteral("unchanged");
    QString Password;
    qint32 Max = 5;
    QStringList List{QStringLiteral("old")};
    EXPECT_FALSE(ReadPort(Port));
    EXPECT_FALSE(ReadHost(Host));
    EXPECT_FALSE(ReadPassword(Password));
    EXPECT_FALSE(ReadMaxRecords(Max));
    EXPECT_FALSE(ReadHistory(hkAddress, List));
    EXPECT_EQ(Port, 99u);
    EXPECT_EQ(Host, QStringLiteral("unchanged"));
    EXPECT_TRUE(List.isEmpty());
    // Reading creates nothing.
    EXPECT_FALSE(QFileInfo::exists(SettingsFilePath()));
}

TEST_F(SettingsStoreTest, ValuesReadBackWithTheirTypes) {
    ASSERT_TRUE(WritePort(8123));
    ASSERT_TRUE(WriteHost(QStringLiteral("archive.example")));
    ASSERT_TRUE(WriteMaxRecords(2500));
    quint32 Port = 0;
    QString Host;
    qint32 Max = 0;
    ASSERT_TRUE(ReadPort(Port));
    ASSERT_TRUE(ReadHost(Host));
    ASSERT_TRUE(ReadMaxRecords(Max));
    EXPECT_EQ(Port, 8123u);
    EXPECT_EQ(Host, QStringLiteral("archive.example"));
    EXPECT_EQ(Max, 2500);
    const QString Text = FileText();
    EXPECT_TRUE(Text.contains(QStringLiteral("\"Port\"=dword:00001fbb\n"))) << qPrintable(Text);
    EXPECT_TRUE(Text.contains(QStringLiteral("\"Host\"=\"archive.example\"\n")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"Max_Recs\"=dword:000009c4\n")));
}

TEST_F(SettingsStoreTest, HostTextsWithQuotesBackslashesAndLineBreaksSurvive) {
    const QString Odd = QStringLiteral("a\"b\\c\nd\u00e9\u4e2d");
    ASSERT_TRUE(WriteHost(Odd));
    QString Host;
    ASSERT_TRUE(ReadHost(Host));
    EXPECT_EQ(Host, Odd);
}

TEST_F(SettingsStoreTest, APasswordIsStoredAsA255ByteScrambledBlock) {
    ASSERT_TRUE(WritePassword(QStringLiteral("abc")));
    const QByteArray Block = BinaryValue(QStringLiteral("Data"));
    ASSERT_EQ(Block.size(), 255);
    EXPECT_EQ(quint8(Block[0]), 3);
    EXPECT_EQ(quint8(Block[1]), quint8('a' ^ 0xB6));
    EXPECT_EQ(quint8(Block[2]), quint8('b' ^ 0xB6));
    EXPECT_EQ(quint8(Block[3]), quint8('c' ^ 0xB6));
    QString Password;
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_EQ(Password, QStringLiteral("abc"));
}

TEST_F(SettingsStoreTest, BytesPastTheLengthAreIgnoredWhenReading) {
    QString Hex = QStringLiteral("02,%1,%2")
                      .arg(quint8('o' ^ 0xB6), 2, 16, QLatin1Char('0'))
                      .arg(quint8('k' ^ 0xB6), 2, 16, QLatin1Char('0'));
    for (int I = 3; I < 255; ++I)
        Hex += QStringLiteral(",7f");
    WriteKey(QStringLiteral("\"Data\"=hex:%1\n").arg(Hex));
    QString Password;
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_EQ(Password, QStringLiteral("ok"));
}

TEST_F(SettingsStoreTest, ALengthByteBeyondTheBlockReadsOnlyWhatIsThere) {
    WriteKey(
        QStringLiteral("\"Data\"=hex:09,%1\n").arg(quint8('x' ^ 0xB6), 2, 16, QLatin1Char('0')));
    QString Password;
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_EQ(Password, QStringLiteral("x"));
}

TEST_F(SettingsStoreTest, APasswordLongerThanTheBlockIsCutAt254Characters) {
    const QString Long(300, QLatin1Char('p'));
    ASSERT_TRUE(WritePassword(Long));
    const QByteArray Block = BinaryValue(QStringLiteral("Data"));
    ASSERT_EQ(Block.size(), 255);
    EXPECT_EQ(quint8(Block[0]), 254);
    QString Password;
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_EQ(Password, Long.left(254));
}

TEST_F(SettingsStoreTest, PasswordCharactersKeepTheirLow8Bits) {
    ASSERT_TRUE(WritePassword(QStringLiteral("p\u00e4ss")));
    QString Password;
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_EQ(Password, QStringLiteral("p\u00e4ss"));
}

TEST_F(SettingsStoreTest, AnEmptyPasswordIsStoredAndFound) {
    ASSERT_TRUE(WritePassword(QString()));
    QString Password = QStringLiteral("x");
    ASSERT_TRUE(ReadPassword(Password));
    EXPECT_TRUE(Password.isEmpty());
}

TEST_F(SettingsStoreTest, HistoryCountBoundsAndGapsAreSkipped) {
    WriteKey(QStringLiteral("\"HistCount\"=dword:00000003\n"
                            "\"AddrHist0\"=\"first\"\n"
                            "\"AddrHist2\"=\"third \"\n"
                            "\"AddrHist3\"=\"beyond the count\"\n"));
    QStringList List;
    ASSERT_TRUE(ReadHistory(hkAddress, List));
    EXPECT_EQ(List, (QStringList{QStringLiteral("first"), QStringLiteral("third ")}));
}

TEST_F(SettingsStoreTest, BlankHistoryEntriesAreSkipped) {
    WriteKey(QStringLiteral("\"SHCount\"=dword:00000003\n"
                            "\"SearchHist0\"=\"   \"\n"
                            "\"SearchHist1\"=\"\"\n"
                            "\"SearchHist2\"=\"hello world\"\n"));
    QStringList List;
    ASSERT_TRUE(ReadHistory(hkSearchPhrase, List));
    EXPECT_EQ(List, QStringList{QStringLiteral("hello world")});
}

TEST_F(SettingsStoreTest, TheTwoListsUseTheirOwnNames) {
    ASSERT_TRUE(WriteHistory(hkAddress, {QStringLiteral("10.0.0.1"), QStringLiteral("srv")}));
    ASSERT_TRUE(WriteHistory(hkSearchPhrase, {QStringLiteral("invoice")}));
    const QString Text = FileText();
    EXPECT_TRUE(Text.contains(QStringLiteral("\"HistCount\"=dword:00000002\n")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"AddrHist0\"=\"10.0.0.1\"\n")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"AddrHist1\"=\"srv\"\n")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"SHCount\"=dword:00000001\n")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"SearchHist0\"=\"invoice\"\n")));
    QStringList A, S;
    ASSERT_TRUE(ReadHistory(hkAddress, A));
    ASSERT_TRUE(ReadHistory(hkSearchPhrase, S));
    EXPECT_EQ(A, (QStringList{QStringLiteral("10.0.0.1"), QStringLiteral("srv")}));
    EXPECT_EQ(S, QStringList{QStringLiteral("invoice")});
}

TEST_F(SettingsStoreTest, AShorterListLeavesOldEntriesThatAreNotReadBack) {
    ASSERT_TRUE(
        WriteHistory(hkAddress, {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                                 QStringLiteral("d"), QStringLiteral("e")}));
    ASSERT_TRUE(WriteHistory(hkAddress, {QStringLiteral("x"), QStringLiteral("y")}));
    const QString Text = FileText();
    EXPECT_TRUE(Text.contains(QStringLiteral("\"AddrHist2\"=\"c\"")));
    EXPECT_TRUE(Text.contains(QStringLiteral("\"AddrHist4\"=\"e\"")));
    QStringList List;
    ASSERT_TRUE(ReadHistory(hkAddress, List));
    EXPECT_EQ(List, (QStringList{QStringLiteral("x"), QStringLiteral("y")}));
}

TEST_F(SettingsStoreTest, AHugeCountReadsOnlyTheEntriesThatExist) {
    WriteKey(QStringLiteral("\"HistCount\"=dword:ffffffff\n"
                            "\"AddrHist4000000000\"=\"far\"\n"
                            "\"AddrHist1\"=\"near\"\n"
                            "\"AddrHist01\"=\"not entry one\"\n"));
    QStringList List;
    ASSERT_TRUE(ReadHistory(hkAddress, List));
    EXPECT_EQ(List, (QStringList{QStringLiteral("near"), QStringLiteral("far")}));
}

TEST_F(SettingsStoreTest, ValuesOfTheWrongTypeAreReadErrors) {
    WriteKey(QStringLiteral("\"Port\"=\"7456\"\n"
                            "\"Host\"=dword:00000001\n"
                            "\"Max_Recs\"=hex:01,02\n"
                            "\"Data\"=\"secret\"\n"));
    quint32 Port = 0;
    QString Host, Password;
    qint32 Max = 0;
    try {
        ReadPort(Port);
        FAIL() << "a string port was read";
    } catch (const ERegistryException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid data type for 'Port'"));
    }
    EXPECT_THROW(ReadHost(Host), ERegistryException);
    EXPECT_THROW(ReadMaxRecords(Max), ERegistryException);
    try {
        ReadPassword(Password);
        FAIL() << "a string password block was read";
    } catch (const ERegistryException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid data type for 'Data'"));
    }
}

TEST_F(SettingsStoreTest, APasswordBlockLongerThan255BytesIsAReadError) {
    QString Hex = QStringLiteral("01");
    for (int I = 1; I < 256; ++I)
        Hex += QStringLiteral(",00");
    WriteKey(QStringLiteral("\"Data\"=hex:%1\n").arg(Hex));
    QString Password;
    EXPECT_THROW(ReadPassword(Password), ERegistryException);
}

TEST_F(SettingsStoreTest, HistoryValuesOfTheWrongTypeAreReadErrors) {
    WriteKey(QStringLiteral("\"HistCount\"=\"2\"\n"));
    QStringList List;
    try {
        ReadHistory(hkAddress, List);
        FAIL() << "a string count was read";
    } catch (const ERegistryException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid data type for 'HistCount'"));
    }
    WriteKey(QStringLiteral("\"SHCount\"=dword:00000002\n\"SearchHist1\"=dword:00000005\n"));
    try {
        ReadHistory(hkSearchPhrase, List);
        FAIL() << "a number entry was read";
    } catch (const ERegistryException& E) {
        EXPECT_EQ(E.Message(), QStringLiteral("Invalid data type for 'SearchHist1'"));
    }
}

TEST_F(SettingsStoreTest, MalformedValuesAreTypeErrorsNotGuesses) {
    WriteKey(QStringLiteral("\"Port\"=dword:12345678901\n"
                            "\"Host\"=\"unterminated\n"
                            "\"Max_Recs\"=dword:zz\n"));
    quint32 Port = 0;
    QString Host;
    qint32 Max = 0;
    EXPECT_THROW(ReadPort(Port), ERegistryException);
    EXPECT_THROW(ReadHost(Host), ERegistryException);
    EXPECT_THROW(ReadMaxRecords(Max), ERegistryException);
}

TEST_F(SettingsStoreTest, AWindowsExportInUtf16IsRead) {
    const QString Export =
        QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                       "[HKEY_CURRENT_USER\\Software\\Tovrin\\Other]\r\n"
                       "\"Host\"=\"not ours\"\r\n\r\n") +
        QStringLiteral("[HKEY_CURRENT_USER\\%1]\r\n").arg(SettingsKeyPath().toUpper()) +
        QStringLiteral("\"host\"=\"winserver\"\r\n"
                       "\"Port\"=dword:00001d20\r\n"
                       "\"AddrHist0\"=hex(2):61,00,62,00,00,00\r\n"
                       "\"HistCount\"=hex(4):01,00,00,00\r\n"
                       "\"Data\"=hex:02,\\\r\n  d7,d4\r\n");
    QByteArray Bytes("\xFF\xFE", 2);
    for (QChar C : Export) {
        Bytes.append(static_cast<char>(C.unicode() & 0xFF));
        Bytes.append(static_cast<char>(C.unicode() >> 8));
    }
    WriteFile(Bytes);
    QString Host, Password;
    quint32 Port = 0;
    QStringList List;
    ASSERT_TRUE(ReadHost(Host));
    ASSERT_TRUE(ReadPort(Port));
    ASSERT_TRUE(ReadPassword(Password));
    ASSERT_TRUE(ReadHistory(hkAddress, List));
    EXPECT_EQ(Host, QStringLiteral("winserver"));
    EXPECT_EQ(Port, 7456u);
    EXPECT_EQ(Password, QStringLiteral("ab"));
    EXPECT_EQ(List, QStringList{QStringLiteral("ab")});
}

TEST_F(SettingsStoreTest, AWriteKeepsTheOtherValuesAndLeavesNoTemporaryFile) {
    WriteKey(QStringLiteral("\"Host\"=\"keep\"\n\"Extra\"=hex(7):41,00,00,00,00,00\n"));
    ASSERT_TRUE(WritePort(1234));
    QString Host;
    ASSERT_TRUE(ReadHost(Host));
    EXPECT_EQ(Host, QStringLiteral("keep"));
    EXPECT_TRUE(FileText().contains(QStringLiteral("\"Extra\"=hex(7):41,00,00,00,00,00")));
    const QStringList Files =
        QDir(QFileInfo(SettingsFilePath()).absolutePath()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(Files, QStringList{QFileInfo(SettingsFilePath()).fileName()});
}

TEST_F(SettingsStoreTest, AFileFarTooLargeIsNeitherReadNorReplaced) {
    QByteArray Big("Windows Registry Editor Version 5.00\n\n");
    Big += KeyHeader().toUtf8();
    Big += "\"Host\"=\"big\"\n";
    Big += QByteArray(2 * 1024 * 1024, ';');
    WriteFile(Big);
    QString Host;
    EXPECT_FALSE(ReadHost(Host));
    EXPECT_FALSE(WriteHost(QStringLiteral("new")));
    EXPECT_EQ(QFileInfo(SettingsFilePath()).size(), Big.size());
}

TEST_F(SettingsStoreTest, AWriteWhereNoFolderCanBeMadeFailsQuietly) {
    // A plain file where the Tovrin folder should be.
    QFile Blocker(FHome.path() + QStringLiteral("/Tovrin"));
    ASSERT_TRUE(Blocker.open(QIODevice::WriteOnly));
    Blocker.close();
    EXPECT_FALSE(WritePort(1));
    quint32 Port = 0;
    EXPECT_FALSE(ReadPort(Port));
}

TEST_F(SettingsStoreTest, GarbageLinesAreIgnored) {
    WriteFile(QByteArray("\x01\x02garbage\n[unclosed\n\"Port\"=dword:00000010\n") +
              KeyHeader().toUtf8() + "=\"no name\"\n\"\"=\"empty\"\n\"Port\" dword:1\n" +
              "\"Port\"=dword:00000011\n");
    quint32 Port = 0;
    ASSERT_TRUE(ReadPort(Port));
    EXPECT_EQ(Port, 0x11u);
}

} // namespace

TEST_F(SettingsStoreTest, TheFolderAndTheFileAreTheOwnersAlone) {
    // Whatever the umask says, the password is for the operator's eyes.
    const mode_t Old = ::umask(0);
    ASSERT_TRUE(WriteHost(QStringLiteral("archive")));
    ::umask(Old);
    struct stat Folder = {};
    struct stat File = {};
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(SettingsFilePath()).absolutePath()).constData(),
                     &Folder),
              0);
    ASSERT_EQ(::stat(QFile::encodeName(SettingsFilePath()).constData(), &File), 0);
    EXPECT_EQ(Folder.st_mode & 07777, 0700u);
    EXPECT_EQ(File.st_mode & 07777, 0600u);

    // A file an older version left readable by everyone is private once
    // written again, and nothing else in the folder remains.
    ASSERT_EQ(::chmod(QFile::encodeName(SettingsFilePath()).constData(), 0644), 0);
    ASSERT_TRUE(WritePassword(QStringLiteral("s3cret")));
    ASSERT_EQ(::stat(QFile::encodeName(SettingsFilePath()).constData(), &File), 0);
    EXPECT_EQ(File.st_mode & 07777, 0600u);
    EXPECT_EQ(QDir(QFileInfo(SettingsFilePath()).absolutePath())
                  .entryList(QDir::Files | QDir::Hidden)
                  .size(),
              1);
    QString Host;
    ASSERT_TRUE(ReadHost(Host));
    EXPECT_EQ(Host, QStringLiteral("archive"));
}
