#include "VQDateTime.h"

#include "ModelErrors.h"

#include <QDateTime>
#include <QLocale>
#include <cmath>
#include <cstdlib>

namespace {

const QDate& BaseDate() {
    static const QDate Base(1899, 12, 30);
    return Base;
}

qint64 TotalMSecs(TDateTime Value) {
    if (!IsValidDateTime(Value)) {
        throw EConvertError(QString::fromLatin1(SDateEncodeError));
    }
    return std::llround(Value * double(MSecsPerDay));
}

int LocalOffsetAt(qint64 UnixSecs) {
    return QDateTime::fromSecsSinceEpoch(UnixSecs, Qt::LocalTime).offsetFromUtc();
}

// The locale's long time format names the time zone; the date-time shown in
// conditions is a plain local time, so the zone token is dropped.
QString LongTimeFormat() {
    const QString Format = QLocale().timeFormat(QLocale::LongFormat);
    QString Result;
    bool Quoted = false;
    for (QChar C : Format) {
        if (C == QLatin1Char('\'')) {
            Quoted = !Quoted;
        }
        if (!Quoted && C == QLatin1Char('t')) {
            continue;
        }
        Result += C;
    }
    return Result.trimmed();
}

} // namespace

bool IsValidDateTime(TDateTime Value) {
    return std::isfinite(Value) && Value >= MinDateTime && Value <= MaxDateTime;
}

void DecodeDateTime(TDateTime Value, QDate& Date, QTime& Time) {
    const qint64 Total = TotalMSecs(Value);
    // Negative date-times count the day backwards but the time forwards,
    // so the day is truncated and the time taken as a magnitude.
    const qint64 Days = Total / MSecsPerDay;
    const qint64 MSecs = std::llabs(Total) % MSecsPerDay;
    Date = BaseDate().addDays(Days);
    Time = QTime::fromMSecsSinceStartOfDay(int(MSecs));
}

qint64 TimeOfDayMSecs(TDateTime Value) {
    return std::llabs(TotalMSecs(Value)) % MSecsPerDay;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
    const QDate Date(Year, Month, Day);
    if (!Date.isValid()) {
        throw EConvertError(QString::fromLatin1(SDateEncodeError));
    }
    return double(BaseDate().daysTo(Date));
}

TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec) {
    if (Hour < 0 || Hour > 23 || Min < 0 || Min > 59 || Sec < 0 || Sec > 59 || MSec < 0 ||
        MSec > 999) {
        throw EConvertError(QString::fromLatin1(SDateEncodeError));
    }
    return double(((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec) / double(MSecsPerDay);
}

TDateTime EncodeDateTime(const QDate& Date, const QTime& Time) {
    if (!Date.isValid() || !Time.isValid()) {
        throw EConvertError(QString::fromLatin1(SDateEncodeError));
    }
    const double Day = double(BaseDate().daysTo(Date));
    const double Fraction = double(Time.msecsSinceStartOfDay()) / double(MSecsPerDay);
    return Day < 0 ? Day - Fraction : Day + Fraction;
}

TDateTime Now() {
    const QDateTime Current = QDateTime::currentDateTime();
    return EncodeDateTime(Current.date(), Current.time());
}

qint64 LocalDateTimeToUnix(TDateTime Value) {
    const qint64 Total = TotalMSecs(Value);
    const qint64 Days = Total / MSecsPerDay;
    const qint64 MSecs = std::llabs(Total) % MSecsPerDay;
    // The local wall clock read as if it were UTC; the zone's offset at the
    // instant it names is then subtracted. Offsets change at most once
    // around a given day, so the offsets a day before and a day after are
    // the only candidates.
    const qint64 WallMSecs = (Days - 25569) * MSecsPerDay + MSecs;
    const qint64 Wall = WallMSecs >= 0 ? WallMSecs / 1000 : -((-WallMSecs + 999) / 1000);
    const int Before = LocalOffsetAt(Wall - SecsPerDay);
    const int After = LocalOffsetAt(Wall + SecsPerDay);
    const qint64 First = Wall - std::max(Before, After);
    const qint64 Second = Wall - std::min(Before, After);
    if (LocalOffsetAt(First) == std::max(Before, After)) {
        return First;
    }
    if (LocalOffsetAt(Second) == std::min(Before, After)) {
        return Second;
    }
    return Wall - Before;
}

int CurrentUtcOffsetSeconds() {
    return QDateTime::currentDateTime().offsetFromUtc();
}

QString FormatShortDateLongTime(TDateTime Value) {
    QDate Date;
    QTime Time;
    DecodeDateTime(Value, Date, Time);
    const QLocale Locale;
    return Locale.toString(Date, Locale.dateFormat(QLocale::ShortFormat)) + QLatin1Char(' ') +
           Locale.toString(Time, LongTimeFormat());
}

QString FormatLongTime(TDateTime Value) {
    QDate Date;
    QTime Time;
    DecodeDateTime(Value, Date, Time);
    return QLocale().toString(Time, LongTimeFormat());
}
