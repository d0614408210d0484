#include "ModelErrors.h"
#include "QueryStream.h"
#include "SQLMacros.h"
#include "TestSupport.h"
#include "VQQuery.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>

namespace {

QString S(const char* Text) {
    return QString::fromUtf8(Text);
}

QByteArray Save(TVQQuery& Query) {
    QBuffer Buffer;
    Buffer.open(QIODevice::WriteOnly);
    Query.SaveToStream(Buffer);
    return Buffer.data();
}

void Load(TVQQuery& Query, const QByteArray& Data) {
    QBuffer Buffer;
    Buffer.setData(Data);
    Buffer.open(QIODevice::ReadOnly);
    Query.LoadFromStream(Buffer);
}

// The message of the read error a stream raises, or "no error".
std::string ReadError(const QByteArray& Data, TVQQuery* Into = nullptr) {
    TVQQuery Local;
    try {
        Load(Into != nullptr ? *Into : Local, Data);
    } catch (const EReadError& Error) {
        return Error.what();
    }
    return "no error";
}

// The properties every condition writes after its caption and prompt,
// for a condition with default values otherwise.
TBytes& Defaults(TBytes& B, const char* Kind, int Level) {
    B.Prop("Kind").Ident(Kind);
    B.Prop("Level").Int8(Level);
    B.Prop("Operator").Ident("okOR");
    B.Prop("GCID").Str("00000-00-00000-000");
    B.Prop("Role").Ident("prAny");
    B.Prop("Tag").Int8(0);
    B.Prop("UserKind").Ident("ukUser");
    B.Prop("CADSearchType").Int8(0);
    return B;
}

// The file of a new query, written down from the format.
QByteArray NewQueryFile() {
    TBytes B;
    B.Header();
    B.Raw({0x01});
    B.Prop("CIDCommonID").Int16(0x0100);
    B.Prop("CIDQueryID").Int8(0);
    B.Prop("Caption").Str("I want to see ");
    B.Prop("Prompt").Str("(select media types that you want to see)");
    Defaults(B, "ckLabel", 0);
    B.Prop("CID").Int16(0x0100);
    B.Raw({0x00});
    B.Raw({0x01});
    B.Prop("CIDCommonID").Int32(0x000C0200);
    B.Prop("CIDQueryID").Int8(0);
    B.Prop("Prompt").Str("(add condition)");
    Defaults(B, "ckTail", 0);
    B.Prop("CID").Int32(0x000C0200);
    B.Raw({0x00});
    B.Footer();
    return B.Data();
}

QByteArray Bytes(std::initializer_list<int> Values) {
    return TBytes().Raw(Values).Data();
}

// A sequential device: its size is unknown to the reader.
class TPipeBuffer : public QIODevice {
public:
    void setData(const QByteArray& Data) { FData = Data; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override {
        return FData.size() - FOffset + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char* Out, qint64 Max) override {
        const qint64 Count = std::min<qint64>(Max, FData.size() - FOffset);
        std::memcpy(Out, FData.constData() + FOffset, size_t(Count));
        FOffset += Count;
        return Count;
    }
    qint64 writeData(const char* /*Data*/, qint64 /*Count*/) override { return -1; }

private:
    QByteArray FData;
    qint64 FOffset = 0;
};

} // namespace

TEST(QueryStreamExtended, KnownValues) {
    using E = std::array<quint8, 10>;
    EXPECT_EQ(DoubleToExtended(36526.0), (E{0, 0, 0, 0, 0, 0, 0xAE, 0x8E, 0x0E, 0x40}));
    EXPECT_EQ(DoubleToExtended(36526.5), (E{0, 0, 0, 0, 0, 0x80, 0xAE, 0x8E, 0x0E, 0x40}));
    EXPECT_EQ(DoubleToExtended(1.0), (E{0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}));
    EXPECT_EQ(DoubleToExtended(0.5), (E{0, 0, 0, 0, 0, 0, 0, 0x80, 0xFE, 0x3F}));
    EXPECT_EQ(DoubleToExtended(-2.0), (E{0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0}));
    EXPECT_EQ(DoubleToExtended(0.0), (E{}));
    EXPECT_EQ(ExtendedToDouble(E{0, 0, 0, 0, 0, 0, 0xAE, 0x8E, 0x0E, 0x40}), 36526.0);
    EXPECT_EQ(ExtendedToDouble(E{0, 0, 0, 0, 0, 0, 0, 0x80, 0x00, 0xC0}), -2.0);
    EXPECT_TRUE(std::isnan(ExtendedToDouble(E{0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x7F})));
    EXPECT_TRUE(std::isinf(ExtendedToDouble(E{0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F})));
}

TEST(QueryStreamExtended, RoundTripOfDoubles) {
    for (double Value : {36526.0 + 1.0 / 3.0, 1e-300, -45000.123456789, 4.9e-324, 2958465.5,
                         std::nextafter(1.0, 2.0)}) {
        EXPECT_EQ(ExtendedToDouble(DoubleToExtended(Value)), Value) << Value;
    }
}

TEST(QueryStreamWrite, NewQueryByteForByte) {
    TVQQuery Query;
    const QByteArray Data = Save(Query);
    EXPECT_EQ(Data, NewQueryFile());
    EXPECT_TRUE(Data.startsWith(QByteArray("TPF0\x0DTQueryStorage\x00\x05Items\x0E\x01\x0B"
                                           "CIDCommonID\x03\x00\x01",
                                           4 + 14 + 1 + 6 + 2 + 12 + 3)));
    EXPECT_TRUE(Data.endsWith(QByteArray("\x00\x00\x00\x00", 4)));
}

TEST(QueryStreamWrite, TimeSpanStartAsExtendedFloat) {
    TVQQuery Query;
    TAQCondition* Span = Query.AddTimeSpan(0);
    Span->SetDTEnd(36527.25);
    const QByteArray Data = Save(Query);
    EXPECT_TRUE(Data.contains(
        TBytes().Prop("DTStart").Raw({0x05, 0, 0, 0, 0, 0, 0, 0xAE, 0x8E, 0x0E, 0x40}).Data()));
    // 36527.25 = 0x8EAF.4
    EXPECT_TRUE(Data.contains(
        TBytes().Prop("DTEnd").Raw({0x05, 0, 0, 0, 0, 0, 0x40, 0xAF, 0x8E, 0x0E, 0x40}).Data()));
}

TEST(QueryStreamWrite, StringTags) {
    TVQQuery Query;
    TAQCondition* C = Query.AddGCID(0);
    auto Written = [&](const QString& Caption) {
        C->SetCaption(Caption);
        const QByteArray Data = Save(Query);
        const QByteArray Name = TBytes().Prop("Caption").Data();
        // The heading has a caption too; the condition under test comes later.
        const qsizetype At = Data.lastIndexOf(Name);
        return At < 0 ? QByteArray() : Data.mid(At + Name.size(), 16);
    };
    // UTF-8 shorter than UTF-16 and not ASCII: tag 0x14.
    EXPECT_TRUE(
        Written(S("café")).startsWith(Bytes({0x14, 5, 0, 0, 0, 'c', 'a', 'f', 0xC3, 0xA9})));
    // Cyrillic takes as many bytes in UTF-8 as in UTF-16: tag 0x12.
    EXPECT_TRUE(Written(S("Дом")).startsWith(
        Bytes({0x12, 3, 0, 0, 0, 0x14, 0x04, 0x3E, 0x04, 0x3C, 0x04})));
    EXPECT_TRUE(Written(S("中")).startsWith(Bytes({0x12, 1, 0, 0, 0, 0x2D, 0x4E})));
    EXPECT_TRUE(Written(S("ab")).startsWith(Bytes({0x06, 2, 'a', 'b'})));
    EXPECT_TRUE(Written(QString(255, QLatin1Char('x'))).startsWith(Bytes({0x06, 0xFF, 'x'})));
    EXPECT_TRUE(
        Written(QString(300, QLatin1Char('x'))).startsWith(Bytes({0x0C, 0x2C, 1, 0, 0, 'x'})));
}

TEST(QueryStreamWrite, WideIntegers) {
    TVQQuery Query;
    const int At = Query.InsertPartipiant(0, S("agent"), (quint64(5) << 32) | 7, ukUserGroup);
    TAQCondition* C = Query.GetCondition(At);
    C->SetCIDCommonID(0x80070301u);
    C->SetLevel(40000);
    const QByteArray Data = Save(Query);
    EXPECT_TRUE(Data.contains(TBytes().Prop("Tag").Int64((qint64(5) << 32) | 7).Data()));
    // The common id is written as the signed 32-bit value of its bits; CID
    // as the unsigned value, which needs eight bytes.
    EXPECT_TRUE(Data.contains(TBytes().Prop("CIDCommonID").Int32(qint32(0x80070301u)).Data()));
    EXPECT_TRUE(Data.contains(TBytes().Prop("CID").Int64(0x80070301LL).Data()));
    EXPECT_TRUE(Data.contains(TBytes().Prop("Level").Int32(40000).Data()));
    EXPECT_TRUE(Data.contains(TBytes().Prop("UserKind").Ident("ukUserGroup").Data()));
}

TEST(QueryStreamWrite, NoViewStoragesInFiles) {
    TVQQuery Query;
    TViewStorageRef Storage = TViewStorageRef::Adopt(TViewStorage::Create());
    Query.GetCondition(0)->SetStorage(0, Storage.get());
    EXPECT_FALSE(Save(Query).contains("ViewStorage"));
}

TEST(QueryStreamWrite, FailingDeviceIsAnError) {
    TVQQuery Query;
    QBuffer Buffer;
    Buffer.open(QIODevice::ReadOnly);
    EXPECT_THROW(Query.SaveToStream(Buffer), EWriteError);
}

TEST(QueryStreamRoundTrip, SameConditionsInTheSameOrder) {
    TVQQuery Query;
    Query.SetTitle(S("My query"));
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddDeleteMediaType(ckRVM, 0);
    int At = Query.InsertPartipiant(0, S("Ann"), 5, ukUser);
    Query.GetCondition(At)->SetOperator(okAND);
    At = Query.InsertPartipiant(At, S("Gruppe Süd"), 7, ukGroup);
    Query.GetCondition(At)->SetRole(prSupervisor);
    At = Query.InsertPartipiant(At, S("Иван"), (quint64(3) << 32) | 7, ukUserGroup);
    Query.InsertPartipiant(At, S("o'clock"), 0, ukExternalAddress);
    Query.AddTimeSpan(0);
    Query.AddTimeFrame(0);
    Query.AddGCID(0)->SetGCID(S("12345-67-89012-345"));
    Query.AddCAD(0, {S("queue"), S("€uro"), cstEndsWith});
    const QByteArray Data = Save(Query);

    TVQQuery Copy;
    Load(Copy, Data);
    ASSERT_EQ(Copy.Count(), Query.Count());
    for (int I = 0; I < Query.Count(); ++I) {
        const TAQCondition* A = Query.GetCondition(I);
        const TAQCondition* B = Copy.GetCondition(I);
        EXPECT_EQ(A->CID(), B->CID()) << I;
        EXPECT_EQ(A->Caption(), B->Caption()) << I;
        EXPECT_EQ(A->Prompt(), B->Prompt()) << I;
        EXPECT_EQ(A->Kind(), B->Kind()) << I;
        EXPECT_EQ(A->Level(), B->Level()) << I;
        EXPECT_EQ(A->Operator(), B->Operator()) << I;
        EXPECT_EQ(A->DTStart(), B->DTStart()) << I;
        EXPECT_EQ(A->DTEnd(), B->DTEnd()) << I;
        EXPECT_EQ(A->GCID(), B->GCID()) << I;
        EXPECT_EQ(A->Role(), B->Role()) << I;
        EXPECT_EQ(A->Tag(), B->Tag()) << I;
        EXPECT_EQ(A->UserKind(), B->UserKind()) << I;
        EXPECT_EQ(A->CAD(), B->CAD()) << I;
    }
    EXPECT_EQ(Copy.BuildQuery(3), Query.BuildQuery(3));
    EXPECT_TRUE(Copy.Title().isEmpty());
    EXPECT_EQ(Save(Copy), Data);
}

TEST(QueryStreamRead, HandWrittenFile) {
    TBytes B;
    B.Header();
    // The tail first, with an item number in front; the reader sorts.
    B.Int8(1).Raw({0x01});
    B.Prop("cid").Int32(0x000C0200);
    B.Prop("kind").Ident("CKTAIL");
    B.Raw({0x00});
    B.Raw({0x01});
    B.Prop("CIDCommonID").Int16(0x0100);
    B.Prop("Kind").Ident("ckLabel");
    B.Prop("Caption").Raw({0x12, 2, 0, 0, 0, 0x48, 0, 0x34, 0x04}); // "Hд"
    B.Raw({0x00});
    B.Int32(2).Raw({0x01});
    B.Prop("CID").Int32(0x00080300);
    B.Prop("Kind").Ident("ckTimeSpan");
    B.Prop("Operator").Ident("okAND");
    B.Prop("DTStart").Int32(36526); // an integer for a date-time
    B.Prop("DTEnd").Raw({0x05, 0, 0, 0, 0, 0, 0x80, 0xAE, 0x8E, 0x0E, 0x40});
    B.Prop("Prompt").Raw({0x14, 3, 0, 0, 0, 0xE2, 0x82, 0xAC});
    B.Prop("Tag").Int64(-1);
    B.Prop("GCID").Raw({0x0C, 3, 0, 0, 0, 'a', 'b', 'c'});
    B.Raw({0x00});
    B.Footer();

    TVQQuery Query;
    Query.AddGCID(0); // replaced by the file
    Load(Query, B.Data());
    ASSERT_EQ(Query.Count(), 3);
    EXPECT_EQ(Query.GetCondition(0)->Kind(), ckLabel);
    EXPECT_EQ(Query.GetCondition(0)->Caption(), S("Hд"));
    const TAQCondition* Span = Query.GetCondition(1);
    EXPECT_EQ(Span->Kind(), ckTimeSpan);
    EXPECT_EQ(Span->Operator(), okAND); // read after Kind, so it stays
    EXPECT_EQ(Span->DTStart(), 36526.0);
    EXPECT_EQ(Span->DTEnd(), 36526.5);
    EXPECT_EQ(Span->Prompt(), S("€"));
    EXPECT_EQ(Span->Tag(), ~quint64(0));
    EXPECT_EQ(Span->GCID(), S("abc"));
    EXPECT_EQ(Span->CID().OwnerID, 3);
    EXPECT_EQ(Query.GetCondition(2)->Kind(), ckTail);
}

TEST(QueryStreamRead, QueryByteOfTheKey) {
    TBytes B;
    B.Header().Raw({0x01});
    B.Prop("CIDCommonID").Int16(0x0100);
    B.Prop("CIDQueryID").Int8(3);
    B.Raw({0x00}).Footer();
    TVQQuery Query;
    Load(Query, B.Data());
    ASSERT_EQ(Query.Count(), 1);
    EXPECT_EQ(Query.GetCondition(0)->CIDCommonID(), 0x03000100u);
}

TEST(QueryStreamRead, EmptyCollectionKeepsTheQuery) {
    TVQQuery Query;
    Query.AddGCID(0);
    Load(Query, TBytes().Header().Footer().Data());
    EXPECT_EQ(Query.Count(), 3);
}

TEST(QueryStreamRead, SequentialDevice) {
    TVQQuery Query;
    Query.AddGCID(0)->SetCaption(QString(70000, QLatin1Char('z')));
    const QByteArray Data = Save(Query);
    TPipeBuffer Pipe;
    Pipe.setData(Data);
    Pipe.open(QIODevice::ReadOnly);
    TVQQuery Copy;
    Copy.LoadFromStream(Pipe);
    ASSERT_EQ(Copy.Count(), 3);
    EXPECT_EQ(Copy.GetCondition(1)->Caption().size(), 70000);
    // A huge length on a pipe fails as soon as the data ends.
    TPipeBuffer Short;
    Short.setData(TBytes()
                      .Header()
                      .Raw({0x01})
                      .Prop("Caption")
                      .Raw({0x14, 0xFF, 0xFF, 0xFF, 0x7F, 'a'})
                      .Data());
    Short.open(QIODevice::ReadOnly);
    EXPECT_THROW(Copy.LoadFromStream(Short), EReadError);
}

TEST(QueryStreamErrors, Signature) {
    EXPECT_EQ(ReadError(QByteArray("TPF1") + NewQueryFile().mid(4)), "Invalid stream format");
    EXPECT_EQ(ReadError("<?xml version='1.0'?>"), "Invalid stream format");
    EXPECT_EQ(ReadError("TQ"), "Invalid stream format");
    EXPECT_EQ(ReadError(""), "Stream read error");
}

TEST(QueryStreamErrors, UnknownProperties) {
    TBytes Item;
    Item.Header().Raw({0x01}).Prop("Colour").Int8(1).Raw({0x00}).Footer();
    EXPECT_EQ(ReadError(Item.Data()), "Property Colour does not exist");
    TBytes Root;
    Root.Text("TPF0").Name("TQueryStorage").Raw({0x00}).Name("Title").Str("x").Raw({0x00, 0x00});
    EXPECT_EQ(ReadError(Root.Data()), "Property Title does not exist");
    // View storages are never read from a file.
    TBytes Storage;
    Storage.Header().Raw({0x01}).Prop("ViewStorage").Raw({0x0A, 24, 0, 0, 0});
    for (int I = 0; I < 24; ++I) {
        Storage.Raw({0x41});
    }
    Storage.Raw({0x00}).Footer();
    EXPECT_EQ(ReadError(Storage.Data()), "Property ViewStorage does not exist");
}

TEST(QueryStreamErrors, EveryTruncationIsAReadError) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.InsertPartipiant(0, S("Zoë"), 5, ukUser);
    Query.AddTimeSpan(0);
    Query.AddCAD(0, {S("n"), S("v"), cstContains});
    const QByteArray Data = Save(Query);
    for (qsizetype Length = 0; Length < Data.size(); ++Length) {
        ASSERT_EQ(ReadError(Data.left(Length)), "Stream read error") << Length;
    }
    EXPECT_EQ(ReadError(Data), "no error");
}

