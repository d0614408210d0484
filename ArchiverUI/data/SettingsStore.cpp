#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <cerrno>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A settings file is a handful of lines; anything far larger is not ours,
// and reading it whole would let a stray file cost any amount of memory.
constexpr qint64 MaxFileSize = 1024 * 1024;

constexpr const char* RootKey = "HKEY_CURRENT_USER";
constexpr const char* ExportHeader = "Windows Registry Editor Version 5.00";

constexpr int PasswordBlockSize = 255;
constexpr int MaxPasswordLength = PasswordBlockSize - 1;
constexpr quint8 PasswordMask = 0xB6;

enum class TValueType { String, DWord, Binary, Other };

struct TValue {
    QString Name;
    TValueType Type = TValueType::Other;
    QString Text;       // String
    quint32 Number = 0; // DWord
    QByteArray Bytes;   // Binary
    QString Raw;        // Other: the data as it stood, written back unchanged
};

using TValues = std::vector<TValue>;

QString ProgramName() {
    QString Path;
    if (QCoreApplication::instance() != nullptr)
        Path = QCoreApplication::applicationFilePath();
    if (Path.isEmpty()) {
        std::error_code Error;
        const auto Exe = std::filesystem::read_symlink("/proc/self/exe", Error);
        if (!Error)
            Path = QString::fromStdString(Exe.string());
    }
    const QString Name = QFileInfo(Path).completeBaseName();
    return Name.isEmpty() ? QStringLiteral("vqviewer") : Name;
}

