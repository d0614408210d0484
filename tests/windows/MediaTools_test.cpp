// The media command device and the player object over it: command texts,
// file names with blanks, device types, real playback of the demo
// archive's WAV and MP3 recordings through the audio sink, and the audio
// file probe behind the lengths.
#include "ViewerTestSupport.h"

#include "AudioFormats.h"
#include "MediaTools.h"
#include "ViewerArchive.h"

#include <QAudioDecoder>
#include <QTemporaryDir>
#include <QUrl>

#include <cmath>

using namespace viewer_test;

namespace {

// A mono 16-bit wave file of Seconds seconds at Rate Hz: a tone.
QByteArray WaveBytes(int Rate, double Seconds, int Channels = 1) {
    const qint64 Frames = static_cast<qint64>(Rate * Seconds);
    QByteArray Pcm;
    for (qint64 I = 0; I < Frames; ++I) {
        const qint16 S = static_cast<qint16>(8000 * std::sin(I * 2 * M_PI * 440 / Rate));
        for (int C = 0; C < Channels; ++C)
            Pcm.append(reinterpret_cast<const char*>(&S), 2);
    }
    auto Le32 = [](quint32 V) { return QByteArray(reinterpret_cast<const char*>(&V), 4); };
    auto Le16 = [](quint16 V) { return QByteArray(reinterpret_cast<const char*>(&V), 2); };
    QByteArray W = "RIFF" + Le32(36 + Pcm.size()) + "WAVE" + "fmt " + Le32(16) + Le16(1) +
                   Le16(Channels) + Le32(Rate) + Le32(Rate * 2 * Channels) + Le16(2 * Channels) +
                   Le16(16) + "data" + Le32(Pcm.size()) + Pcm;
    return W;
}

bool WriteFile(const QString& Name, const QByteArray& Data) {
    QFile F(Name);
    return F.open(QIODevice::WriteOnly) && F.write(Data) == Data.size();
}

QByteArray ReadFile(const QString& Name) {
    QFile F(Name);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

// The length of a file as the media back end's decoder sees it: every
// decoded frame counted.
qint64 DecodedLengthMs(const QString& FileName) {
    QAudioDecoder Decoder;
    qint64 Frames = 0;
    int Rate = 0;
    bool Finished = false;
    QObject::connect(&Decoder, &QAudioDecoder::bufferReady, [&] {
        const QAudioBuffer B = Decoder.read();
        Frames += B.frameCount();
        Rate = B.format().sampleRate();
    });
    QObject::connect(&Decoder, &QAudioDecoder::finished, [&] { Finished = true; });
    QObject::connect(&Decoder, qOverload<QAudioDecoder::Error>(&QAudioDecoder::error),
                     [&](QAudioDecoder::Error) { Finished = true; });
    Decoder.setSource(QUrl::fromLocalFile(FileName));
    Decoder.start();
    PumpUntil([&] { return Finished; }, 60000);
    return Rate > 0 ? Frames * 1000 / Rate : -1;
}

class CommandDeviceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Dir.isValid()); }
    QString Send(const QString& Command) {
        QString Answer = QStringLiteral("untouched");
        LastOk = Device.SendString(Command, &Answer);
        return Answer;
    }
    QTemporaryDir Dir;
    TMCICommandDevice Device;
    bool LastOk = false;
};

} // namespace

// ---------------------------------------------------------------------------
// The probe

TEST(AudioFormats, WaveLengthComesFromTheHeader) {
    const TAudioInfo Info = ProbeAudioData(WaveBytes(8000, 2.5));
    EXPECT_EQ(Info.Kind, TAudioKind::Wave);
    EXPECT_EQ(Info.LengthMs, 2500);
    EXPECT_EQ(Info.SampleRate, 8000);
    EXPECT_EQ(Info.Channels, 1);
    const TAudioInfo Stereo = ProbeAudioData(WaveBytes(44100, 1.0, 2));
    EXPECT_EQ(Stereo.LengthMs, 1000);
    EXPECT_EQ(Stereo.Channels, 2);
}

