// The local time the viewer shows record times in, said out loud: the
// zone's name and offset for the result window's status bar and column tool
// tip, and the time texts the exports write (ISO 8601 in UTC and in local
// time with the offset, so that a reader elsewhere needs no guessing).
#pragma once

#include <QString>
#include <QtGlobal>

// The system zone's identifier ("Europe/Berlin"); its abbreviation when it
// has no identifier; "local time" when neither can be read.
QString LocalZoneName();
// The offset of local time from UTC at that instant, in seconds (east
// positive), with the zone's rules for that date.
int LocalOffsetAt(qint64 Seconds);
// The zone's abbreviation at that instant ("CEST"), or empty.
QString LocalZoneAbbreviation(qint64 Seconds);
// "+02:00", "-05:00", "+05:45", "+00:00".
QString UtcOffsetText(int Seconds);
// "Times in Europe/Berlin (UTC+02:00)", with the offset in force at Now
// (seconds since 1970 UTC).
QString ZoneCaption(qint64 Now);
// The same for the present moment.
QString ZoneCaption();

// The list's text of a record time: local time in the user's short date
// and long time formats (the seconds as a number when the calendar cannot
// name them).
QString ShownDateTime(qint64 Seconds);
// "2024-05-03T14:22:05Z".
QString IsoUtc(qint64 Seconds);
// "2024-05-03T16:22:05+02:00".
QString IsoLocal(qint64 Seconds);
// "2024-05-03 16:22:05", in local time or in UTC: the form spreadsheets
// read as a date and time whatever their locale.
QString PlainLocal(qint64 Seconds);
QString PlainUtc(qint64 Seconds);
