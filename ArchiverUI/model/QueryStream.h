// The streamed form of a query, as ".vqq" files hold it and as in-memory
// copies between windows carry it: the component stream of a TQueryStorage
// root object whose one property Items is the query's condition collection.
#pragma once

#include "ViewStorage.h"

#include <QtGlobal>
#include <array>
#include <vector>

class QIODevice;
class TVQQuery;

// Value tags of the stream.
enum TValueTag : quint8 {
    vaNull = 0x00,
    vaList = 0x01,
    vaInt8 = 0x02,
    vaInt16 = 0x03,
    vaInt32 = 0x04,
    vaExtended = 0x05,
    vaString = 0x06,
    vaIdent = 0x07,
    vaBinary = 0x0A,
    vaLString = 0x0C,
    vaCollection = 0x0E,
    vaWString = 0x12,
    vaInt64 = 0x13,
    vaUTF8String = 0x14,
};

inline constexpr char QueryStreamSignature[] = "TPF0";

// View storages travel with in-memory copies only. The stream carries a
// number for each, and this table, which lives beside the copy, holds the
// storages themselves; a stream read without a table (a file) cannot name
// any storage.
class TViewStorageTable {
public:
    // 0 stands for no storage.
    quint32 Put(TViewStorage* Storage);
    // Raises EReadError for a number the table did not hand out.
    TViewStorage* Get(quint32 Number) const;
    int Count() const { return int(FEntries.size()); }

private:
    std::vector<TViewStorageRef> FEntries;
};

// The root object of the streamed form.
class TQueryStorage {
public:
    explicit TQueryStorage(TVQQuery& Items) : FItems(Items) {}
    TVQQuery& Items() const { return FItems; }

    // Writes the whole stream; the conditions' view storages are written
    // only when a table is given. Raises EWriteError when the device fails.
    void Write(QIODevice& Stream, TViewStorageTable* Storages) const;
    // Reads a stream into the query; raises EReadError for a stream that is
    // not a query ("Invalid stream format"), names an unknown property
    // ("Property %s does not exist"), holds a value a property cannot take
    // ("Invalid property value") or ends early ("Stream read error").
    void Read(QIODevice& Stream, TViewStorageTable* Storages) const;

private:
    TVQQuery& FItems;
};

// The 80-bit extended-precision float of the stream, little-endian.
std::array<quint8, 10> DoubleToExtended(double Value);
double ExtendedToDouble(const std::array<quint8, 10>& Bytes);
