// One archive query: the sorted list of its conditions, the operations the
// query builder composes it with, its validity, its SQL and its files.
#pragma once

#include "Conditions.h"
#include "SortedCollection.h"

#include <QPoint>
#include <QString>
#include <memory>

class IConditionList;
class QIODevice;
class TSearchOptions;
class TViewStorageTable;

// What the builder's file dialogs show for query files.
inline constexpr const char* QueryFileExtension = ".vqq";
inline constexpr const char* QueryFileFilter = "VQ query file (*.vqq)|*.vqq";
inline constexpr const char* SaveQueryTitle = "Save query";
inline constexpr const char* LoadQueryTitle = "Load query";

class TVQQuery : public TSortedCollection {
public:
    explicit TVQQuery(IConditionList* ListBox = nullptr);
    ~TVQQuery() override;

    // Removes every condition and starts a new query with heading and tail.
    void Init();
    void AddQueryStart();
    TAQCondition* AddCondition(const QString& Caption, quint8 QueryID, quint32 Level,
                               TConditionKind Kind, const QString& Prompt, TAQCondition* AOwner,
                               quint8 ID);
    // The condition at Index, or none when Index is out of range.
    TAQCondition* GetCondition(int Index) const;
    bool KindExists(TConditionKinds Kinds, quint8 QueryID) const;
    // First condition of one of the kinds at or after StartIndex, else -1.
    int FindKind(TConditionKinds Kinds, quint8 QueryID, int StartIndex) const;

    // Adds the media type, or removes it when the query has it already.
    void AddDeleteMediaType(TConditionKind Media, int MemberIndex);
    bool MediaTypeExists(TConditionKind Media, int MemberIndex) const;
    // Inserts one participant after the line InsertAfter; returns its
    // position, which is the InsertAfter of the next one of a selection.
    int InsertPartipiant(int InsertAfter, const QString& Name, quint64 UserID, TUserKind AKind);
    TAQCondition* AddTimeSpan(int MemberIndex);
    TAQCondition* AddTimeFrame(int MemberIndex);
    TAQCondition* AddGCID(int MemberIndex);
    // A call attached data condition with empty criteria; the builder asks
    // its dialog first and passes what was confirmed to the other overload.
    TAQCondition* AddCAD(int MemberIndex);
    TAQCondition* AddCAD(int MemberIndex, const TCADSearchCriteria& Criteria);
    // Deletes a condition together with the conditions that depend on it.
    void DeleteCondition(TAQCondition* ACondition);
    void RemoveCondition(TAQCondition* Condition);

    // The query cannot be executed.
    bool HasError() const;
    // Why it cannot, one reason a line; empty when it can.
    QString ErrorReason() const;
    bool CanDelete(int Index) const;
    bool CanEdit(int Index) const;
    // The SQL of the query, "#F_" macros not yet expanded.
    QString BuildQuery(int ServerType) const;
    // The condition under a point of the list box and the part hit.
    TAQCondition* GetItemAt(const QPoint& Point, TConditionHitTest& Hit) const;

    // Copies another query through its streamed form; the copy shares the
    // conditions' view storages. Title, file name and search options stay.
    void Assign(TVQQuery& Source);

    void LoadFromFile(const QString& FileName);
    void SaveToFile(const QString& FileName);
    void LoadFromStream(QIODevice& Stream);
    void SaveToStream(QIODevice& Stream);

    void NormalizeOperators(quint8 QueryID);
    // The participants header a participant belongs to, or none.
    TAQCondition* HeaderOf(const TAQCondition* Participant) const;
    // Numbers the participants after Header 1, 2, 3, ... in list order.
    void RenumberParticipants(const TAQCondition* Header);
    quint8 QueryIDAt(int MemberIndex) const;

    const QString& FileName() const { return FFileName; }
    IConditionList* ListBox() const { return FListBox; }
    void SetListBox(IConditionList* Value);
    TSearchOptions* SearchOptions() const { return FSearchOptions; }
    void SetSearchOptions(TSearchOptions* Value) { FSearchOptions = Value; }
    const QString& Title() const { return FTitle; }
    void SetTitle(const QString& Value) { FTitle = Value; }
    bool Loading() const { return FLoading; }
    bool Assigning() const { return FAssigning; }

protected:
    std::unique_ptr<TCollectionItem> CreateItem() override;
    void Update(TCollectionItem* Item) override;
    int Compare(const TCollectionItem& Item1, const TCollectionItem& Item2) const override;
    int CompareKey(const TCollectionItem& Item, qint64 Key) const override;

private:
    friend class TQueryStorage;
    void WriteStream(QIODevice& Stream, TViewStorageTable* Storages);
    void ReadStream(QIODevice& Stream, TViewStorageTable* Storages);
    void RefreshListBox();
    TAQCondition* LastParticipant(TAQCondition* Header) const;

    QString FFileName;
    bool FLoading = false;
    IConditionList* FListBox = nullptr;
    QString FTitle;
    TSearchOptions* FSearchOptions = nullptr;
    bool FAssigning = false;
};
