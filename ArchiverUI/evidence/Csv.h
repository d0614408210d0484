// CSV as RFC 4180 has it: fields separated by commas, quoted when they hold
// a comma, a quote, a line break or blanks at either end (quotes doubled),
// lines ended by CR LF, UTF-8 behind a byte order mark so that spreadsheets
// on every platform take the text as UTF-8.
//
// Texts that come from the archive (names, call ids, call attached data)
// may begin like a formula; a spreadsheet would run "=HYPERLINK(...)" or
// "+cmd|..." when the file is opened. Such cells get a leading apostrophe,
// the usual guard, which spreadsheets show as part of the text and never
// run. Fields the program makes itself never begin that way.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

inline constexpr char CsvByteOrderMark[] = "\xEF\xBB\xBF";

// The field as it stands in a line: quoted when it must be.
QString CsvField(const QString& Value);
// A value from the archive as a cell: an apostrophe before a first
// character of = + - @, a tab or a carriage return.
QString GuardedCell(const QString& Value);
// One line of fields, UTF-8, ended by CR LF.
QByteArray CsvLine(const QStringList& Fields);