TEST(AudioFormats, ACutWaveCountsWhatItHolds) {
    QByteArray W = WaveBytes(8000, 2.0);
    W.chop(8000); // half a second of 16-bit mono
    EXPECT_EQ(ProbeAudioData(W).LengthMs, 1500);
}

TEST(AudioFormats, BrokenHeadersAreUnknownNotCrashes) {
    EXPECT_EQ(ProbeAudioData({}).Kind, TAudioKind::Unknown);
    EXPECT_EQ(ProbeAudioData("RIFF").Kind, TAudioKind::Unknown);
    QByteArray W = WaveBytes(8000, 0.5);
    W[20] = 0; // byte rate field stays, but cut the fmt chunk short
    QByteArray NoFormat = W;
    NoFormat.replace(12, 4, "junk");
    EXPECT_EQ(ProbeAudioData(NoFormat).Kind, TAudioKind::Unknown);
    QByteArray ZeroRate = WaveBytes(8000, 0.5);
    ZeroRate.replace(28, 4, QByteArray(4, '\0'));
    EXPECT_EQ(ProbeAudioData(ZeroRate).Kind, TAudioKind::Unknown);
    // A chunk size pointing far beyond the end ends the walk.
    QByteArray Huge = WaveBytes(8000, 0.5);
    Huge.replace(16, 4, QByteArray("\xff\xff\xff\x7f", 4));
    EXPECT_EQ(ProbeAudioData(Huge).Kind, TAudioKind::Unknown);
    // Noise with sync-like bytes everywhere.
    QByteArray Noise(70000, '\xff');
    EXPECT_EQ(ProbeAudioData(Noise).Kind, TAudioKind::Unknown);
    for (int Seed = 0; Seed < 200; ++Seed) {
        QByteArray Random(512 + Seed * 13, '\0');
        quint32 X = 2463534242u + Seed;
        for (char& C : Random) {
            X ^= X << 13;
            X ^= X >> 17;
            X ^= X << 5;
            C = static_cast<char>(X);
        }
        const TAudioInfo Info = ProbeAudioData(Random);
        EXPECT_GE(Info.LengthMs, 0);
    }
}

TEST(AudioFormats, TheArchivesMp3LengthMatchesItsDecodedLength) {
    const auto Mp3 = TDemoArchive::Recording(QStringLiteral("mp3"));
    const QString File = TDemoArchive::DataFile(Mp3.FileName);
    const TAudioInfo Info = ProbeAudioFile(File);
    ASSERT_EQ(Info.Kind, TAudioKind::Mpeg);
    // The archive keeps whole seconds.
    EXPECT_NEAR(Info.LengthMs, Mp3.Duration * 1000, 1000);
    const qint64 Decoded = DecodedLengthMs(File);
    ASSERT_GT(Decoded, 0);
    // Encoder delay and padding are part of the frames but may be trimmed
    // by the decoder: at most two frames apart.
    EXPECT_NEAR(Info.LengthMs, Decoded, 2 * 1152 * 1000 / Info.SampleRate + 5);
    // An ID3 tag in front changes nothing.
    QByteArray Tagged =
        QByteArray("ID3\x03\x00\x00\x00\x00\x01\x00", 10) + QByteArray(128, 'x') + ReadFile(File);
    EXPECT_EQ(ProbeAudioData(Tagged).LengthMs, Info.LengthMs);
}

// ---------------------------------------------------------------------------
// The command device

