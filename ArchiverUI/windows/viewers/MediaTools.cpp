#include "MediaTools.h"

#include "AudioFormats.h"

#include <QAudioOutput>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMediaPlayer>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <ctime>

namespace {

// Command patterns of the player.
constexpr const char* cmdOpenWave = "open %S type waveaudio alias %S";
constexpr const char* cmdOpenMpeg = "open %S type mpegvideo alias %S";
constexpr const char* cmdTimeFormat = "set %S time format milliseconds";
constexpr const char* cmdLength = "status %S length";
constexpr const char* cmdStop = "stop %S";
constexpr const char* cmdClose = "close %S";
constexpr const char* cmdPlay = "play %S";
constexpr const char* cmdPause = "pause %S";
constexpr const char* cmdResume = "resume %S";
constexpr const char* cmdPosition = "status %S position";
constexpr const char* cmdSeek = "seek %S to %d";
constexpr const char* cmdMode = "status %S mode";
constexpr const char* cmdSpeed = "set %S speed %d";
constexpr const char* cmdStatusSpeed = "status %S speed";
constexpr const char* cmdVolume = "setaudio %S volume to %d";
constexpr const char* cmdAudioOff = "setaudio %S off";
constexpr const char* cmdAudioOn = "setaudio %S on";
constexpr const char* cmdFailed = "status %S failed";

// Milliseconds since the system started, as the alias of a new device.
QString TickCountText() {
    timespec Now{};
    clock_gettime(CLOCK_MONOTONIC, &Now);
    const quint32 Ms = static_cast<quint32>(qint64(Now.tv_sec) * 1000 + Now.tv_nsec / 1000000);
    return QString::number(Ms);
}

// "%S" and "%d" replaced in order by the arguments, in one pass, so that a
// "%" inside a file name stays as it is.
QString FormatCommand(const char* Pattern, const QStringList& Args) {
    QString Result;
    int Next = 0;
    for (const char* P = Pattern; *P != '\0'; ++P) {
        if (P[0] == '%' && (P[1] == 'S' || P[1] == 'd') && Next < Args.size()) {
            Result += Args.at(Next++);
            ++P;
        } else {
            Result += QLatin1Char(*P);
        }
    }
    return Result;
}

bool ParseInt(const QString& Text, qint64& Value) {
    bool Ok = false;
    Value = Text.trimmed().toLongLong(&Ok);
    return Ok;
}

int ToInt(const QString& Answer) {
    qint64 V = 0;
    if (!ParseInt(Answer, V) || V < 0 || V > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(V);
}

} // namespace

// ---------------------------------------------------------------------------
// The command device

struct TMCICommandDevice::TMedia {
    QString Alias;
    QString Type;
    QString FileName;
    std::unique_ptr<QAudioOutput> Output;
    std::unique_ptr<QMediaPlayer> Player;
    // From the file's headers; the back end's duration when they tell none.
    qint64 ProbedLength = 0;
    TMCIMode Mode = mciStopped;
    // A seek the back end cannot take yet (still loading).
    qint64 PendingSeek = -1;
    // A play given before the media was loaded.
    bool PlayPending = false;
    bool Ended = false;
    bool Failed = false;
    int Speed = 1000;
    // The back end's last position while playing, and since when.
    qint64 WatchedPosition = -1;
    QElapsedTimer WatchedSince;