TEST(QueryStreamErrors, ConditionsReadSoFarRemain) {
    TVQQuery Query;
    Query.AddGCID(0);
    Query.AddTimeSpan(0);
    const QByteArray Data = NewQueryFile();
    // Cut inside the second condition (the tail).
    const qsizetype Cut = Data.indexOf("(add condition)");
    ASSERT_GT(Cut, 0);
    EXPECT_EQ(ReadError(Data.left(Cut), &Query), "Stream read error");
    ASSERT_EQ(Query.Count(), 2);
    EXPECT_EQ(Query.GetCondition(0)->Kind(), ckLabel);
    EXPECT_FALSE(Query.Loading());
}

TEST(QueryStreamErrors, HugeLengthsAreNotAllocated) {
    for (int Tag : {0x0C, 0x12, 0x14}) {
        TBytes B;
        B.Header().Raw({0x01}).Prop("Caption").Raw({Tag, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b'});
        EXPECT_EQ(ReadError(B.Data()), "Stream read error") << Tag;
    }
}

TEST(QueryStreamErrors, ValuesAPropertyCannotTake) {
    auto WithProperty = [](const std::function<void(TBytes&)>& Write) {
        TBytes B;
        B.Header().Raw({0x01});
        Write(B);
        B.Raw({0x00}).Footer();
        return ReadError(B.Data());
    };
    const std::string Invalid = "Invalid property value";
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Kind").Int8(2); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Kind").Ident("ckNothing"); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Role").Ident("prBoss"); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("UserKind").Str("ukUser"); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Operator").Ident("okXOR"); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("CADSearchType").Int8(4); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("CADSearchType").Int8(-1); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("CIDQueryID").Int16(300); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("CID").Int64(0x100000000LL); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Caption").Int8(1); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("Level").Raw({0x08}); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) {
                  B.Prop("DTStart").Raw({0x05, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x7F});
              }),
              Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("DTEnd").Int32(3000000); }), Invalid);
    EXPECT_EQ(WithProperty([](TBytes& B) { B.Prop("CID").Int32(-5); }), "no error");
}

