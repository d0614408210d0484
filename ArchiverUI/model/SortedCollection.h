// Owned collections of items that know their collection, and the sorted
// collection that the query and other lists of the viewer derive from.
#pragma once

#include <QtGlobal>
#include <memory>
#include <vector>

class TCollection;

class TCollectionItem {
public:
    TCollectionItem() = default;
    TCollectionItem(const TCollectionItem&) = delete;
    TCollectionItem& operator=(const TCollectionItem&) = delete;
    virtual ~TCollectionItem() = default;

    TCollection* Collection() const { return FCollection; }
    // Unique within the collection, in order of creation.
    int ID() const { return FID; }
    // Position in the collection, -1 while not in one.
    int Index() const { return FIndex; }
    // Moves the item to another position.
    void SetIndex(int Value);

protected:
    // Tells the collection that this item (or, with AllItems, the whole list)
    // changed, so that its views can follow.
    void Changed(bool AllItems);

private:
    friend class TCollection;
    TCollection* FCollection = nullptr;
    int FID = 0;
    int FIndex = -1;
};

class TCollection {
public:
    TCollection() = default;
    TCollection(const TCollection&) = delete;
    TCollection& operator=(const TCollection&) = delete;
    virtual ~TCollection();

    int Count() const { return int(FItems.size()); }
    // The item at Index, or none when Index is out of range.
    TCollectionItem* Items(int Index) const;

    // Appends a new item made by CreateItem.
    TCollectionItem* Add();
    // Frees the item at Index.
    void Delete(int Index);
    void Clear();
    void Move(int CurIndex, int NewIndex);
    void Exchange(int Index1, int Index2);

    // Change notices are collected between BeginUpdate and EndUpdate and
    // reported once as a change of the whole list.
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }

protected:
    virtual std::unique_ptr<TCollectionItem> CreateItem() = 0;
    // Called for a change of Item, or of the whole list when Item is none.
    virtual void Update(TCollectionItem* Item);
    void Changed();

private:
    friend class TCollectionItem;
    void Reindex(int From);
    void ItemChanged(TCollectionItem* Item);

    std::vector<std::unique_ptr<TCollectionItem>> FItems;
    int FNextID = 0;
    int FUpdateCount = 0;
};

class TSortedCollection : public TCollection {
public:
    // Sorts by Compare; the hooks run around it even when a comparison raises.
    void Sort();
    // The first item whose CompareKey with Value is 0, or none.
    TCollectionItem* Find(qint64 Value);
    // Binary search: true when found; Index is the first match, or the
    // position where an item with that key would be inserted.
    bool Find(int& Index, qint64 Value);
    // Appends a new item and sorts the collection.
    TCollectionItem* AddItem();

protected:
    // Order of two items: negative, 0 or positive.
    virtual int Compare(const TCollectionItem& Item1, const TCollectionItem& Item2) const;
    // Order of an item against a key.
    virtual int CompareKey(const TCollectionItem& Item, qint64 Key) const;
    virtual void BeforeSort() {}
    virtual void AfterSort() {}

private:
    bool QuickSort(int L, int R, int DepthLeft);
    void HeapSort(int L, int R);
    bool SortItems();
};
