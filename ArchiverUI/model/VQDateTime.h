// The viewer's date-time: days since 1899-12-30 with the time of day as the
// fraction, in local time. Query conditions store it and query files carry it,
// so the conversions to the archive's UTC seconds live here.
#pragma once

#include <QDate>
#include <QString>
#include <QTime>
#include <QtGlobal>

using TDateTime = double;

// 0001-01-01 and the last millisecond of 9999-12-31: the calendar the
// date-time can name.
inline constexpr TDateTime MinDateTime = -693593.0;
inline constexpr TDateTime MaxDateTime = 2958465.99999999;
inline constexpr qint64 MSecsPerDay = 86400000;
inline constexpr qint64 SecsPerDay = 86400;

// True for finite values inside the calendar; anything else (NaN, infinity,
// year 10000) cannot be converted and is rejected before use.
bool IsValidDateTime(TDateTime Value);

// Splits a date-time into calendar date and time of day; raises EConvertError
// for values outside the calendar.
void DecodeDateTime(TDateTime Value, QDate& Date, QTime& Time);

// The time of day in milliseconds (0 ... 86399999), rounded like the split.
qint64 TimeOfDayMSecs(TDateTime Value);

TDateTime EncodeDate(int Year, int Month, int Day);
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
TDateTime EncodeDateTime(const QDate& Date, const QTime& Time);

// The current local date and time.
TDateTime Now();

// Local date-time to seconds since 1970-01-01 00:00 UTC, with the offset
// that the process's time zone has at that date (daylight time included).
// A local time that falls into the gap of a change to daylight time is
// taken with the offset in force before the gap; a time that occurs twice
// is taken at its first occurrence.
qint64 LocalDateTimeToUnix(TDateTime Value);

// The offset of local time from UTC in force now, in seconds (east positive).
int CurrentUtcOffsetSeconds();

// The user's short date format followed by the long time format ("ddddd tt").
QString FormatShortDateLongTime(TDateTime Value);
// The user's long time format ("tt").
QString FormatLongTime(TDateTime Value);
