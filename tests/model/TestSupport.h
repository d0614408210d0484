// Helpers shared by the query model tests: a fixed time zone and locale for
// a test's duration, and hand assembly of query streams byte by byte.
#pragma once

#include <QByteArray>
#include <QLocale>
#include <QString>
#include <QtGlobal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <string>

// Sets TZ for the scope and restores the former zone afterwards.
class TScopedTimeZone {
public:
    explicit TScopedTimeZone(const char* Zone) {
        const char* Old = std::getenv("TZ");
        FHadOld = Old != nullptr;
        if (FHadOld) {
            FOld = Old;
        }
        qputenv("TZ", Zone);
        tzset();
    }
    TScopedTimeZone(const TScopedTimeZone&) = delete;
    TScopedTimeZone& operator=(const TScopedTimeZone&) = delete;
    ~TScopedTimeZone() {
        if (FHadOld) {
            qputenv("TZ", QByteArray::fromStdString(FOld));
        } else {
            qunsetenv("TZ");
        }
        tzset();
    }

private:
    bool FHadOld = false;
    std::string FOld;
};

// Makes the default locale US English for the scope.
class TScopedUSLocale {
public:
    TScopedUSLocale() : FOld(QLocale()) {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    TScopedUSLocale(const TScopedUSLocale&) = delete;
    TScopedUSLocale& operator=(const TScopedUSLocale&) = delete;
    ~TScopedUSLocale() { QLocale::setDefault(FOld); }

private:
    QLocale FOld;
};

// Builds a stream the way a person would write it down from the format.
class TBytes {
public:
    TBytes& Raw(std::initializer_list<int> Values) {
        for (int V : Values) {
            FData.append(char(quint8(V)));
        }
        return *this;
    }
    TBytes& Text(const char* Value) {
        FData.append(Value);
        return *this;
    }
    // Length byte and text: class, object and property names.
    TBytes& Name(const char* Value) {
        FData.append(char(quint8(std::char_traits<char>::length(Value))));
        return Text(Value);
    }
    TBytes& Int8(int Value) { return Raw({0x02, Value & 0xFF}); }
    TBytes& Int16(int Value) { return Raw({0x03, Value & 0xFF, (Value >> 8) & 0xFF}); }
    TBytes& Int32(qint64 Value) {
        Raw({0x04});
        return Le(quint64(Value), 4);
    }
    TBytes& Int64(qint64 Value) {
        Raw({0x13});
        return Le(quint64(Value), 8);
    }
    TBytes& Le(quint64 Value, int Count) {
        for (int I = 0; I < Count; ++I) {
            FData.append(char(quint8(Value >> (8 * I))));
        }
        return *this;
    }
    TBytes& Ident(const char* Value) {
        Raw({0x07});
        return Name(Value);
    }
    TBytes& Str(const char* Value) {
        Raw({0x06});
        return Name(Value);
    }
    TBytes& Prop(const char* PropName) { return Name(PropName); }
    // Signature, root class and object name, and the start of Items.
    TBytes& Header() {
        return Text("TPF0").Name("TQueryStorage").Raw({0x00}).Name("Items").Raw({0x0E});
    }
    // End of the collection, of the properties and of the children.
    TBytes& Footer() { return Raw({0x00, 0x00, 0x00}); }
    const QByteArray& Data() const { return FData; }

private:
    QByteArray FData;
};
