#include "AudioFormats.h"

#include <QByteArray>
#include <QFile>

#include <cstring>

namespace {

quint32 Le32(const uchar* P) {
    return quint32(P[0]) | (quint32(P[1]) << 8) | (quint32(P[2]) << 16) | (quint32(P[3]) << 24);
}
quint16 Le16(const uchar* P) {
    return quint16(P[0] | (P[1] << 8));
}
quint32 Be32(const uchar* P) {
    return (quint32(P[0]) << 24) | (quint32(P[1]) << 16) | (quint32(P[2]) << 8) | quint32(P[3]);
}

TAudioInfo ProbeWave(const uchar* Data, qint64 Size) {
    TAudioInfo Info;
    if (Size < 12 || std::memcmp(Data, "RIFF", 4) != 0 || std::memcmp(Data + 8, "WAVE", 4) != 0)
        return Info;
    qint64 At = 12;
    quint32 ByteRate = 0;
    int Rate = 0;
    int Channels = 0;
    bool HaveFormat = false;
    while (At + 8 <= Size) {
        const uchar* Chunk = Data + At;
        const qint64 ChunkSize = Le32(Chunk + 4);
        const qint64 Body = At + 8;
        if (std::memcmp(Chunk, "fmt ", 4) == 0) {
            if (ChunkSize < 16 || Body + 16 > Size)
                return Info;
            Channels = Le16(Data + Body + 2);
            Rate = static_cast<int>(Le32(Data + Body + 4));
            ByteRate = Le32(Data + Body + 8);
            HaveFormat = true;
        } else if (std::memcmp(Chunk, "data", 4) == 0) {
            if (!HaveFormat || ByteRate == 0)
                return Info;
            // Streams written while recording may carry a size that was
            // never filled in; what the file holds counts.
            const qint64 Bytes = qMin(ChunkSize, Size - Body);
            Info.Kind = TAudioKind::Wave;
            Info.SampleRate = Rate;
            Info.Channels = Channels;
            Info.LengthMs = (Bytes * 1000 + ByteRate / 2) / ByteRate;
            return Info;
        }
        At = Body + ChunkSize + (ChunkSize & 1);
    }
    return Info;
}

struct TFrame {
    int Version = 0; // 1, 2 or 25 (2.5)
    int Layer = 0;
    int Bitrate = 0; // kbit/s
    int SampleRate = 0;
    int Samples = 0; // per frame
    int Length = 0;  // bytes
    bool Mono = false;
};

bool ParseFrame(const uchar* P, TFrame& F) {
    if (P[0] != 0xFF || (P[1] & 0xE0) != 0xE0)
        return false;
    const int VersionBits = (P[1] >> 3) & 3;
    const int LayerBits = (P[1] >> 1) & 3;
    const int BitrateIndex = (P[2] >> 4) & 15;
    const int RateIndex = (P[2] >> 2) & 3;
    const int Padding = (P[2] >> 1) & 1;
    if (VersionBits == 1 || LayerBits == 0 || BitrateIndex == 0 || BitrateIndex == 15 ||
        RateIndex == 3)
        return false;
    static const int Rates[3][3] = {
        {44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};
    static const int Bitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    F.Version = VersionBits == 3 ? 1 : (VersionBits == 2 ? 2 : 25);
    F.Layer = 4 - LayerBits;
    const int V = F.Version == 1 ? 0 : 1;
    F.Bitrate = Bitrates[V][F.Layer - 1][BitrateIndex];
    F.SampleRate = Rates[F.Version == 1 ? 0 : (F.Version == 2 ? 1 : 2)][RateIndex];
    F.Mono = ((P[3] >> 6) & 3) == 3;
    if (F.Layer == 1) {
        F.Samples = 384;
        F.Length = (12 * F.Bitrate * 1000 / F.SampleRate + Padding) * 4;
    } else {
        F.Samples = (F.Layer == 3 && F.Version != 1) ? 576 : 1152;
        F.Length = F.Samples / 8 * F.Bitrate * 1000 / F.SampleRate + Padding;
    }
    return F.Length >= 4;
}

bool FrameAt(const uchar* Data, qint64 Size, qint64 At, TFrame& F) {
    return At >= 0 && At + 4 <= Size && ParseFrame(Data + At, F);
}

// The frame count of a Xing or Info header in the first frame, or -1.
qint64 XingFrames(const uchar* Data, qint64 Size, qint64 At, const TFrame& F) {
    const int SideInfo = F.Version == 1 ? (F.Mono ? 17 : 32) : (F.Mono ? 9 : 17);
    const qint64 Tag = At + 4 + SideInfo;
    if (F.Layer != 3 || Tag + 12 > Size || Tag + 12 > At + F.Length)
        return -1;
    if (std::memcmp(Data + Tag, "Xing", 4) != 0 && std::memcmp(Data + Tag, "Info", 4) != 0)
        return -1;
    if ((Be32(Data + Tag + 4) & 1) == 0)
        return -1;
    return Be32(Data + Tag + 8);
}

TAudioInfo ProbeMpeg(const uchar* Data, qint64 Size) {
    TAudioInfo Info;
    qint64 Start = 0;
    if (Size >= 10 && std::memcmp(Data, "ID3", 3) == 0) {
        const qint64 TagSize = (qint64(Data[6] & 0x7F) << 21) | (qint64(Data[7] & 0x7F) << 14) |
                               (qint64(Data[8] & 0x7F) << 7) | qint64(Data[9] & 0x7F);
        Start = 10 + TagSize + ((Data[5] & 0x10) != 0 ? 10 : 0);
    }
    // The first frame is the first sync whose successor is a frame too (or
    // the end of the file), looked for within a bounded stretch.
    const qint64 SearchEnd = qMin(Size, Start + 65536);
    qint64 First = -1;
    TFrame F;
    for (qint64 At = Start; At + 4 <= SearchEnd; ++At) {
        if (!FrameAt(Data, Size, At, F))
            continue;
        TFrame Next;
        if (At + F.Length == Size || (FrameAt(Data, Size, At + F.Length, Next) &&
                                      Next.SampleRate == F.SampleRate && Next.Layer == F.Layer)) {
            First = At;
            break;
        }
    }
    if (First < 0)
        return Info;
    Info.Kind = TAudioKind::Mpeg;
    Info.SampleRate = F.SampleRate;
    Info.Channels = F.Mono ? 1 : 2;
    qint64 Samples = 0;
    const qint64 Tagged = XingFrames(Data, Size, First, F);
    if (Tagged >= 0) {
        Samples = Tagged * F.Samples;
    } else {
        qint64 At = First;
        TFrame Frame;
        while (FrameAt(Data, Size, At, Frame) && At + Frame.Length <= Size) {
            Samples += Frame.Samples;
            At += Frame.Length;
        }
        // A last frame cut short still plays in part.
        if (At < Size && FrameAt(Data, Size, At, Frame))
            Samples += Frame.Samples * (Size - At) / Frame.Length;
    }
    Info.LengthMs = (Samples * 1000 + F.SampleRate / 2) / F.SampleRate;
    return Info;
}

TAudioInfo Probe(const uchar* Data, qint64 Size) {
    if (Data == nullptr || Size <= 0)
        return {};
    TAudioInfo Info = ProbeWave(Data, Size);
    if (Info.Kind == TAudioKind::Unknown)
        Info = ProbeMpeg(Data, Size);
    return Info;
}

} // namespace

TAudioInfo ProbeAudioData(const QByteArray& Data) {
    return Probe(reinterpret_cast<const uchar*>(Data.constData()), Data.size());
}

TAudioInfo ProbeAudioFile(const QString& FileName) {
    QFile File(FileName);
    if (!File.open(QIODevice::ReadOnly) || File.size() <= 0)
        return {};
    // Mapped, so that a long recording is scanned without being read into
    // memory.
    const uchar* Data = File.map(0, File.size());
    if (Data == nullptr)
        return ProbeAudioData(File.read(qMin<qint64>(File.size(), 64 << 20)));
    const TAudioInfo Info = Probe(Data, File.size());
    File.unmap(const_cast<uchar*>(Data));
    return Info;
}
