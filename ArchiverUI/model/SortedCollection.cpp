#include "SortedCollection.h"

#include <algorithm>
#include <bit>
#include <utility>

void TCollectionItem::SetIndex(int Value) {
    if (FCollection != nullptr) {
        FCollection->Move(FIndex, Value);
    }
}

void TCollectionItem::Changed(bool AllItems) {
    if (FCollection == nullptr) {
        return;
    }
    if (AllItems) {
        FCollection->Changed();
    } else {
        FCollection->ItemChanged(this);
    }
}

TCollection::~TCollection() {
    // Items may look at their collection while they are destroyed; they go
    // first, from the end, while the collection is still whole.
    while (!FItems.empty()) {
        FItems.pop_back();
    }
}

TCollectionItem* TCollection::Items(int Index) const {
    if (Index < 0 || Index >= Count()) {
        return nullptr;
    }
    return FItems[size_t(Index)].get();
}

TCollectionItem* TCollection::Add() {
    std::unique_ptr<TCollectionItem> Item = CreateItem();
    TCollectionItem* Result = Item.get();
    Result->FCollection = this;
    Result->FID = FNextID++;
    Result->FIndex = Count();
    FItems.push_back(std::move(Item));
    Changed();
    return Result;
}

void TCollection::Delete(int Index) {
    if (Index < 0 || Index >= Count()) {
        return;
    }
    std::unique_ptr<TCollectionItem> Item = std::move(FItems[size_t(Index)]);
    FItems.erase(FItems.begin() + Index);
    Item->FCollection = nullptr;
    Item->FIndex = -1;
    Reindex(Index);
    Item.reset();
    Changed();
}

void TCollection::Clear() {
    if (FItems.empty()) {
        return;
    }
    BeginUpdate();
    while (!FItems.empty()) {
        FItems.pop_back();
    }
    EndUpdate();
}

void TCollection::Move(int CurIndex, int NewIndex) {
    if (CurIndex < 0 || CurIndex >= Count() || CurIndex == NewIndex) {
        return;
    }
    NewIndex = std::clamp(NewIndex, 0, Count() - 1);
    std::unique_ptr<TCollectionItem> Item = std::move(FItems[size_t(CurIndex)]);
    FItems.erase(FItems.begin() + CurIndex);
    FItems.insert(FItems.begin() + NewIndex, std::move(Item));
    Reindex(std::min(CurIndex, NewIndex));
    Changed();
}

void TCollection::Exchange(int Index1, int Index2) {
    if (Index1 < 0 || Index2 < 0 || Index1 >= Count() || Index2 >= Count() || Index1 == Index2) {
        return;
    }
    std::swap(FItems[size_t(Index1)], FItems[size_t(Index2)]);
    FItems[size_t(Index1)]->FIndex = Index1;
    FItems[size_t(Index2)]->FIndex = Index2;
}

void TCollection::BeginUpdate() {
    ++FUpdateCount;
}

void TCollection::EndUpdate() {
    if (FUpdateCount > 0) {
        --FUpdateCount;
    }
    if (FUpdateCount == 0) {
        Changed();
    }
}

void TCollection::Update(TCollectionItem* /*Item*/) {}

void TCollection::Changed() {
    if (FUpdateCount == 0) {
        Update(nullptr);
    }
}

void TCollection::Reindex(int From) {
    for (int I = std::max(From, 0); I < Count(); ++I) {
        FItems[size_t(I)]->FIndex = I;
    }
}

void TCollection::ItemChanged(TCollectionItem* Item) {
    if (FUpdateCount == 0) {
        Update(Item);
    }
}

int TSortedCollection::Compare(const TCollectionItem& Item1, const TCollectionItem& Item2) const {
    return Item1.ID() - Item2.ID();
}

int TSortedCollection::CompareKey(const TCollectionItem& Item, qint64 Key) const {
    const qint64 Difference = qint64(Item.ID()) - Key;
    return Difference < 0 ? -1 : (Difference > 0 ? 1 : 0);
}

namespace {
// Runs the after-sort hook on every way out of a sort or search.
template <typename F> class TFinally {
public:
    explicit TFinally(F Action) : FAction(std::move(Action)) {}
    TFinally(const TFinally&) = delete;
    TFinally& operator=(const TFinally&) = delete;
    ~TFinally() { FAction(); }

private:
    F FAction;
};
} // namespace

void TSortedCollection::Sort() {
    BeforeSort();
    TFinally After([this] { AfterSort(); });
    if (SortItems()) {
        Changed();
    }
}

bool TSortedCollection::SortItems() {
    if (Count() == 0) {
        return false;
    }
    // Quick sort degrades on crafted orders (a loaded query file can hold
    // any order); beyond twice the logarithmic depth the rest of a range is
    // heap sorted, which bounds both time and stack depth.
    const int Depth = 2 * int(std::bit_width(unsigned(Count())));
    return QuickSort(0, Count() - 1, Depth);
}

bool TSortedCollection::QuickSort(int L, int R, int DepthLeft) {
    bool Moved = false;
    while (L < R) {
        if (DepthLeft-- <= 0) {
            HeapSort(L, R);
            return true;
        }
        int I = L;
        int J = R;
        const TCollectionItem* Pivot = Items((L + R) / 2);
        // The pivot item is followed through exchanges by identity, so the
        // comparisons always use the same item.
        do {
            while (Compare(*Items(I), *Pivot) < 0) {
                ++I;
            }
            while (Compare(*Items(J), *Pivot) > 0) {
                --J;
            }
            if (I <= J) {
                if (I != J) {
                    Exchange(I, J);
                    Moved = true;
                }
                ++I;
                --J;
            }
        } while (I <= J);
        if (L < J) {
            Moved = QuickSort(L, J, DepthLeft) || Moved;
        }
        L = I;
    }
    return Moved;
}

void TSortedCollection::HeapSort(int L, int R) {
    const int N = R - L + 1;
    auto Less = [this, L](int A, int B) { return Compare(*Items(L + A), *Items(L + B)) < 0; };
    auto SiftDown = [&](int Root, int End) {
        while (2 * Root + 1 < End) {
            int Child = 2 * Root + 1;
            if (Child + 1 < End && Less(Child, Child + 1)) {
                ++Child;
            }
            if (!Less(Root, Child)) {
                return;
            }
            Exchange(L + Root, L + Child);
            Root = Child;
        }
    };
    for (int Start = N / 2 - 1; Start >= 0; --Start) {
        SiftDown(Start, N);
    }
    for (int End = N - 1; End > 0; --End) {
        Exchange(L, L + End);
        SiftDown(0, End);
    }
}

bool TSortedCollection::Find(int& Index, qint64 Value) {
    BeforeSort();
    TFinally After([this] { AfterSort(); });
    bool Result = false;
    int L = 0;
    int H = Count() - 1;
    while (L <= H) {
        const int I = L + (H - L) / 2;
        const int C = CompareKey(*Items(I), Value);
        if (C < 0) {
            L = I + 1;
        } else {
            H = I - 1;
            if (C == 0) {
                // Keep going left so that Index names the first match.
                Result = true;
            }
        }
    }
    Index = L;
    return Result;
}

TCollectionItem* TSortedCollection::Find(qint64 Value) {
    int Index = 0;
    return Find(Index, Value) ? Items(Index) : nullptr;
}

TCollectionItem* TSortedCollection::AddItem() {
    BeforeSort();
    TFinally After([this] { AfterSort(); });
    TCollectionItem* Result = Add();
    if (SortItems()) {
        Changed();
    }
    return Result;
}
