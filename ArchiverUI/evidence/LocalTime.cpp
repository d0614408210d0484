#include "LocalTime.h"

#include "ModelErrors.h"
#include "VQDateTime.h"

#include <QDateTime>
#include <QTimeZone>

#include <cstdlib>

namespace {

// The instants the calendar of the exports can name (years 1 to 9999).
constexpr qint64 FirstSecond = -62135596800LL;
constexpr qint64 LastSecond = 253402300799LL;

bool Nameable(qint64 Seconds) {
    return Seconds >= FirstSecond && Seconds <= LastSecond;
}

QDateTime Local(qint64 Seconds) {
    return QDateTime::fromSecsSinceEpoch(Seconds, Qt::LocalTime);
}

QDateTime Utc(qint64 Seconds) {
    return QDateTime::fromSecsSinceEpoch(Seconds, Qt::UTC);
}

} // namespace

QString LocalZoneName() {
    const QByteArray Id = QTimeZone::systemTimeZoneId();
    if (!Id.isEmpty())
        return QString::fromUtf8(Id);
    const QString Abbreviation = LocalZoneAbbreviation(QDateTime::currentSecsSinceEpoch());
    return Abbreviation.isEmpty() ? QStringLiteral("local time") : Abbreviation;
}

int LocalOffsetAt(qint64 Seconds) {
    if (!Nameable(Seconds))
        return 0;
    const QDateTime At = Local(Seconds);
    return At.isValid() ? At.offsetFromUtc() : 0;
}

QString LocalZoneAbbreviation(qint64 Seconds) {
    if (!Nameable(Seconds))
        return QString();
    const QDateTime At = Local(Seconds);
    return At.isValid() ? At.timeZoneAbbreviation() : QString();
}

QString UtcOffsetText(int Seconds) {
    const int Minutes = std::abs(Seconds) / 60;
    return QStringLiteral("%1%2:%3")
        .arg(Seconds < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(Minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(Minutes % 60, 2, 10, QLatin1Char('0'));
}

QString ZoneCaption(qint64 Now) {
    return QStringLiteral("Times in %1 (UTC%2)")
        .arg(LocalZoneName(), UtcOffsetText(LocalOffsetAt(Now)));
}

QString ZoneCaption() {
    return ZoneCaption(QDateTime::currentSecsSinceEpoch());
}

QString ShownDateTime(qint64 Seconds) {
    if (Nameable(Seconds)) {
        QDateTime At = Local(Seconds);
        if (!At.isValid())
            At = Utc(Seconds);
        if (At.isValid() && At.date().year() >= 1 && At.date().year() <= 9999) {
            try {
                return FormatShortDateLongTime(EncodeDateTime(At.date(), At.time()));
            } catch (const EConvertError&) {
                // A time the calendar cannot name shows as its number below.
            }
        }
    }
    return QString::number(Seconds);
}

QString IsoUtc(qint64 Seconds) {
    if (!Nameable(Seconds))
        return QString::number(Seconds);
    return Utc(Seconds).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QLatin1Char('Z');
}

QString IsoLocal(qint64 Seconds) {
    if (!Nameable(Seconds))
        return QString::number(Seconds);
    const QDateTime At = Local(Seconds);
    if (!At.isValid())
        return IsoUtc(Seconds);
    return At.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + UtcOffsetText(At.offsetFromUtc());
}

QString PlainLocal(qint64 Seconds) {
    if (!Nameable(Seconds))
        return QString::number(Seconds);
    const QDateTime At = Local(Seconds);
    return (At.isValid() ? At : Utc(Seconds)).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString PlainUtc(qint64 Seconds) {
    if (!Nameable(Seconds))
        return QString::number(Seconds);
    return Utc(Seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}
