#include "QueryStream.h"

#include "Conditions.h"
#include "ModelErrors.h"
#include "VQQuery.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

std::array<quint8, 10> DoubleToExtended(double Value) {
    const quint64 Bits = std::bit_cast<quint64>(Value);
    const quint16 Sign = quint16((Bits >> 63) & 1u);
    const int Exponent = int((Bits >> 52) & 0x7FF);
    const quint64 Fraction = Bits & ((quint64(1) << 52) - 1);
    quint16 ExtExponent = 0;
    quint64 Mantissa = 0;
    if (Exponent == 0x7FF) {
        ExtExponent = 0x7FFF;
        Mantissa = (quint64(1) << 63) | (Fraction << 11);
    } else if (Exponent == 0) {
        if (Fraction != 0) {
            // A subnormal double is a normal extended value.
            Mantissa = Fraction << 11;
            int Shift = std::countl_zero(Mantissa);
            Mantissa <<= Shift;
            ExtExponent = quint16(15361 - Shift);
        }
    } else {
        ExtExponent = quint16(Exponent - 1023 + 16383);
        Mantissa = (quint64(1) << 63) | (Fraction << 11);
    }
    std::array<quint8, 10> Bytes{};
    for (int I = 0; I < 8; ++I) {
        Bytes[size_t(I)] = quint8(Mantissa >> (8 * I));
    }
    const quint16 Top = quint16((Sign << 15) | ExtExponent);
    Bytes[8] = quint8(Top);
    Bytes[9] = quint8(Top >> 8);
    return Bytes;
}