TEST_F(CommandDeviceTest, AFileNameWithBlanksOpensUnquotedAndQuoted) {
    const QString Name = Dir.filePath(QStringLiteral("call recording 1.wav"));
    ASSERT_TRUE(WriteFile(Name, WaveBytes(8000, 2.0)));
    EXPECT_EQ(Send(QStringLiteral("open %1 type waveaudio alias 1234").arg(Name)), QString());
    EXPECT_TRUE(LastOk) << qPrintable(Device.LastError());
    EXPECT_EQ(Send(QStringLiteral("status 1234 length")), QStringLiteral("2000"));
    EXPECT_EQ(Send(QStringLiteral("status 1234 device type")), QStringLiteral("waveaudio"));
    Send(QStringLiteral("open \"%1\" type mpegvideo alias other").arg(Name));
    EXPECT_TRUE(LastOk) << qPrintable(Device.LastError());
    EXPECT_EQ(Device.Aliases().size(), 2);
    EXPECT_EQ(Send(QStringLiteral("STATUS OTHER LENGTH")), QStringLiteral("2000"));
    Send(QStringLiteral("close all"));
    EXPECT_TRUE(Device.Aliases().isEmpty());
}

TEST_F(CommandDeviceTest, FailingCommandsAnswerEmpty) {
    const QString Name = Dir.filePath(QStringLiteral("a.wav"));
    ASSERT_TRUE(WriteFile(Name, WaveBytes(8000, 1.0)));
    for (const QString& Bad :
         {QStringLiteral("status nobody length"), QStringLiteral("play nobody"),
          QStringLiteral("open %1/missing.wav type waveaudio alias x").arg(Dir.path()),
          QStringLiteral("open %1 type cdaudio alias x").arg(Name), QStringLiteral("frobnicate x"),
          QString(), QStringLiteral("seek")}) {
        EXPECT_EQ(Send(Bad), QString()) << qPrintable(Bad);
        EXPECT_FALSE(LastOk) << qPrintable(Bad);
        EXPECT_FALSE(Device.LastError().isEmpty()) << qPrintable(Bad);
    }
    Send(QStringLiteral("open %1 type waveaudio alias a").arg(Name));
    ASSERT_TRUE(LastOk);
    // An alias in use, a bad seek, an unknown status item.
    EXPECT_EQ(Send(QStringLiteral("open %1 type waveaudio alias A").arg(Name)), QString());
    EXPECT_FALSE(LastOk);
    EXPECT_EQ(Send(QStringLiteral("seek a to -5")), QString());
    EXPECT_FALSE(LastOk);
    EXPECT_EQ(Send(QStringLiteral("status a colour")), QString());
    EXPECT_FALSE(LastOk);
    EXPECT_EQ(Send(QStringLiteral("set a time format frames")), QString());
    EXPECT_FALSE(LastOk);
    EXPECT_EQ(Send(QStringLiteral("set a speed 99999")), QString());
    EXPECT_FALSE(LastOk);
}

TEST_F(CommandDeviceTest, TheWaveDeviceOpensWaveFilesOnly) {
    const auto Mp3 = TDemoArchive::Recording(QStringLiteral("mp3"));
    const QString File = TDemoArchive::DataFile(Mp3.FileName);
    EXPECT_EQ(Send(QStringLiteral("open %1 type waveaudio alias w").arg(File)), QString());
    EXPECT_FALSE(LastOk);
    Send(QStringLiteral("open %1 type mpegvideo alias m").arg(File));
    EXPECT_TRUE(LastOk) << qPrintable(Device.LastError());
    EXPECT_GT(Send(QStringLiteral("status m length")).toInt(), 0);
}

TEST_F(CommandDeviceTest, AnAnswerIsAtMost256Characters) {
    // A file name of 300 characters opened without alias is its own alias;
    // status answers stay short whatever was asked.
    const QString Name = Dir.filePath(QString(200, QLatin1Char('n')) + QStringLiteral(".wav"));
    ASSERT_TRUE(WriteFile(Name, WaveBytes(8000, 0.2)));
    Send(QStringLiteral("open %1 type waveaudio").arg(Name));
    ASSERT_TRUE(LastOk) << qPrintable(Device.LastError());
    EXPECT_EQ(Device.Aliases(), QStringList{Name});
    EXPECT_LE(Send(QStringLiteral("status %1 length").arg(Name)).size(), 256);
}

