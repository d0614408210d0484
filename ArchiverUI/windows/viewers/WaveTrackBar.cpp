#include "WaveTrackBar.h"

#include <QAudioBuffer>
#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QUrl>

#include <cmath>

// ---------------------------------------------------------------------------
// Waveform reader

TWaveformReader::TWaveformReader(QObject* Owner) : QObject(Owner) {}

TWaveformReader::~TWaveformReader() {
    Stop();
}

void TWaveformReader::Start(const QString& FileName, qint64 LengthMs) {
    Stop();
    FPeaks.clear();
    FFinished = false;
    FFailed = false;
    FBucketMs = MinBucketMs;
    if (LengthMs > 0)
        FBucketMs =
            static_cast<int>(qMax<qint64>(MinBucketMs, (LengthMs + MaxBuckets - 1) / MaxBuckets));
    FDecoder = std::make_unique<QAudioDecoder>();
    connect(FDecoder.get(), &QAudioDecoder::bufferReady, this, &TWaveformReader::BufferReady);
    connect(FDecoder.get(), &QAudioDecoder::finished, this, [this] { Done(false); });
    connect(FDecoder.get(), qOverload<QAudioDecoder::Error>(&QAudioDecoder::error), this,
            [this](QAudioDecoder::Error) { Done(true); });
    FDecoder->setSource(QUrl::fromLocalFile(FileName));
    FDecoder->start();
}

void TWaveformReader::Stop() {
    if (FDecoder) {
        FDecoder->disconnect(this);
        FDecoder->stop();
        FDecoder.reset();
    }
}

void TWaveformReader::BufferReady() {
    if (!FDecoder)
        return;
    const QAudioBuffer Buffer = FDecoder->read();
    const QAudioFormat Format = Buffer.format();
    if (!Buffer.isValid() || Format.sampleRate() <= 0 || Format.bytesPerFrame() <= 0)
        return;
    const int Channels = Format.channelCount();
    const int Bytes = Format.bytesPerSample();
    const char* Data = Buffer.constData<char>();
    const qint64 Frames = Buffer.frameCount();
    const qint64 StartUs = Buffer.startTime() < 0 ? 0 : Buffer.startTime();
    const qint64 BucketUs = qint64(FBucketMs) * 1000;
    for (qint64 F = 0; F < Frames; ++F) {
        const qint64 Us = StartUs + F * 1000000 / Format.sampleRate();
        const qint64 Bucket = Us / BucketUs;
        // A stream longer than its headers said still gets a bounded list.
        if (Bucket >= MaxStoredBuckets)
            break;
        float Peak = 0;
        for (int C = 0; C < Channels; ++C) {
            const char* Sample = Data + (F * Channels + C) * Bytes;
            Peak = qMax(Peak, std::fabs(Format.normalizedSampleValue(Sample)));
        }
        if (Bucket >= FPeaks.size())
            FPeaks.resize(Bucket + 1, 0.0f);
        FPeaks[Bucket] = qMax(FPeaks[Bucket], qMin(Peak, 1.0f));
    }
    const qint64 Now = QDateTime::currentMSecsSinceEpoch();
    if (Now - FLastNotice >= 250) {
        FLastNotice = Now;
        emit PeaksChanged();
    }
}

void TWaveformReader::Done(bool Failed) {
    FFinished = true;
    FFailed = Failed;
    emit PeaksChanged();
}

// ---------------------------------------------------------------------------
// Track bar

TWaveTrackBar::TWaveTrackBar(QWidget* Parent) : QSlider(Qt::Horizontal, Parent) {
    setTickPosition(QSlider::NoTicks);
    setFocusPolicy(Qt::StrongFocus);
    setPageStep(5000);
    setSingleStep(1000);
}

void TWaveTrackBar::SetPeaks(const QVector<float>& Peaks, int BucketMs) {
    FPeaks = Peaks;
    FBucketMs = BucketMs;
    update();
}

void TWaveTrackBar::ClearPeaks() {
    FPeaks.clear();
    FBucketMs = 0;
    update();
}

QSize TWaveTrackBar::sizeHint() const {
    return {200, 48};
}

QSize TWaveTrackBar::minimumSizeHint() const {
    return {60, 32};
}

QRect TWaveTrackBar::WaveRect() const {
    return rect().adjusted(4, 3, -4, -3);
}

