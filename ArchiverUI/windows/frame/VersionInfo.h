// The program's version data: what the original read from the version
// resource of its executable. Here the build compiles it in; a program
// built without it reads "N/A" for every value, as one without a version
// resource did.
#pragma once

#include <QList>
#include <QMap>
#include <QString>

struct TVersionTranslation {
    quint16 Language = 0;
    quint16 CodePage = 0;
};

struct TVersionData {
    // The first pair selects the string table.
    QList<TVersionTranslation> Translations;
    // Values by their full path, "\StringFileInfo\040904b0\ProductVersion".
    QMap<QString, QString> Strings;
};

// The running program's data, or null when it has none.
const TVersionData* ProgramVersionData();

// The value of Key ("ProductVersion", "LegalCopyright", ...) or "N/A".
QString GetVersionInfoValue(const TVersionData* Data, const QString& Key);
QString GetVersionInfoValue(const QString& Key);