    bool Loaded() const {
        const QMediaPlayer::MediaStatus S = Player->mediaStatus();
        return S == QMediaPlayer::LoadedMedia || S == QMediaPlayer::BufferedMedia ||
               S == QMediaPlayer::BufferingMedia || S == QMediaPlayer::StalledMedia ||
               S == QMediaPlayer::EndOfMedia;
    }
};

TMCICommandDevice::TMCICommandDevice(QObject* Owner) : QObject(Owner) {
    FWatch = new QTimer(this);
    FWatch->setInterval(WatchInterval);
    connect(FWatch, &QTimer::timeout, this, &TMCICommandDevice::Watch);
}

void TMCICommandDevice::Watch() {
    for (auto& Entry : FDevices) {
        TMedia& M = *Entry.second;
        if (M.Mode != mciPlaying || M.Ended || M.Failed || !M.Loaded() ||
            M.Player->playbackState() != QMediaPlayer::PlayingState) {
            M.WatchedPosition = -1;
            continue;
        }
        const qint64 Now = M.Player->position();
        if (Now != M.WatchedPosition || !M.WatchedSince.isValid()) {
            M.WatchedPosition = Now;
            M.WatchedSince.start();
        } else if (M.WatchedSince.elapsed() >= StallLimit) {
            // The sound output stopped taking data: a sound server can lose
            // track of a stream that ran short of data (a busy machine, a
            // seek). Close to the end that is the end; elsewhere a flushing
            // seek to where it stands starts the stream afresh.
            const qint64 Length = TMCICommandDevice::Length(M);
            ++FRestarts;
            M.WatchedSince.start();
            if (Length > 0 && Length - Now <= EndSlack) {
                M.Player->pause();
                M.Ended = true;
                M.Mode = mciStopped;
                M.WatchedPosition = -1;
                emit Notify(M.Alias);
            } else {
                M.Player->setPosition(Now);
            }
        }
    }
    if (FDevices.empty())
        FWatch->stop();
}

TMCICommandDevice::~TMCICommandDevice() = default;

QStringList TMCICommandDevice::Aliases() const {
    QStringList Result;
    for (const auto& Entry : FDevices)
        Result.append(Entry.second->Alias);
    return Result;
}

TMCICommandDevice::TMedia* TMCICommandDevice::Find(const QString& Alias) {
    const auto Found = FDevices.find(Alias.toLower());
    return Found == FDevices.end() ? nullptr : Found->second.get();
}

bool TMCICommandDevice::Fail(const QString& Why) {
    FLastError = Why;
    return false;
}

qint64 TMCICommandDevice::Length(const TMedia& M) {
    if (M.ProbedLength > 0)
        return M.ProbedLength;
    return qMax<qint64>(0, M.Player->duration());
}

qint64 TMCICommandDevice::Position(const TMedia& M) {
    if (M.PendingSeek >= 0)
        return M.PendingSeek;
    if (M.Ended)
        return Length(M);
    const qint64 Length = TMCICommandDevice::Length(M);
    const qint64 P = qMax<qint64>(0, M.Player->position());
    return Length > 0 ? qMin(P, Length) : P;
}

bool TMCICommandDevice::SendString(const QString& Command, QString* Answer) {
    QString Result;
    FLastError.clear();
    bool Ok = false;
    const QString Text = Command.trimmed();
    const QString Verb = Text.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty).toLower();
    const QString Rest =
        Text.mid(Text.indexOf(Verb, 0, Qt::CaseInsensitive) + Verb.size()).trimmed();
    if (Verb == QLatin1String("open")) {
        Ok = Open(Rest, Result);
    } else if (Verb.isEmpty()) {
        Ok = Fail(QStringLiteral("no command"));
    } else {
        const QStringList Words = Rest.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (Words.isEmpty()) {
            Ok = Fail(QStringLiteral("no device named"));
        } else if (Verb == QLatin1String("close")) {
            Ok = Close(Words.first());
        } else if (TMedia* M = Find(Words.first())) {
            const QStringList Args = Words.mid(1);
            const QString Item = Args.join(QLatin1Char(' ')).toLower();
            if (Verb == QLatin1String("play")) {
                // "from" and "to" as the command set has them; "to" is not
                // needed by the player and is refused rather than ignored.
                qint64 From = -1;
                Ok = true;
                for (int I = 0; I + 1 < Args.size() && Ok; I += 2) {
                    if (Args.at(I).compare(QLatin1String("from"), Qt::CaseInsensitive) == 0)
                        Ok = ParseInt(Args.at(I + 1), From) && From >= 0;
                    else
                        Ok = Fail(QStringLiteral("unsupported play option %1").arg(Args.at(I)));
                }
                if (Ok && Args.size() % 2 != 0)
                    Ok = Fail(QStringLiteral("incomplete play option"));
                if (Ok) {
                    if (From >= 0)
                        Seek(*M, From);
                    Play(*M);
                }
            } else if (Verb == QLatin1String("pause")) {
                if (M->Mode == mciPlaying) {
                    M->PlayPending = false;
                    M->Player->pause();
                    M->Mode = mciPaused;
                } else if (M->Mode == mciStopped && !M->Failed && !M->Ended) {
                    // Paused where it stands, without a sound: a seek while
                    // paused stops the device, and this takes it back.
                    M->Mode = mciPaused;
                }
                Ok = true;
            } else if (Verb == QLatin1String("resume")) {
                if (M->Mode == mciPaused)
                    Play(*M);
                Ok = true;
            } else if (Verb == QLatin1String("stop")) {
                // Stopping keeps the position, as the command set has it; the
                // back end's own stop would rewind.
                M->PlayPending = false;
                if (M->Player->playbackState() == QMediaPlayer::PlayingState)
                    M->Player->pause();
                M->Mode = mciStopped;
                Ok = true;
            } else if (Verb == QLatin1String("seek")) {
                qint64 To = 0;
                if (Args.size() == 2 &&
                    Args.at(0).compare(QLatin1String("to"), Qt::CaseInsensitive) == 0) {
                    const QString Where = Args.at(1).toLower();
                    if (Where == QLatin1String("start")) {
                        Seek(*M, 0);
                        Ok = true;
                    } else if (Where == QLatin1String("end")) {
                        Seek(*M, Length(*M));
                        Ok = true;
                    } else if (ParseInt(Where, To) && To >= 0) {
                        Seek(*M, To);
                        Ok = true;
                    } else {
                        Ok = Fail(QStringLiteral("bad seek position %1").arg(Args.at(1)));
                    }
                } else {
                    Ok = Fail(QStringLiteral("seek needs \"to\" and a position"));
                }
            } else if (Verb == QLatin1String("set")) {
                Ok = Set(*M, Item);
            } else if (Verb == QLatin1String("setaudio")) {
                qint64 Volume = 0;
                if (Item == QLatin1String("off") || Item == QLatin1String("on")) {
                    M->Output->setMuted(Item == QLatin1String("off"));
                    Ok = true;
                } else if (Args.size() == 3 &&
                           Args.at(0).compare(QLatin1String("volume"), Qt::CaseInsensitive) == 0 &&
                           Args.at(1).compare(QLatin1String("to"), Qt::CaseInsensitive) == 0 &&
                           ParseInt(Args.at(2), Volume) && Volume >= 0 && Volume <= 1000) {
                    M->Output->setVolume(static_cast<float>(Volume) / 1000.0f);
                    Ok = true;
                } else {
                    Ok = Fail(QStringLiteral("unsupported audio setting %1").arg(Item));
                }
            } else if (Verb == QLatin1String("status")) {
                Ok = Status(*M, Item, Result);
            } else {
                Ok = Fail(QStringLiteral("unknown command %1").arg(Verb));
            }
        } else {
            Ok = Fail(QStringLiteral("no device %1").arg(Words.first()));
        }
    }
    if (!Ok)
        Result.clear();
    if (Answer != nullptr)
        *Answer = Result.left(MaxAnswer);
    return Ok;
}

