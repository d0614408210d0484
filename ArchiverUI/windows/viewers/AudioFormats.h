// What the player learns from an audio file's own headers before the media
// back end has loaded it: whether it is a RIFF wave file or an MPEG audio
// stream, and its length. The command device answers "status length" from
// this at once, as the media commands expect right after an open.
#pragma once

#include <QString>
#include <QtGlobal>

enum class TAudioKind { Unknown, Wave, Mpeg };

struct TAudioInfo {
    TAudioKind Kind = TAudioKind::Unknown;
    // Milliseconds; 0 when unknown.
    qint64 LengthMs = 0;
    int SampleRate = 0;
    int Channels = 0;
};

// Reads at most the headers of a wave file and the frame headers of an
// MPEG audio file; any byte sequence gives Unknown or a bounded result.
TAudioInfo ProbeAudioFile(const QString& FileName);
TAudioInfo ProbeAudioData(const QByteArray& Data);