QString ConfigDir() {
    const QByteArray Xdg = qgetenv("XDG_CONFIG_HOME");
    // The XDG rules say a relative value is to be ignored.
    if (!Xdg.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(Xdg)))
        return QString::fromLocal8Bit(Xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

QString DecodeFile(const QByteArray& Bytes) {
    // Windows exports are UTF-16LE with a byte order mark; ours are UTF-8.
    if (Bytes.startsWith("\xFF\xFE")) {
        auto Decode = QStringDecoder(QStringDecoder::Utf16LE);
        return Decode(Bytes.mid(2));
    }
    if (Bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(Bytes.mid(3));
    return QString::fromUtf8(Bytes);
}

int HexDigit(QChar C) {
    const char16_t U = C.unicode();
    if (U >= '0' && U <= '9')
        return U - '0';
    if (U >= 'a' && U <= 'f')
        return U - 'a' + 10;
    if (U >= 'A' && U <= 'F')
        return U - 'A' + 10;
    return -1;
}

// "xx,xx,..." (blanks allowed around the commas); nullopt when malformed.
std::optional<QByteArray> ParseHexBytes(const QString& Text) {
    QByteArray Result;
    const QString Body = Text.trimmed();
    if (Body.isEmpty())
        return Result;
    const QStringList Items = Body.split(QLatin1Char(','));
    for (const QString& Raw : Items) {
        const QString Item = Raw.trimmed();
        if (Item.size() != 2 && Item.size() != 1)
            return std::nullopt;
        int Value = 0;
        for (QChar C : Item) {
            const int D = HexDigit(C);
            if (D < 0)
                return std::nullopt;
            Value = Value * 16 + D;
        }
        Result.append(static_cast<char>(Value));
    }
    return Result;
}

QString FromUtf16Bytes(const QByteArray& Bytes) {
    auto Decode = QStringDecoder(QStringDecoder::Utf16LE);
    QString Text = Decode(Bytes.left(Bytes.size() & ~1));
    // The stored string carries its terminator.
    const qsizetype Nul = Text.indexOf(QChar(0));
    return Nul >= 0 ? Text.left(Nul) : Text;
}

// A quoted text starting at Pos (which holds the opening quote); Pos ends
// after the closing quote. nullopt when the quote is not closed.
std::optional<QString> ParseQuoted(const QString& Line, qsizetype& Pos) {
    QString Result;
    for (++Pos; Pos < Line.size(); ++Pos) {
        const QChar C = Line[Pos];
        if (C == QLatin1Char('\\') && Pos + 1 < Line.size()) {
            Result.append(Line[++Pos]);
        } else if (C == QLatin1Char('"')) {
            ++Pos;
            return Result;
        } else {
            Result.append(C);
        }
    }
    return std::nullopt;
}

// The data after "name=". A form that is not understood keeps its text and
// counts as a type of its own, so that reading it is a type error and
// writing the file keeps it.
TValue ParseData(const QString& Name, const QString& Data) {
    TValue V;
    V.Name = Name;
    V.Raw = Data;
    if (Data.startsWith(QLatin1Char('"'))) {
        qsizetype Pos = 0;
        const std::optional<QString> Text = ParseQuoted(Data, Pos);
        if (Text && Data.mid(Pos).trimmed().isEmpty()) {
            V.Type = TValueType::String;
            V.Text = *Text;
        }
        return V;
    }
    if (Data.startsWith(QLatin1String("dword:"), Qt::CaseInsensitive)) {
        const QString Digits = Data.mid(6).trimmed();
        bool Ok = false;
        const quint32 Number = Digits.toUInt(&Ok, 16);
        if (Ok && !Digits.isEmpty() && Digits.size() <= 8 && HexDigit(Digits[0]) >= 0) {
            V.Type = TValueType::DWord;
            V.Number = Number;
        }
        return V;
    }
    int Kind = -1;
    QString Hex;
    if (Data.startsWith(QLatin1String("hex:"), Qt::CaseInsensitive)) {
        Kind = 3;
        Hex = Data.mid(4);
    } else if (Data.startsWith(QLatin1String("hex("), Qt::CaseInsensitive)) {
        const qsizetype Close = Data.indexOf(QLatin1String("):"));
        bool Ok = false;
        if (Close > 4)
            Kind = Data.mid(4, Close - 4).toInt(&Ok, 16);
        if (!Ok)
            return V;
        Hex = Data.mid(Close + 2);
    } else {
        return V;
    }
    const std::optional<QByteArray> Bytes = ParseHexBytes(Hex);
    if (!Bytes)
        return V;
    switch (Kind) {
    case 1: // REG_SZ
    case 2: // REG_EXPAND_SZ, which a string read accepts as well
        V.Type = TValueType::String;
        V.Text = FromUtf16Bytes(*Bytes);
        break;
    case 3: // REG_BINARY
        V.Type = TValueType::Binary;
        V.Bytes = *Bytes;
        break;
    case 4: // REG_DWORD, little-endian
        if (Bytes->size() == 4) {
            V.Type = TValueType::DWord;
            V.Number = quint32(quint8((*Bytes)[0])) | quint32(quint8((*Bytes)[1])) << 8 |
                       quint32(quint8((*Bytes)[2])) << 16 | quint32(quint8((*Bytes)[3])) << 24;
        }
        break;
    default:
        break;
    }
    return V;
}

bool IsOurKey(const QString& Path) {
    QString P = Path.trimmed();
    if (P.startsWith(QLatin1String("HKCU\\"), Qt::CaseInsensitive))
        P = QLatin1String(RootKey) + P.mid(4);
    return P.compare(QLatin1String(RootKey) + QLatin1Char('\\') + SettingsKeyPath(),
                     Qt::CaseInsensitive) == 0;
}

void SetValue(TValues& Values, TValue V) {
    for (TValue& Old : Values) {
        // Value names are not case-sensitive.
        if (Old.Name.compare(V.Name, Qt::CaseInsensitive) == 0) {
            Old = std::move(V);
            return;
        }
    }
    Values.push_back(std::move(V));
}

TValues ParseFile(const QString& Content) {
    TValues Values;
    bool InKey = false;
    const QStringList Lines = Content.split(QLatin1Char('\n'));
    for (qsizetype I = 0; I < Lines.size(); ++I) {
        QString Line = Lines[I];
        if (Line.endsWith(QLatin1Char('\r')))
            Line.chop(1);
        // Binary data may go on over several lines, each ending in '\'.
        while (Line.endsWith(QLatin1Char('\\')) && I + 1 < Lines.size()) {
            Line.chop(1);
            QString Next = Lines[++I];
            if (Next.endsWith(QLatin1Char('\r')))
                Next.chop(1);
            Line += Next.trimmed();
        }
        const QString T = Line.trimmed();
        if (T.startsWith(QLatin1Char('[')) && T.endsWith(QLatin1Char(']'))) {
            InKey = IsOurKey(T.mid(1, T.size() - 2));
            continue;
        }
        if (!InKey || !T.startsWith(QLatin1Char('"')))
            continue;
        qsizetype Pos = 0;
        const std::optional<QString> Name = ParseQuoted(T, Pos);
        if (!Name || Name->isEmpty())
            continue;
        while (Pos < T.size() && T[Pos].isSpace())
            ++Pos;
        if (Pos >= T.size() || T[Pos] != QLatin1Char('='))
            continue;
        const QString Data = T.mid(Pos + 1).trimmed();
        // "name"=- deletes the value in an export meant for import.
        if (Data == QLatin1String("-"))
            continue;
        SetValue(Values, ParseData(*Name, Data));
    }
    return Values;
}

// The key's values; nullopt when the key cannot be opened (a file that
// cannot be read or is far too large). A missing file is an empty key.
std::optional<TValues> LoadKey(bool& Exists) {
    QFile File(SettingsFilePath());
    Exists = File.exists();
    if (!Exists)
        return TValues{};
    if (!File.open(QIODevice::ReadOnly))
        return std::nullopt;
    if (File.size() > MaxFileSize)
        return std::nullopt;
    const QByteArray Bytes = File.read(MaxFileSize + 1);
    if (Bytes.size() > MaxFileSize)
        return std::nullopt;
    return ParseFile(DecodeFile(Bytes));
}

const TValue* FindValue(const TValues& Values, const QString& Name) {
    for (const TValue& V : Values)
        if (V.Name.compare(Name, Qt::CaseInsensitive) == 0)
            return &V;
    return nullptr;
}

QString Quote(const QString& Text) {
    QString Result = QStringLiteral("\"");
    for (QChar C : Text) {
        if (C == QLatin1Char('\\') || C == QLatin1Char('"'))
            Result.append(QLatin1Char('\\'));
        Result.append(C);
    }
    Result.append(QLatin1Char('"'));
    return Result;
}

QString HexList(const QByteArray& Bytes) {
    QStringList Items;
    Items.reserve(Bytes.size());
    for (char B : Bytes)
        Items.append(QStringLiteral("%1").arg(quint8(B), 2, 16, QLatin1Char('0')));
    return Items.join(QLatin1Char(','));
}

QString FormatData(const TValue& V) {
    switch (V.Type) {
    case TValueType::String: {
        // A quoted form cannot hold line breaks; such strings go as REG_SZ
        // in hex, UTF-16LE with the terminator, as an export writes them.
        bool Plain = true;
        for (QChar C : V.Text)
            if (C.unicode() < 0x20)
                Plain = false;
        if (Plain)
            return Quote(V.Text);
        QByteArray Bytes;
        for (QChar C : V.Text) {
            Bytes.append(static_cast<char>(C.unicode() & 0xFF));
            Bytes.append(static_cast<char>(C.unicode() >> 8));
        }
        Bytes.append(2, '\0');
        return QStringLiteral("hex(1):") + HexList(Bytes);
    }
    case TValueType::DWord:
        return QStringLiteral("dword:%1").arg(V.Number, 8, 16, QLatin1Char('0'));
    case TValueType::Binary:
        return QStringLiteral("hex:") + HexList(V.Bytes);
    case TValueType::Other:
        break;
    }
    return V.Raw;
}

// Creates what is missing of Dir, each new folder readable by its owner
// alone: the settings hold the password.
bool MakePrivateFolder(const QString& Dir) {
    const QByteArray Path = QDir::cleanPath(QDir(Dir).absolutePath()).toLocal8Bit();
    for (qsizetype I = 1; I <= Path.size(); ++I) {
        if (I != Path.size() && Path[I] != '/')
            continue;
        const QByteArray Part = Path.left(I);
        if (::mkdir(Part.constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(Dir).isDir();
}

bool SaveKey(const TValues& Values) {
    const QString Path = SettingsFilePath();
    const QString Dir = QFileInfo(Path).absolutePath();
    if (!MakePrivateFolder(Dir))
        return false;
    QString Text = QLatin1String(ExportHeader) + QStringLiteral("\n\n[") + QLatin1String(RootKey) +
                   QLatin1Char('\\') + SettingsKeyPath() + QStringLiteral("]\n");
    for (const TValue& V : Values)
        Text += Quote(V.Name) + QLatin1Char('=') + FormatData(V) + QLatin1Char('\n');
    // The old file stays whole until the new one is complete on disk, and
    // the new one is the owner's alone from its first byte: a temporary
    // file (created 0600) beside it that then takes its place.
    QTemporaryFile File(Dir + QStringLiteral("/.") + QFileInfo(Path).fileName() +
                        QStringLiteral(".XXXXXX"));
    if (!File.open())
        return false;
    File.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray Bytes = Text.toUtf8();
    if (File.write(Bytes) != Bytes.size() || !File.flush() || ::fsync(File.handle()) != 0)
        return false;
    if (::rename(QFile::encodeName(File.fileName()).constData(),
                 QFile::encodeName(Path).constData()) != 0)
        return false;
    File.setAutoRemove(false);
    return true;
}

// One read-modify-write of the key.
template <typename TChange> bool ChangeKey(TChange Change) {
    bool Exists = false;
    std::optional<TValues> Values = LoadKey(Exists);
    // A file we cannot read is left alone rather than replaced.
    if (!Values)
        return false;
    Change(*Values);
    return SaveKey(*Values);
}

[[noreturn]] void InvalidType(const QString& Name) {
    throw ERegistryException(QStringLiteral("Invalid data type for '%1'").arg(Name));
}

// The key's values for a read; empty when the key cannot be opened.
TValues ReadKey() {
    bool Exists = false;
    std::optional<TValues> Values = LoadKey(Exists);
    return Values ? std::move(*Values) : TValues{};
}

bool ReadDWord(const QString& Name, quint32& Number) {
    const TValues Values = ReadKey();
    const TValue* V = FindValue(Values, Name);
    if (V == nullptr)
        return false;
    if (V->Type != TValueType::DWord)
        InvalidType(Name);
    Number = V->Number;
    return true;
}

bool ReadStringValue(const TValues& Values, const QString& Name, QString& Text) {
    const TValue* V = FindValue(Values, Name);
    if (V == nullptr)
        return false;
    if (V->Type != TValueType::String)
        InvalidType(Name);
    Text = V->Text;
    return true;
}

TValue StringValue(const QString& Name, const QString& Text) {
    TValue V;
    V.Name = Name;
    V.Type = TValueType::String;
    V.Text = Text;
    return V;
}

TValue DWordValue(const QString& Name, quint32 Number) {
    TValue V;
    V.Name = Name;
    V.Type = TValueType::DWord;
    V.Number = Number;
    return V;
}

struct THistoryNames {
    const char* Prefix;
    const char* Count;
};

THistoryNames HistoryNames(int Kind) {
    if (Kind == hkSearchPhrase)
        return {"SearchHist", "SHCount"};
    return {"AddrHist", "HistCount"};
}

const QString SPort = QStringLiteral("Port");
const QString SHost = QStringLiteral("Host");
const QString SData = QStringLiteral("Data");
const QString SMaxRecs = QStringLiteral("Max_Recs");
const QString SPlayerVolume = QStringLiteral("PlayerVolume");
const QString SPlayerMute = QStringLiteral("PlayerMute");

} // namespace

ERegistryException::ERegistryException(const QString& Message)
    : std::runtime_error(Message.toStdString()), FMessage(Message) {}

QString SettingsKeyPath() {
    return QStringLiteral("Software\\Tovrin\\") + ProgramName();
}

QString SettingsFilePath() {
    return ConfigDir() + QStringLiteral("/Tovrin/") + ProgramName();
}

bool ReadPort(quint32& Port) {
    return ReadDWord(SPort, Port);
}

bool ReadHost(QString& Host) {
    return ReadStringValue(ReadKey(), SHost, Host);
}

bool ReadPassword(QString& Password) {
    const TValues Values = ReadKey();
    const TValue* V = FindValue(Values, SData);
    if (V == nullptr)
        return false;
    if (V->Type != TValueType::Binary || V->Bytes.size() > PasswordBlockSize)
        InvalidType(SData);
    const QByteArray& Block = V->Bytes;
    // A block shorter than its length byte claims holds only what is there.
    const int N = Block.isEmpty() ? 0 : qMin<int>(quint8(Block[0]), int(Block.size()) - 1);
    QByteArray Text(N, '\0');
    for (int I = 0; I < N; ++I)
        Text[I] = static_cast<char>(quint8(Block[I + 1]) ^ PasswordMask);
    // Each stored byte is the low 8 bits of a character, so they read back
    // as the characters of that 8-bit range.
    Password = QString::fromLatin1(Text);
    return true;
}

bool ReadMaxRecords(qint32& MaxRecords) {
    quint32 Number = 0;
    if (!ReadDWord(SMaxRecs, Number))
        return false;
    MaxRecords = static_cast<qint32>(Number);
    return true;
}

bool ReadHistory(int Kind, QStringList& List) {
    List.clear();
    const THistoryNames Names = HistoryNames(Kind);
    const TValues Values = ReadKey();
    quint32 Count = 0;
    const TValue* C = FindValue(Values, QLatin1String(Names.Count));
    if (C != nullptr) {
        if (C->Type != TValueType::DWord)
            InvalidType(QLatin1String(Names.Count));
        Count = C->Number;
    }
    // Entry i is the value named prefix + i in decimal, for i below the
    // count. The count comes from a file, so the entries are gathered from
    // the values that exist instead of looking up every number up to it.
    const QString Prefix = QLatin1String(Names.Prefix);
    std::map<quint32, const TValue*> Entries;
    for (const TValue& V : Values) {
        if (!V.Name.startsWith(Prefix, Qt::CaseInsensitive))
            continue;
        const QString Digits = V.Name.mid(Prefix.size());
        bool Ok = false;
        const quint32 I = Digits.toUInt(&Ok, 10);
        // Only the canonical spelling names entry i.
        if (!Ok || I >= Count || Digits != QString::number(I))
            continue;
        Entries.emplace(I, &V);
    }
    for (const auto& [I, V] : Entries) {
        if (V->Type != TValueType::String)
            InvalidType(V->Name);
        if (V->Text.trimmed().isEmpty())
            continue;
        List.append(V->Text);
    }
    return C != nullptr;
}

bool WritePort(quint32 Port) {
    return ChangeKey([&](TValues& Values) { SetValue(Values, DWordValue(SPort, Port)); });
}

bool WriteHost(const QString& Host) {
    return ChangeKey([&](TValues& Values) { SetValue(Values, StringValue(SHost, Host)); });
}

bool WritePassword(const QString& Password) {
    // Byte 0 counts the characters that follow; the block has room for
    // 254, so a longer password is cut there instead of running past the
    // block or wrapping its length.
    const int N = qMin<int>(int(Password.size()), MaxPasswordLength);
    QByteArray Block(PasswordBlockSize, '\0');
    Block[0] = static_cast<char>(N);
    for (int I = 0; I < N; ++I)
        Block[I + 1] = static_cast<char>((Password[I].unicode() & 0xFF) ^ PasswordMask);
    TValue V;
    V.Name = SData;
    V.Type = TValueType::Binary;
    V.Bytes = Block;
    return ChangeKey([&](TValues& Values) { SetValue(Values, V); });
}

bool WriteMaxRecords(qint32 MaxRecords) {
    return ChangeKey([&](TValues& Values) {
        SetValue(Values, DWordValue(SMaxRecs, static_cast<quint32>(MaxRecords)));
    });
}

bool ReadPlayerVolume(quint32& Volume, bool& Muted) {
    quint32 Level = 0;
    quint32 Mute = 0;
    const bool Found = ReadDWord(SPlayerVolume, Level);
    if (Found)
        Volume = qMin<quint32>(Level, 100);
    if (ReadDWord(SPlayerMute, Mute))
        Muted = Mute != 0;
    return Found;
}

bool WritePlayerVolume(quint32 Volume, bool Muted) {
    return ChangeKey([&](TValues& Values) {
        SetValue(Values, DWordValue(SPlayerVolume, qMin<quint32>(Volume, 100)));
        SetValue(Values, DWordValue(SPlayerMute, Muted ? 1u : 0u));
    });
}

bool WriteHistory(int Kind, const QStringList& List) {
    const THistoryNames Names = HistoryNames(Kind);
    return ChangeKey([&](TValues& Values) {
        SetValue(Values, DWordValue(QLatin1String(Names.Count), static_cast<quint32>(List.size())));
        for (qsizetype I = 0; I < List.size(); ++I)
            SetValue(Values,
                     StringValue(QLatin1String(Names.Prefix) + QString::number(I), List[I]));
    });
}
