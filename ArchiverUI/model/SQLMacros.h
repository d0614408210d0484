// Dialect-neutral "#F_" macros in the viewer's SQL, expanded for the
// database engine the archive server runs on just before a statement is
// handed to the library.
#pragma once

#include <QString>
#include <QStringList>

// Server types as the library reports them.
inline constexpr int stServerType1 = 1;
inline constexpr int stServerType2 = 2;
inline constexpr int stServerType3 = 3;

// Expands every "#F_NAME(args)" of Sql for ServerType; a "#F_" inside a
// quoted literal is data and stays as it is. Raises
// EAssertionFailed for a malformed macro, an unknown name or a wrong number
// of arguments; any other server type expands every macro to nothing.
QString ExpandSQLMacros(int ServerType, const QString& Sql);

// Cuts Text at every Delimiter and trims each piece; an empty text gives no
// pieces at all.
QStringList Split(const QString& Text, const QString& Delimiter);
QString Join(const QStringList& Items, const QString& Separator);

// Removes leading and trailing blanks and control characters.
QString TrimBlanks(const QString& Text);