TEST(QueryStreamErrors, StructureOfTheCollection) {
    // An item must begin with 0x01.
    EXPECT_EQ(ReadError(TBytes().Header().Raw({0x05}).Data()), "Invalid property value");
    // Items must be a collection.
    TBytes NotCollection;
    NotCollection.Text("TPF0").Name("TQueryStorage").Raw({0x00}).Name("Items").Int8(0);
    EXPECT_EQ(ReadError(NotCollection.Data()), "Invalid property value");
    // A query storage has no children.
    TBytes Child;
    Child.Header().Raw({0x00, 0x00}).Name("TButton");
    EXPECT_EQ(ReadError(Child.Data()), "Invalid stream format");
}

TEST(QueryStreamFiles, SaveLoadAndRememberTheName) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Name = Dir.filePath(S("q.vqq"));
    TVQQuery Query;
    Query.AddDeleteMediaType(ckFaxes, 0);
    Query.SaveToFile(Name);
    EXPECT_EQ(Query.FileName(), Name);
    TVQQuery Loaded;
    Loaded.LoadFromFile(Name);
    EXPECT_EQ(Loaded.FileName(), Name);
    EXPECT_EQ(Loaded.BuildQuery(2), Query.BuildQuery(2));
    QFile File(Name);
    ASSERT_TRUE(File.open(QIODevice::ReadOnly));
    EXPECT_EQ(File.readAll(), Save(Query));
}

