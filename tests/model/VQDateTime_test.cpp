#include "ModelErrors.h"
#include "TestSupport.h"
#include "VQDateTime.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <cmath>
#include <cstdlib>
#include <limits>

TEST(VQDateTimeEncode, DaysSince18991230) {
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
    EXPECT_THROW(EncodeDate(2001, 2, 29), EConvertError);
    EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(VQDateTimeDecode, NegativeDaysCountBackTimeForward) {
    QDate Date;
    QTime Time;
    DecodeDateTime(-1.25, Date, Time);
    EXPECT_EQ(Date, QDate(1899, 12, 29));
    EXPECT_EQ(Time, QTime(6, 0));
    EXPECT_EQ(EncodeDateTime(QDate(1899, 12, 29), QTime(6, 0)), -1.25);
    DecodeDateTime(36526.75, Date, Time);
    EXPECT_EQ(Date, QDate(2000, 1, 1));
    EXPECT_EQ(Time, QTime(18, 0));
}

TEST(VQDateTimeDecode, MillisecondsRoundIntoTheNextDay) {
    QDate Date;
    QTime Time;
    DecodeDateTime(36526.9999999999, Date, Time);
    EXPECT_EQ(Date, QDate(2000, 1, 2));
    EXPECT_EQ(Time, QTime(0, 0));
    EXPECT_EQ(TimeOfDayMSecs(EncodeTime(23, 59, 59, 99)), 86399099);
}

TEST(VQDateTimeDecode, ValuesOutsideTheCalendar) {
    EXPECT_TRUE(IsValidDateTime(MinDateTime));
    EXPECT_TRUE(IsValidDateTime(MaxDateTime));
    EXPECT_FALSE(IsValidDateTime(std::nan("")));
    EXPECT_FALSE(IsValidDateTime(std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(IsValidDateTime(MaxDateTime + 1));
    EXPECT_FALSE(IsValidDateTime(MinDateTime - 1));
    QDate Date;
    QTime Time;
    EXPECT_THROW(DecodeDateTime(1e300, Date, Time), EConvertError);
    EXPECT_THROW(LocalDateTimeToUnix(std::nan("")), EConvertError);
    EXPECT_THROW(FormatLongTime(-1e9), EConvertError);
}

TEST(VQDateTimeLocal, EdgesOfTheCalendarConvert) {
    TScopedTimeZone Zone("UTC0");
    // 0001-01-01 and 9999-12-31 23:59:59.
    EXPECT_EQ(LocalDateTimeToUnix(MinDateTime), -62135596800LL);
    EXPECT_EQ(LocalDateTimeToUnix(EncodeDate(9999, 12, 31) + EncodeTime(23, 59, 59, 0)),
              253402300799LL);
    // 1899-12-30 lies 25569 days before 1970-01-01.
    EXPECT_EQ(LocalDateTimeToUnix(-1.25), -2209161600LL - 86400 + 21600);
}

TEST(VQDateTimeLocal, NowIsLocal) {
    TScopedTimeZone Zone("<+05>-5");
    EXPECT_EQ(CurrentUtcOffsetSeconds(), 18000);
    const qint64 Utc = QDateTime::currentSecsSinceEpoch();
    const qint64 FromNow = LocalDateTimeToUnix(Now());
    EXPECT_LE(std::llabs(FromNow - Utc), 2);
}