double ExtendedToDouble(const std::array<quint8, 10>& Bytes) {
    quint64 Mantissa = 0;
    for (int I = 7; I >= 0; --I) {
        Mantissa = (Mantissa << 8) | Bytes[size_t(I)];
    }
    const quint16 Top = quint16(Bytes[8] | (Bytes[9] << 8));
    const bool Negative = (Top & 0x8000) != 0;
    const int Exponent = Top & 0x7FFF;
    double Result = 0;
    if (Exponent == 0x7FFF) {
        Result = (Mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                      : std::numeric_limits<double>::quiet_NaN();
    } else if (Mantissa != 0) {
        Result = std::ldexp(double(Mantissa), Exponent - 16383 - 63);
    }
    return Negative ? -Result : Result;
}

quint32 TViewStorageTable::Put(TViewStorage* Storage) {
    if (Storage == nullptr) {
        return 0;
    }
    for (size_t I = 0; I < FEntries.size(); ++I) {
        if (FEntries[I].get() == Storage) {
            return quint32(I + 1);
        }
    }
    FEntries.push_back(TViewStorageRef::Share(Storage));
    return quint32(FEntries.size());
}

TViewStorage* TViewStorageTable::Get(quint32 Number) const {
    if (Number == 0) {
        return nullptr;
    }
    if (Number > FEntries.size()) {
        throw EReadError(QString::fromLatin1(SInvalidPropertyValue));
    }
    return FEntries[Number - 1].get();
}

namespace {

constexpr int ViewStorageSlots = 6;
constexpr quint32 ViewStorageSize = ViewStorageSlots * 4;

// ---- writing ---------------------------------------------------------------

class TStreamWriter {
public:
    void Byte(quint8 Value) { FData.append(char(Value)); }
    void Bytes(const QByteArray& Value) { FData.append(Value); }
    void UInt16(quint16 Value) {
        Byte(quint8(Value));
        Byte(quint8(Value >> 8));
    }
    void UInt32(quint32 Value) {
        for (int I = 0; I < 4; ++I) {
            Byte(quint8(Value >> (8 * I)));
        }
    }
    void UInt64(quint64 Value) {
        for (int I = 0; I < 8; ++I) {
            Byte(quint8(Value >> (8 * I)));
        }
    }

    // A name: one length byte and the UTF-8 text.
    void Str(const char* Text) {
        const size_t Length = std::strlen(Text);
        Byte(quint8(Length));
        FData.append(Text, qsizetype(Length));
    }

    void Integer(qint64 Value) {
        if (Value >= -128 && Value <= 127) {
            Byte(vaInt8);
            Byte(quint8(qint8(Value)));
        } else if (Value >= -32768 && Value <= 32767) {
            Byte(vaInt16);
            UInt16(quint16(qint16(Value)));
        } else if (Value >= std::numeric_limits<qint32>::min() &&
                   Value <= std::numeric_limits<qint32>::max()) {
            Byte(vaInt32);
            UInt32(quint32(qint32(Value)));
        } else {
            Byte(vaInt64);
            UInt64(quint64(Value));
        }
    }

    void String(const QString& Value) {
        const QByteArray Utf8 = Value.toUtf8();
        if (Utf8.size() < 2 * Value.size()) {
            const bool Ascii =
                std::all_of(Utf8.begin(), Utf8.end(), [](char C) { return quint8(C) < 0x80; });
            if (!Ascii) {
                Byte(vaUTF8String);
                UInt32(quint32(Utf8.size()));
            } else if (Utf8.size() <= 255) {
                Byte(vaString);
                Byte(quint8(Utf8.size()));
            } else {
                Byte(vaLString);
                UInt32(quint32(Utf8.size()));
            }
            Bytes(Utf8);
            return;
        }
        Byte(vaWString);
        UInt32(quint32(Value.size()));
        for (QChar C : Value) {
            UInt16(C.unicode());
        }
    }

    void Ident(const char* Name) {
        Byte(vaIdent);
        Str(Name);
    }

    void Float(double Value) {
        Byte(vaExtended);
        for (quint8 B : DoubleToExtended(Value)) {
            Byte(B);
        }
    }

    const QByteArray& Data() const { return FData; }

private:
    QByteArray FData;
};

template <size_t N> const char* EnumName(const std::array<const char*, N>& Names, size_t Value) {
    if (Value >= N) {
        // Only a programming error stores a value outside the enumeration.
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    }
    return Names[Value];
}

void WriteCondition(TStreamWriter& W, const TAQCondition& C, TViewStorageTable* Storages) {
    W.Byte(vaList);
    W.Str("CIDCommonID");
    W.Integer(qint32(C.CIDCommonID()));
    W.Str("CIDQueryID");
    W.Integer(C.CIDQueryID());
    if (!C.Caption().isEmpty()) {
        W.Str("Caption");
        W.String(C.Caption());
    }
    if (!C.Prompt().isEmpty()) {
        W.Str("Prompt");
        W.String(C.Prompt());
    }
    W.Str("Kind");
    W.Ident(EnumName(ConditionKindNames, C.Kind()));
    W.Str("Level");
    W.Integer(qint32(C.Level()));
    W.Str("Operator");
    W.Ident(EnumName(OperatorKindNames, C.Operator()));
    if (C.DTStart() != 0) {
        W.Str("DTStart");
        W.Float(C.DTStart());
    }
    if (C.DTEnd() != 0) {
        W.Str("DTEnd");
        W.Float(C.DTEnd());
    }
    if (!C.GCID().isEmpty()) {
        W.Str("GCID");
        W.String(C.GCID());
    }
    W.Str("Role");
    W.Ident(EnumName(ParticipantRoleNames, C.Role()));
    W.Str("Tag");
    W.Integer(qint64(C.Tag()));
    W.Str("UserKind");
    W.Ident(EnumName(UserKindNames, C.UserKind()));
    if (!C.CADName().isEmpty()) {
        W.Str("CADName");
        W.String(C.CADName());
    }
    if (!C.CADValue().isEmpty()) {
        W.Str("CADValue");
        W.String(C.CADValue());
    }
    W.Str("CADSearchType");
    W.Integer(C.CADSearchType());
    W.Str("CID");
    W.Integer(qint64(C.CIDCommonID()));
    if (Storages != nullptr) {
        W.Str("ViewStorage");
        W.Byte(vaBinary);
        W.UInt32(ViewStorageSize);
        for (int Kind = 0; Kind < ViewStorageSlots; ++Kind) {
            W.UInt32(Storages->Put(C.GetStorage(Kind)));
        }
    }
    W.Byte(vaNull);
}

// ---- reading ---------------------------------------------------------------

[[noreturn]] void ReadFailure() {
    throw EReadError(QString::fromLatin1(SReadError));
}

[[noreturn]] void InvalidValue() {
    throw EReadError(QString::fromLatin1(SInvalidPropertyValue));
}

// Reads a device with one byte of look-ahead. Lengths taken from the stream
// are checked against what the device still holds before anything is
// allocated for them.
class TStreamReader {
public:
    explicit TStreamReader(QIODevice& Device) : FDevice(Device) {}

    quint8 Peek() {
        if (!FHasPeek) {
            FPeek = ReadRaw();
            FHasPeek = true;
        }
        return FPeek;
    }

    quint8 Byte() {
        if (FHasPeek) {
            FHasPeek = false;
            return FPeek;
        }
        return ReadRaw();
    }

    QByteArray Bytes(quint64 Count) {
        QByteArray Result;
        if (Count == 0) {
            return Result;
        }
        if (FHasPeek) {
            Result.append(char(Byte()));
            --Count;
        }
        if (!FDevice.isSequential() && Count > quint64(FDevice.size() - FDevice.pos())) {
            ReadFailure();
        }
        // A sequential device cannot tell its size: the data is gathered in
        // bounded chunks, so memory grows only with bytes actually present.
        constexpr quint64 Chunk = 65536;
        while (Count > 0) {
            const qint64 Want = qint64(std::min(Count, Chunk));
            const QByteArray Part = FDevice.read(Want);
            if (Part.size() != Want) {
                ReadFailure();
            }
            Result.append(Part);
            Count -= quint64(Want);
        }
        return Result;
    }

    quint16 UInt16() {
        const quint16 Low = Byte();
        return quint16(Low | (quint16(Byte()) << 8));
    }
    quint32 UInt32() {
        quint32 Result = 0;
        for (int I = 0; I < 4; ++I) {
            Result |= quint32(Byte()) << (8 * I);
        }
        return Result;
    }
    quint64 UInt64() {
        quint64 Result = 0;
        for (int I = 0; I < 8; ++I) {
            Result |= quint64(Byte()) << (8 * I);
        }
        return Result;
    }

    // A name: one length byte and UTF-8 text.
    QString Str() { return QString::fromUtf8(Bytes(Byte())); }

    qint64 Integer(quint8 Tag) {
        switch (Tag) {
        case vaInt8:
            return qint8(Byte());
        case vaInt16:
            return qint16(UInt16());
        case vaInt32:
            return qint32(UInt32());
        case vaInt64:
            return qint64(UInt64());
        default:
            InvalidValue();
        }
    }

    QString String(quint8 Tag) {
        switch (Tag) {
        case vaString:
            return QString::fromLatin1(Bytes(Byte()));
        case vaLString:
            return QString::fromLatin1(Bytes(UInt32()));
        case vaUTF8String:
            return QString::fromUtf8(Bytes(UInt32()));
        case vaWString: {
            const QByteArray Data = Bytes(quint64(UInt32()) * 2);
            QString Result;
            Result.resize(Data.size() / 2);
            for (qsizetype I = 0; I < Result.size(); ++I) {
                Result[I] = QChar(quint16(quint8(Data[2 * I]) | (quint8(Data[2 * I + 1]) << 8)));
            }
            return Result;
        }
        default:
            InvalidValue();
        }
    }

    double Float(quint8 Tag) {
        if (Tag == vaExtended) {
            std::array<quint8, 10> Data{};
            for (quint8& B : Data) {
                B = Byte();
            }
            return ExtendedToDouble(Data);
        }
        return double(Integer(Tag));
    }

    QString Ident(quint8 Tag) {
        if (Tag != vaIdent) {
            InvalidValue();
        }
        return Str();
    }

private:
    quint8 ReadRaw() {
        char C = 0;
        if (!FDevice.getChar(&C)) {
            ReadFailure();
        }
        return quint8(C);
    }

    QIODevice& FDevice;
    bool FHasPeek = false;
    quint8 FPeek = 0;
};

bool SameName(const QString& Name, const char* Expected) {
    return Name.compare(QLatin1String(Expected), Qt::CaseInsensitive) == 0;
}

template <size_t N>
size_t LookupEnum(const std::array<const char*, N>& Names, const QString& Name) {
    for (size_t I = 0; I < N; ++I) {
        if (SameName(Name, Names[I])) {
            return I;
        }
    }
    InvalidValue();
}

// An integer property of 32 bits, written signed or unsigned.
quint32 Integer32(TStreamReader& R, quint8 Tag) {
    const qint64 Value = R.Integer(Tag);
    if (Value < std::numeric_limits<qint32>::min() ||
        Value > qint64(std::numeric_limits<quint32>::max())) {
        InvalidValue();
    }
    return quint32(Value);
}

TDateTime DateTimeValue(TStreamReader& R, quint8 Tag) {
    const double Value = R.Float(Tag);
    if (!IsValidDateTime(Value)) {
        InvalidValue();
    }
    return Value;
}

void ReadProperty(TStreamReader& R, TAQCondition& C, TViewStorageTable* Storages) {
    const QString Name = R.Str();
    const bool IsViewStorage = Storages != nullptr && SameName(Name, "ViewStorage");
    // Look the name up before taking its value, so that an unknown name is
    // reported as such whatever follows it.
    static const char* const Known[] = {
        "CIDCommonID", "CIDQueryID", "Caption",  "Prompt",        "Kind", "Level",
        "Operator",    "DTStart",    "DTEnd",    "GCID",          "Role", "Tag",
        "UserKind",    "CADName",    "CADValue", "CADSearchType", "CID"};
    const char* Property = nullptr;
    for (const char* Candidate : Known) {
        if (SameName(Name, Candidate)) {
            Property = Candidate;
            break;
        }
    }
    if (Property == nullptr && !IsViewStorage) {
        throw EReadError(QString::fromLatin1(SUnknownProperty).arg(Name));
    }
    const quint8 Tag = R.Byte();
    if (IsViewStorage) {
        if (Tag != vaBinary || R.UInt32() != ViewStorageSize) {
            InvalidValue();
        }
        for (int Kind = 0; Kind < ViewStorageSlots; ++Kind) {
            C.SetStorage(Kind, Storages->Get(R.UInt32()));
        }
        return;
    }
    const QString P = QString::fromLatin1(Property);
    if (P == u"CIDCommonID" || P == u"CID") {
        C.SetCIDCommonID(Integer32(R, Tag));
    } else if (P == u"CIDQueryID") {
        const qint64 Value = R.Integer(Tag);
        if (Value < 0 || Value > 255) {
            InvalidValue();
        }
        C.SetCIDQueryID(quint8(Value));
    } else if (P == u"Caption") {
        C.SetCaption(R.String(Tag));
    } else if (P == u"Prompt") {
        C.SetPrompt(R.String(Tag));
    } else if (P == u"Kind") {
        C.SetKind(TConditionKind(LookupEnum(ConditionKindNames, R.Ident(Tag))));
    } else if (P == u"Level") {
        C.SetLevel(Integer32(R, Tag));
    } else if (P == u"Operator") {
        C.SetOperator(TOperatorKind(LookupEnum(OperatorKindNames, R.Ident(Tag))));
    } else if (P == u"DTStart") {
        C.SetDTStart(DateTimeValue(R, Tag));
    } else if (P == u"DTEnd") {
        C.SetDTEnd(DateTimeValue(R, Tag));
    } else if (P == u"GCID") {
        C.SetGCID(R.String(Tag));
    } else if (P == u"Role") {
        C.SetRole(TParticipantRole(LookupEnum(ParticipantRoleNames, R.Ident(Tag))));
    } else if (P == u"Tag") {
        C.SetTag(quint64(R.Integer(Tag)));
    } else if (P == u"UserKind") {
        C.SetUserKind(TUserKind(LookupEnum(UserKindNames, R.Ident(Tag))));
    } else if (P == u"CADName") {
        C.SetCADName(R.String(Tag));
    } else if (P == u"CADValue") {
        C.SetCADValue(R.String(Tag));
    } else if (P == u"CADSearchType") {
        const qint64 Value = R.Integer(Tag);
        if (Value < cstEqual || Value > cstEndsWith) {
            InvalidValue();
        }
        C.SetCADSearchType(TCADSearchType(Value));
    }
}

void ReadCollection(TStreamReader& R, TVQQuery& Query, TViewStorageTable* Storages) {
    if (R.Byte() != vaCollection) {
        InvalidValue();
    }
    bool First = true;
    while (R.Peek() != vaNull) {
        const quint8 Tag = R.Peek();
        if (Tag == vaInt8 || Tag == vaInt16 || Tag == vaInt32) {
            R.Integer(R.Byte());
        }
        if (R.Byte() != vaList) {
            InvalidValue();
        }
        if (First) {
            Query.Clear();
            First = false;
        }
        auto* Condition = static_cast<TAQCondition*>(Query.Add());
        while (R.Peek() != vaNull) {
            ReadProperty(R, *Condition, Storages);
        }
        R.Byte();
    }
    R.Byte();
}

} // namespace

void TQueryStorage::Write(QIODevice& Stream, TViewStorageTable* Storages) const {
    TStreamWriter W;
    W.Bytes(QByteArray(QueryStreamSignature, 4));
    W.Str("TQueryStorage");
    W.Str("");
    W.Str("Items");
    W.Byte(vaCollection);
    for (int I = 0; I < FItems.Count(); ++I) {
        WriteCondition(W, *FItems.GetCondition(I), Storages);
    }
    W.Byte(vaNull);
    W.Byte(vaNull);
    W.Byte(vaNull);
    if (Stream.write(W.Data()) != W.Data().size()) {
        throw EWriteError(QString::fromLatin1(SWriteError));
    }
}

void TQueryStorage::Read(QIODevice& Stream, TViewStorageTable* Storages) const {
    TStreamReader R(Stream);
    for (int I = 0; I < 4; ++I) {
        if (R.Byte() != quint8(QueryStreamSignature[I])) {
            throw EReadError(QString::fromLatin1(SInvalidImage));
        }
    }
    // The class and object names are those of the root, which the reader
    // already has; they are not checked, as the component reader does not.
    R.Str();
    R.Str();
    while (R.Peek() != vaNull) {
        const QString Name = R.Str();
        if (!SameName(Name, "Items")) {
            throw EReadError(QString::fromLatin1(SUnknownProperty).arg(Name));
        }
        ReadCollection(R, FItems, Storages);
    }
    R.Byte();
    // A query storage has no children.
    if (R.Byte() != vaNull) {
        throw EReadError(QString::fromLatin1(SInvalidImage));
    }
}