TEST(QueryStreamFiles, MissingFileAndUnwritablePlace) {
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Missing = Dir.filePath(S("missing.vqq"));
    TVQQuery Query;
    try {
        Query.LoadFromFile(Missing);
        FAIL() << "no error";
    } catch (const EFOpenError& Error) {
        EXPECT_EQ(Error.Message(),
                  S("Cannot open file \"") + Missing + S("\". No such file or directory"));
    }
    EXPECT_EQ(Query.FileName(), Missing);
    const QString Nowhere = Dir.filePath(S("no/such/dir/q.vqq"));
    try {
        Query.SaveToFile(Nowhere);
        FAIL() << "no error";
    } catch (const EFCreateError& Error) {
        EXPECT_TRUE(Error.Message().startsWith(S("Cannot create file \"") + Nowhere + S("\". ")));
    }
    EXPECT_EQ(Query.FileName(), Nowhere);
    // A directory is not a query file.
    EXPECT_THROW(Query.LoadFromFile(Dir.path()), EStreamError);
}

TEST(QueryStreamRobustness, DamagedStreamsFailCleanlyOrGiveAUsableQuery) {
    TScopedTimeZone Zone("UTC0");
    TVQQuery Source;
    Source.AddDeleteMediaType(ckIM, 0);
    Source.AddDeleteMediaType(ckRVM, 0);
    int At = Source.InsertPartipiant(0, S("Ann's"), 5, ukUser);
    Source.GetCondition(At)->SetOperator(okAND);
    At = Source.InsertPartipiant(At, S("Gruppe Süd"), 7, ukGroup);
    Source.InsertPartipiant(At, S("Иван"), (quint64(3) << 32) | 7, ukUserGroup);
    Source.AddTimeSpan(0)->SetDTEnd(40000.5);
    Source.AddTimeFrame(0);
    Source.AddGCID(0);
    Source.AddCAD(0, {S("q"), S("v\\'"), cstContains});
    const QByteArray Original = Save(Source);

    std::mt19937 Random(20261209);
    int Loaded = 0;
    for (int Round = 0; Round < 3000; ++Round) {
        QByteArray Data = Original;
        const int Edits = 1 + int(Random() % 4);
        for (int E = 0; E < Edits && !Data.isEmpty(); ++E) {
            const qsizetype At2 = qsizetype(Random() % quint32(Data.size()));
            switch (Random() % 4) {
            case 0:
                Data[At2] = char(Random());
                break;
            case 1:
                Data.insert(At2, char(Random()));
                break;
            case 2:
                Data.remove(At2, 1);
                break;
            default:
                Data[At2] = char(Data[At2] ^ (1 << (Random() % 8)));
                break;
            }
        }
        TVQQuery Query;
        try {
            Load(Query, Data);
            ++Loaded;
        } catch (const EReadError&) {
            // What was read so far stays; it must be as usable as a whole file.
        }
        for (int Type : {1, 2, 3, 4}) {
            ASSERT_NO_THROW(ExpandSQLMacros(Type, Query.BuildQuery(Type))) << Round;
        }
        ASSERT_NO_THROW(Query.HasError()) << Round;
        ASSERT_NO_THROW(Query.ErrorReason()) << Round;
        for (int I = 0; I < Query.Count(); ++I) {
            ASSERT_NO_THROW(Query.GetCondition(I)->DisplayString()) << Round;
            ASSERT_NO_THROW(Query.GetCondition(I)->EditorClass()) << Round;
        }
        const QByteArray Again = Save(Query);
        TVQQuery Copy;
        ASSERT_NO_THROW(Load(Copy, Again)) << Round;
        ASSERT_EQ(Copy.BuildQuery(2), Query.BuildQuery(2)) << Round;
    }
    // Some damage leaves a readable file (a changed letter in a caption).
    EXPECT_GT(Loaded, 0);
}
