// The media player's track bar: a slider over milliseconds that draws the
// recording's waveform as its groove, so the operator sees where speech is,
// and seeks where it is clicked.
#pragma once

#include <QAudioDecoder>
#include <QSlider>
#include <QVector>

#include <memory>

// Decodes a recording in the background and keeps the loudest sample of
// each short stretch of it (a peak per bucket, 0 to 1).
class TWaveformReader : public QObject {
    Q_OBJECT
public:
    explicit TWaveformReader(QObject* Owner = nullptr);
    ~TWaveformReader() override;

    // Starts over on FileName; LengthMs (when known) chooses the bucket
    // size, so that a long recording keeps a bounded number of peaks.
    void Start(const QString& FileName, qint64 LengthMs);
    void Stop();

    const QVector<float>& Peaks() const { return FPeaks; }
    int BucketMs() const { return FBucketMs; }
    bool Finished() const { return FFinished; }
    bool Failed() const { return FFailed; }

    static constexpr int MaxBuckets = 4000;
    static constexpr int MinBucketMs = 10;
    static constexpr int MaxStoredBuckets = 200000;

signals:
    // New peaks arrived (at most a few times a second) or decoding ended.
    void PeaksChanged();

private:
    void BufferReady();
    void Done(bool Failed);

    std::unique_ptr<QAudioDecoder> FDecoder;
    QVector<float> FPeaks;
    int FBucketMs = MinBucketMs;
    bool FFinished = false;
    bool FFailed = false;
    qint64 FLastNotice = 0;
};

class TWaveTrackBar : public QSlider {
    Q_OBJECT
public:
    explicit TWaveTrackBar(QWidget* Parent = nullptr);

    // Peaks of BucketMs milliseconds each; empty draws a plain groove.
    void SetPeaks(const QVector<float>& Peaks, int BucketMs);
    void ClearPeaks();
    bool HasPeaks() const { return !FPeaks.isEmpty(); }

    // The value a click at x (in the widget) stands for.
    int ValueAt(int X) const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

signals:
    // Space, Backspace, Left and Right are the player's keys: the slider
    // does not step on them but reports their release.
    void KeyReleased(int Key);

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;

private:
    static bool PlayerKey(int Key);
    QRect WaveRect() const;

    QVector<float> FPeaks;
    int FBucketMs = 0;
    bool FDragging = false;
};