bool TMCICommandDevice::Open(const QString& Arguments, QString& Answer) {
    // Options stand after the file name: take "type X", "alias X" and the
    // flags from the end, so that the name may hold blanks unquoted.
    static const QRegularExpression Option(
        QStringLiteral("^(.*\\S)\\s+(?:(type|alias)\\s+(\\S+)|(wait|notify|shareable))\\s*$"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    QString Name = Arguments.trimmed();
    QString Type;
    QString Alias;
    for (int Guard = 0; Guard < 8; ++Guard) {
        const QRegularExpressionMatch Found = Option.match(Name);
        if (!Found.hasMatch())
            break;
        const QString Key = Found.captured(2).toLower();
        if (Key == QLatin1String("type") && Type.isEmpty())
            Type = Found.captured(3).toLower();
        else if (Key == QLatin1String("alias") && Alias.isEmpty())
            Alias = Found.captured(3);
        else if (!Key.isEmpty())
            break;
        Name = Found.captured(1).trimmed();
    }
    if (Name.size() >= 2 && Name.startsWith(QLatin1Char('"')) && Name.endsWith(QLatin1Char('"')))
        Name = Name.mid(1, Name.size() - 2);
    if (Name.isEmpty())
        return Fail(QStringLiteral("no file named"));
    if (Alias.isEmpty())
        Alias = Name;
    if (Type.isEmpty())
        Type = QFileInfo(Name).suffix().compare(QLatin1String("wav"), Qt::CaseInsensitive) == 0
                   ? QStringLiteral("waveaudio")
                   : QStringLiteral("mpegvideo");
    if (Type != QLatin1String("waveaudio") && Type != QLatin1String("mpegvideo"))
        return Fail(QStringLiteral("unknown device type %1").arg(Type));
    if (Find(Alias) != nullptr)
        return Fail(QStringLiteral("alias %1 is in use").arg(Alias));
    const QFileInfo File(Name);
    if (!File.isFile() || !File.isReadable())
        return Fail(QStringLiteral("cannot read %1").arg(Name));
    const TAudioInfo Info = ProbeAudioFile(Name);
    if (Type == QLatin1String("waveaudio") && Info.Kind != TAudioKind::Wave)
        return Fail(QStringLiteral("%1 is not a wave file").arg(Name));

    auto M = std::make_unique<TMedia>();
    M->Alias = Alias;
    M->Type = Type;
    M->FileName = File.absoluteFilePath();
    M->ProbedLength = Info.LengthMs;
    M->Output = std::make_unique<QAudioOutput>();
    M->Player = std::make_unique<QMediaPlayer>();
    M->Player->setAudioOutput(M->Output.get());
    TMedia* Media = M.get();
    connect(M->Player.get(), &QMediaPlayer::mediaStatusChanged, this,
            [this, Media](QMediaPlayer::MediaStatus Status) {
                if (Status == QMediaPlayer::LoadedMedia || Status == QMediaPlayer::BufferedMedia) {
                    if (Media->PendingSeek >= 0) {
                        Media->Player->setPosition(Media->PendingSeek);
                        Media->PendingSeek = -1;
                    }
                    if (Media->PlayPending) {
                        Media->PlayPending = false;
                        Media->Player->play();
                    }
                    // After the start: a rate given to a pipeline that has
                    // not started yet may leave it waiting for ever.
                    if (Media->Speed != 1000 &&
                        Media->Player->playbackRate() != Media->Speed / 1000.0)
                        Media->Player->setPlaybackRate(Media->Speed / 1000.0);
                } else if (Status == QMediaPlayer::EndOfMedia) {
                    Media->Ended = true;
                    Media->Mode = mciStopped;
                    emit Notify(Media->Alias);
                } else if (Status == QMediaPlayer::InvalidMedia) {
                    Media->Failed = true;
                    Media->Mode = mciStopped;
                    emit Notify(Media->Alias);
                }
            });
    connect(M->Player.get(), &QMediaPlayer::errorOccurred, this,
            [this, Media](QMediaPlayer::Error Error, const QString&) {
                if (Error == QMediaPlayer::NoError)
                    return;
                Media->Failed = true;
                Media->PlayPending = false;
                Media->Mode = mciStopped;
                emit Notify(Media->Alias);
            });
    M->Player->setSource(QUrl::fromLocalFile(M->FileName));
    FDevices.emplace(Alias.toLower(), std::move(M));
    FWatch->start();
    Answer.clear();
    return true;
}

bool TMCICommandDevice::Close(const QString& Alias) {
    if (Alias.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        FDevices.clear();
        return true;
    }
    const auto Found = FDevices.find(Alias.toLower());
    if (Found == FDevices.end())
        return Fail(QStringLiteral("no device %1").arg(Alias));
    Found->second->Player->stop();
    FDevices.erase(Found);
    return true;
}

void TMCICommandDevice::Seek(TMedia& M, qint64 Ms) {
    const qint64 Length = TMCICommandDevice::Length(M);
    if (Length > 0)
        Ms = qMin(Ms, Length);
    M.PlayPending = false;
    M.Mode = mciStopped;
    if (M.Player->playbackState() == QMediaPlayer::PlayingState)
        M.Player->pause();
    if (M.Ended) {
        // The back end has let go of the stream at its end; take it up again
        // paused, so that the new position holds.
        M.Ended = false;
        M.Player->pause();
    }
    if (M.Loaded()) {
        M.PendingSeek = -1;
        M.Player->setPosition(Ms);
    } else {
        M.PendingSeek = Ms;
    }
}

void TMCICommandDevice::Play(TMedia& M) {
    if (M.Failed)
        return;
    if (M.Ended) {
        M.Ended = false;
        M.Player->setPosition(0);
    }
    M.Mode = mciPlaying;
    if (M.Loaded()) {
        if (M.PendingSeek >= 0) {
            M.Player->setPosition(M.PendingSeek);
            M.PendingSeek = -1;
        }
        M.Player->play();
    } else {
        M.PlayPending = true;
    }
}

bool TMCICommandDevice::Set(TMedia& M, const QString& Item) {
    if (Item == QLatin1String("time format milliseconds") ||
        Item == QLatin1String("time format ms"))
        return true;
    if (Item.startsWith(QLatin1String("speed "))) {
        qint64 Speed = 0;
        if (!ParseInt(Item.mid(6), Speed) || Speed < 100 || Speed > 4000)
            return Fail(QStringLiteral("bad speed %1").arg(Item.mid(6)));
        M.Speed = static_cast<int>(Speed);
        // The back end takes a rate only once the media is loaded (and
        // ignores the same rate given again), so a rate set earlier waits.
        if (M.Loaded())
            M.Player->setPlaybackRate(M.Speed / 1000.0);
        return true;
    }
    return Fail(QStringLiteral("unsupported setting %1").arg(Item));
}

bool TMCICommandDevice::Status(TMedia& M, const QString& Item, QString& Answer) {
    if (Item == QLatin1String("length")) {
        Answer = QString::number(Length(M));
    } else if (Item == QLatin1String("position")) {
        Answer = QString::number(Position(M));
    } else if (Item == QLatin1String("mode")) {
        if (!M.Loaded() && !M.Failed && M.Mode == mciStopped && M.PendingSeek < 0)
            Answer = QStringLiteral("not ready");
        else if (M.Mode == mciPlaying)
            Answer = QStringLiteral("playing");
        else if (M.Mode == mciPaused)
            Answer = QStringLiteral("paused");
        else
            Answer = QStringLiteral("stopped");
    } else if (Item == QLatin1String("speed")) {
        Answer = QString::number(M.Speed);
    } else if (Item == QLatin1String("failed")) {
        Answer = M.Failed ? QStringLiteral("true") : QStringLiteral("false");
    } else if (Item == QLatin1String("ready")) {
        Answer = M.Loaded() ? QStringLiteral("true") : QStringLiteral("false");
    } else if (Item == QLatin1String("device type")) {
        Answer = M.Type;
    } else if (Item == QLatin1String("time format")) {
        Answer = QStringLiteral("milliseconds");
    } else {
        return Fail(QStringLiteral("unsupported status item %1").arg(Item));
    }
    return true;
}

// ---------------------------------------------------------------------------
// The player

TMCIPlayer::TMCIPlayer(QObject* Owner)
    : QObject(Owner), FDevice(new TMCICommandDevice(this)), FDeviceName(TickCountText()) {
    connect(FDevice, &TMCICommandDevice::Notify, this, [this](const QString& Alias) {
        if (Alias == FDeviceName)
            emit MediaNotify();
    });
}

TMCIPlayer::~TMCIPlayer() {
    Close();
}

QString TMCIPlayer::Command(const char* Pattern, const QString& First,
                            const QString& Second) const {
    QStringList Args{First};
    if (!Second.isNull())
        Args.append(Second);
    QString Answer;
    FDevice->SendString(FormatCommand(Pattern, Args), &Answer);
    return Answer;
}

bool TMCIPlayer::Open(const QString& WavFileName, const QString& FileExtension) {
    Close();
    // The exact extension decides: "WAV" goes to the MPEG device.
    const char* Pattern = FileExtension == QLatin1String("wav") ? cmdOpenWave : cmdOpenMpeg;
    QString Answer;
    if (!FDevice->SendString(FormatCommand(Pattern, {WavFileName, FDeviceName}), &Answer))
        return false;
    Command(cmdTimeFormat, FDeviceName);
    FMediaLength = ToInt(Command(cmdLength, FDeviceName));
    FOpened = true;
    ApplyVolume();
    return true;
}

void TMCIPlayer::Close() {
    if (!FOpened && !FDevice->Aliases().contains(FDeviceName))
        return;
    Command(cmdStop, FDeviceName);
    Command(cmdClose, FDeviceName);
    FOpened = false;
    FMediaLength = 0;
}

void TMCIPlayer::Play() {
    Command(cmdPlay, FDeviceName);
}

void TMCIPlayer::Stop() {
    Command(cmdStop, FDeviceName);
}

void TMCIPlayer::Pause() {
    Command(cmdPause, FDeviceName);
}

void TMCIPlayer::Resume() {
    Command(cmdResume, FDeviceName);
}

TMCIMode TMCIPlayer::Mode() const {
    const QString Answer = Command(cmdMode, FDeviceName);
    if (Answer.compare(QLatin1String("playing"), Qt::CaseInsensitive) == 0)
        return mciPlaying;
    if (Answer.compare(QLatin1String("stopped"), Qt::CaseInsensitive) == 0)
        return mciStopped;
    if (Answer.compare(QLatin1String("paused"), Qt::CaseInsensitive) == 0)
        return mciPaused;
    return mciUnknown;
}

void TMCIPlayer::SetVolume(int Percent, bool Muted) {
    FVolume = qBound(0, Percent, 100);
    FMuted = Muted;
    if (FOpened)
        ApplyVolume();
}

void TMCIPlayer::ApplyVolume() const {
    Command(cmdVolume, FDeviceName, QString::number(FVolume * 10));
    Command(FMuted ? cmdAudioOff : cmdAudioOn, FDeviceName);
}

bool TMCIPlayer::Failed() const {
    return FOpened && Command(cmdFailed, FDeviceName) == QLatin1String("true");
}

void TMCIPlayer::SetPaused(bool Value) {
    if (Value)
        Pause();
    else
        Resume();
}

int TMCIPlayer::Position() const {
    if (Mode() == mciStopped)
        return 0;
    return ToInt(Command(cmdPosition, FDeviceName));
}

void TMCIPlayer::SetPosition(int Value) {
    Command(cmdSeek, FDeviceName, QString::number(Value));
}

int TMCIPlayer::Speed() const {
    const int Value = ToInt(Command(cmdStatusSpeed, FDeviceName));
    return Value > 0 ? Value : 1000;
}

void TMCIPlayer::SetSpeed(int Thousandths) {
    Command(cmdSpeed, FDeviceName, QString::number(Thousandths));
}