int TWaveTrackBar::ValueAt(int X) const {
    const QRect Area = WaveRect();
    if (Area.width() <= 1 || maximum() <= minimum())
        return minimum();
    const double Part = qBound(0.0, double(X - Area.left()) / (Area.width() - 1), 1.0);
    return minimum() + static_cast<int>(std::lround(Part * (maximum() - minimum())));
}

void TWaveTrackBar::paintEvent(QPaintEvent*) {
    QPainter P(this);
    const QPalette& Pal = palette();
    const QRect Area = WaveRect();
    P.fillRect(rect(), Pal.window());
    P.setPen(Pal.color(QPalette::Mid));
    P.setBrush(Pal.base());
    P.drawRoundedRect(Area.adjusted(0, 0, -1, -1), 3, 3);

    const int Range = maximum() - minimum();
    const int PlayedX = Range > 0 ? Area.left() + static_cast<int>(double(value() - minimum()) *
                                                                   (Area.width() - 1) / Range)
                                  : Area.left();
    const QColor Played = isEnabled() ? Pal.color(QPalette::Highlight) : Pal.color(QPalette::Mid);
    const QColor Rest = Pal.color(QPalette::Mid);
    const int Middle = Area.center().y();
    const int Half = Area.height() / 2 - 2;

    if (!FPeaks.isEmpty() && FBucketMs > 0 && Range > 0) {
        for (int X = Area.left() + 1; X < Area.right(); ++X) {
            const double From = double(X - Area.left()) / (Area.width() - 1) * Range;
            const double To = double(X + 1 - Area.left()) / (Area.width() - 1) * Range;
            const int B0 = static_cast<int>(From / FBucketMs);
            const int B1 = qMax(B0 + 1, static_cast<int>(std::ceil(To / FBucketMs)));
            float Peak = 0;
            for (int B = B0; B < B1 && B < FPeaks.size(); ++B)
                Peak = qMax(Peak, FPeaks.at(B));
            const int H = qMax(1, static_cast<int>(std::lround(Peak * Half)));
            P.setPen(X <= PlayedX ? Played : Rest);
            P.drawLine(X, Middle - H, X, Middle + H);
        }
    } else {
        P.setPen(QPen(Rest, 2));
        P.drawLine(Area.left() + 2, Middle, Area.right() - 2, Middle);
        if (Range > 0) {
            P.setPen(QPen(Played, 2));
            P.drawLine(Area.left() + 2, Middle, PlayedX, Middle);
        }
    }
    // The position itself.
    P.setPen(QPen(isEnabled() ? Pal.color(QPalette::Text) : Pal.color(QPalette::Mid), 2));
    P.drawLine(PlayedX, Area.top() + 1, PlayedX, Area.bottom() - 1);

    if (hasFocus()) {
        QStyleOptionFocusRect Focus;
        Focus.initFrom(this);
        Focus.rect = Area.adjusted(-2, -2, 2, 2);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &Focus, &P, this);
    }
}

void TWaveTrackBar::mousePressEvent(QMouseEvent* Event) {
    if (Event->button() != Qt::LeftButton) {
        Event->ignore();
        return;
    }
    FDragging = true;
    setFocus(Qt::MouseFocusReason);
    setValue(ValueAt(Event->position().toPoint().x()));
    Event->accept();
}

void TWaveTrackBar::mouseMoveEvent(QMouseEvent* Event) {
    if (FDragging && (Event->buttons() & Qt::LeftButton) != 0)
        setValue(ValueAt(Event->position().toPoint().x()));
    Event->accept();
}

void TWaveTrackBar::mouseReleaseEvent(QMouseEvent* Event) {
    FDragging = false;
    Event->accept();
}

bool TWaveTrackBar::PlayerKey(int Key) {
    return Key == Qt::Key_Space || Key == Qt::Key_Backspace || Key == Qt::Key_Left ||
           Key == Qt::Key_Right;
}

void TWaveTrackBar::keyPressEvent(QKeyEvent* Event) {
    if (PlayerKey(Event->key())) {
        Event->accept();
        return;
    }
    QSlider::keyPressEvent(Event);
}

void TWaveTrackBar::keyReleaseEvent(QKeyEvent* Event) {
    if (PlayerKey(Event->key()) && !Event->isAutoRepeat()) {
        Event->accept();
        emit KeyReleased(Event->key());
        return;
    }
    QSlider::keyReleaseEvent(Event);
}
