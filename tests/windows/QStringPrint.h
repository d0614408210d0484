// Readable QString values in the failure messages of the window tests.
#pragma once

#include <QString>

#include <ostream>

inline void PrintTo(const QString& Text, std::ostream* Out) {
    *Out << '"' << Text.toStdString() << '"';
}