// ---------------------------------------------------------------------------
// The player over real audio

class PlayerTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        VQ_AUDIO_OR_SKIP();
        Record = TDemoArchive::Recording(QString::fromLatin1(GetParam()));
        ASSERT_GT(Record.Id, 0u);
        // The downloaded copy, as the result window's temporary file holds it.
        ASSERT_TRUE(Dir.isValid());
        File = Dir.filePath(QStringLiteral("vqa 1.~tf"));
        ASSERT_TRUE(QFile::copy(TDemoArchive::DataFile(Record.FileName), File));
    }
    // Position while playing, waited for until it passes Ms.
    bool PlaysPast(int Ms, int TimeoutMs = 20000) {
        return PumpUntil([&] { return Player.Position() > Ms; }, TimeoutMs);
    }
    TDemoArchive::TRecord Record;
    QTemporaryDir Dir;
    QString File;
    TMCIPlayer Player;
};

TEST_P(PlayerTest, PlaysPausesAndSeeks) {
    ASSERT_TRUE(Player.Open(File, Record.Extension));
    EXPECT_TRUE(Player.Opened());
    EXPECT_EQ(Player.Command("status %S device type", Player.DeviceName()),
              Record.Extension == QLatin1String("wav") ? QStringLiteral("waveaudio")
                                                       : QStringLiteral("mpegvideo"));
    // Length matches the file.
    EXPECT_NEAR(Player.MediaLength(), Record.Duration * 1000, 1000);
    EXPECT_NEAR(Player.MediaLength(), DecodedLengthMs(File), 300);

    Player.Play();
    EXPECT_EQ(Player.Mode(), mciPlaying);
    ASSERT_TRUE(PlaysPast(600)) << "the position does not advance";
    const int Early = Player.Position();
    ASSERT_TRUE(PlaysPast(Early + 300)) << "the position stops at " << Early;

    // Pause holds.
    Player.Pause();
    EXPECT_TRUE(Player.Paused());
    PumpFor(150);
    const int Held = Player.Position();
    PumpFor(700);
    EXPECT_NEAR(Player.Position(), Held, 30);
    EXPECT_EQ(Player.Mode(), mciPaused);

    // Seek lands within 100 ms, paused and while playing.
    const int Target = Player.MediaLength() / 2;
    Player.SetPosition(Target);
    EXPECT_EQ(Player.Mode(), mciStopped);
    EXPECT_NEAR(Player.Command("status %S position", Player.DeviceName()).toInt(), Target, 100);
    Player.Play();
    PumpFor(50);
    EXPECT_NEAR(Player.Position(), Target, 100 + 400);
    ASSERT_TRUE(PlaysPast(Target + 200));
    const int Later = qMax(0, Player.MediaLength() - 1500);
    Player.SetPosition(Later);
    Player.Play();
    EXPECT_NEAR(Player.Position(), Later, 100);
    // Resume after a pause continues where it stood.
    Player.SetPaused(true);
    const int Stood = Player.Position();
    Player.SetPaused(false);
    EXPECT_EQ(Player.Mode(), mciPlaying);
    EXPECT_GE(Player.Position() + 50, Stood);

    // The end stops the device at the full length.
    ASSERT_TRUE(PumpUntil([&] { return Player.Mode() == mciStopped; }, 20000));
    EXPECT_EQ(Player.Position(), 0); // read as 0 while stopped
    EXPECT_NEAR(Player.Command("status %S position", Player.DeviceName()).toInt(),
                Player.MediaLength(), 200);

    // Stop keeps the device open; Close frees the alias.
    Player.Play();
    ASSERT_TRUE(PlaysPast(100));
    Player.Stop();
    EXPECT_EQ(Player.Mode(), mciStopped);
    Player.Close();
    EXPECT_FALSE(Player.Opened());
    EXPECT_EQ(Player.Mode(), mciUnknown);
    EXPECT_TRUE(Player.Device()->Aliases().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Recordings, PlayerTest, ::testing::Values("wav", "mp3"));

TEST(MCIPlayer, SpeedChangesHowFastThePositionMoves) {
    VQ_AUDIO_OR_SKIP();
    const auto Wav = TDemoArchive::Recording(QStringLiteral("wav"));
    ASSERT_GE(Wav.Duration, 30);
    TMCIPlayer Player;
    ASSERT_TRUE(Player.Open(TDemoArchive::DataFile(Wav.FileName), QStringLiteral("wav")));
    // Set before the media is loaded: it applies once it is.
    Player.SetSpeed(2000);
    EXPECT_EQ(Player.Speed(), 2000);
    Player.Play();
    // Audio played over a stretch of wall time, once playback runs (a busy
    // machine may hold the sink back, which only slows it down).
    auto Rate = [&] {
        const int Start = Player.Position();
        EXPECT_TRUE(PumpUntil([&] { return Player.Position() > Start + 600; }, 20000));
        QElapsedTimer Clock;
        Clock.start();
        const int From = Player.Position();
        PumpFor(2500);
        return double(Player.Position() - From) / Clock.elapsed();
    };
    EXPECT_GT(Rate(), 1.3);
    Player.SetSpeed(500);
    EXPECT_EQ(Player.Speed(), 500);
    EXPECT_LT(Rate(), 0.8);
    // Out of range: refused, the speed stays.
    EXPECT_EQ(Player.Command("set %S speed %d", Player.DeviceName(), QStringLiteral("50")),
              QString());
    EXPECT_EQ(Player.Speed(), 500);
}

TEST(MCIPlayer, TheExactExtensionChoosesTheDevice) {
    QTemporaryDir Dir;
    const QString Name = Dir.filePath(QStringLiteral("x.wav"));
    ASSERT_TRUE(WriteFile(Name, WaveBytes(8000, 1.0)));
    TMCIPlayer Player;
    ASSERT_TRUE(Player.Open(Name, QStringLiteral("wav")));
    EXPECT_EQ(Player.Command("status %S device type", Player.DeviceName()),
              QStringLiteral("waveaudio"));
    ASSERT_TRUE(Player.Open(Name, QStringLiteral("WAV")));
    EXPECT_EQ(Player.Command("status %S device type", Player.DeviceName()),
              QStringLiteral("mpegvideo"));
    EXPECT_EQ(Player.MediaLength(), 1000);
    // A file the device refuses leaves the player closed with length 0.
    EXPECT_FALSE(Player.Open(Dir.filePath(QStringLiteral("none.wav")), QStringLiteral("wav")));
    EXPECT_FALSE(Player.Opened());
    EXPECT_EQ(Player.MediaLength(), 0);
    EXPECT_EQ(Player.Position(), 0);
    EXPECT_EQ(Player.Mode(), mciUnknown);
}

TEST(MCIPlayer, TwoPlayersCreatedAtOnceKeepTheirOwnDevices) {
    QTemporaryDir Dir;
    const QString A = Dir.filePath(QStringLiteral("a.wav"));
    const QString B = Dir.filePath(QStringLiteral("b.wav"));
    ASSERT_TRUE(WriteFile(A, WaveBytes(8000, 1.0)));
    ASSERT_TRUE(WriteFile(B, WaveBytes(8000, 3.0)));
    TMCIPlayer First;
    TMCIPlayer Second;
    ASSERT_TRUE(First.Open(A, QStringLiteral("wav")));
    ASSERT_TRUE(Second.Open(B, QStringLiteral("wav")));
    EXPECT_EQ(First.MediaLength(), 1000);
    EXPECT_EQ(Second.MediaLength(), 3000);
    First.Close();
    EXPECT_TRUE(Second.Opened());
    EXPECT_EQ(Second.Command("status %S length", Second.DeviceName()), QStringLiteral("3000"));
}
