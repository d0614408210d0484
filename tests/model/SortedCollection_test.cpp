#include "SortedCollection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

class TKeyItem : public TCollectionItem {
public:
    int Key = 0;
};

// Sorts by Key and counts the hooks.
class TKeyCollection : public TSortedCollection {
public:
    int Before = 0;
    int After = 0;
    int Updates = 0;
    bool ThrowOnCompare = false;

    TKeyItem* At(int Index) const { return static_cast<TKeyItem*>(Items(Index)); }
    TKeyItem* AddKey(int Key) {
        auto* Item = static_cast<TKeyItem*>(Add());
        Item->Key = Key;
        return Item;
    }
    std::vector<int> Keys() const {
        std::vector<int> Result;
        for (int I = 0; I < Count(); ++I) {
            Result.push_back(At(I)->Key);
        }
        return Result;
    }

protected:
    std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TKeyItem>(); }
    int Compare(const TCollectionItem& A, const TCollectionItem& B) const override {
        if (ThrowOnCompare) {
            throw std::runtime_error("compare");
        }
        return static_cast<const TKeyItem&>(A).Key - static_cast<const TKeyItem&>(B).Key;
    }
    int CompareKey(const TCollectionItem& Item, qint64 Key) const override {
        return int(static_cast<const TKeyItem&>(Item).Key - Key);
    }
    void BeforeSort() override { ++Before; }
    void AfterSort() override { ++After; }
    void Update(TCollectionItem* /*Item*/) override { ++Updates; }
};

// Keeps the default comparisons: by collection item ID.
class TPlainCollection : public TSortedCollection {
protected:
    std::unique_ptr<TCollectionItem> CreateItem() override { return std::make_unique<TKeyItem>(); }
};

} // namespace

TEST(SortedCollectionSort, EmptyCollectionStillRunsHooks) {
    TKeyCollection List;
    List.Sort();
    EXPECT_EQ(List.Count(), 0);
    EXPECT_EQ(List.Before, 1);
    EXPECT_EQ(List.After, 1);
}

TEST(SortedCollectionSort, SortsAndKeepsIndexes) {
    TKeyCollection List;
    for (int Key : {5, 3, 9, 1, 3, 7}) {
        List.AddKey(Key);
    }
    List.Sort();
    EXPECT_EQ(List.Keys(), (std::vector<int>{1, 3, 3, 5, 7, 9}));
    for (int I = 0; I < List.Count(); ++I) {
        EXPECT_EQ(List.At(I)->Index(), I);
    }
}

TEST(SortedCollectionSort, AfterHookRunsWhenCompareRaises) {
    TKeyCollection List;
    List.AddKey(2);
    List.AddKey(1);
    List.ThrowOnCompare = true;
    EXPECT_THROW(List.Sort(), std::runtime_error);
    EXPECT_EQ(List.Before, 1);
    EXPECT_EQ(List.After, 1);
}

TEST(SortedCollectionSort, LargeAndDegenerateOrdersSortCorrectly) {
    std::mt19937 Random(42);
    for (int Pattern = 0; Pattern < 4; ++Pattern) {
        TKeyCollection List;
        std::vector<int> Expected;
        for (int I = 0; I < 3000; ++I) {
            int Key = 0;
            switch (Pattern) {
            case 0:
                Key = int(Random() % 1000);
                break;
            case 1:
                Key = I;
                break;
            case 2:
                Key = 3000 - I;
                break;
            default:
                Key = 7;
                break;
            }
            List.AddKey(Key);
            Expected.push_back(Key);
        }
        List.Sort();
        std::sort(Expected.begin(), Expected.end());
        EXPECT_EQ(List.Keys(), Expected) << "pattern " << Pattern;
    }
}

TEST(SortedCollectionSort, OrganPipeOrderSortsCorrectly) {
    // Middle-pivot quick sort is slow on such orders; the result must not
    // depend on which way the sort goes.
    TKeyCollection List;
    std::vector<int> Expected;
    for (int I = 0; I < 2000; ++I) {
        const int Key = I < 1000 ? I : 2000 - I;
        List.AddKey(Key);
        Expected.push_back(Key);
    }
    List.Sort();
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(List.Keys(), Expected);
}

TEST(SortedCollectionFind, LeftMostMatchAndInsertionPoint) {
    TKeyCollection List;
    for (int Key : {1, 3, 3, 5}) {
        List.AddKey(Key);
    }
    int Index = -1;
    EXPECT_TRUE(List.Find(Index, 3));
    EXPECT_EQ(Index, 1);
    EXPECT_FALSE(List.Find(Index, 4));
    EXPECT_EQ(Index, 3);
    EXPECT_FALSE(List.Find(Index, 0));
    EXPECT_EQ(Index, 0);
    EXPECT_FALSE(List.Find(Index, 6));
    EXPECT_EQ(Index, 4);
    EXPECT_EQ(List.Find(5), List.At(3));
    EXPECT_EQ(List.Find(2), nullptr);
    EXPECT_EQ(List.Before, List.After);
    EXPECT_EQ(List.Before, 6);
}

TEST(SortedCollectionFind, EmptyCollection) {
    TKeyCollection List;
    int Index = -1;
    EXPECT_FALSE(List.Find(Index, 1));
    EXPECT_EQ(Index, 0);
}

TEST(SortedCollectionAddItem, NewItemIsSortedIn) {
    TKeyCollection List;
    List.AddKey(10);
    List.AddKey(20);
    List.Sort();
    // A fresh item has key 0 and must come first after AddItem.
    auto* Item = static_cast<TKeyItem*>(List.AddItem());
    EXPECT_EQ(Item->Index(), 0);
    EXPECT_EQ(List.Keys(), (std::vector<int>{0, 10, 20}));
    EXPECT_EQ(List.Before, List.After);
}

TEST(SortedCollectionDefaults, CompareByCreationID) {
    TPlainCollection List;
    TCollectionItem* A = List.Add();
    TCollectionItem* B = List.Add();
    TCollectionItem* C = List.Add();
    EXPECT_LT(A->ID(), B->ID());
    List.Exchange(0, 2);
    EXPECT_EQ(List.Items(0), C);
    List.Sort();
    EXPECT_EQ(List.Items(0), A);
    EXPECT_EQ(List.Items(1), B);
    EXPECT_EQ(List.Items(2), C);
    int Index = -1;
    EXPECT_TRUE(List.Find(Index, B->ID()));
    EXPECT_EQ(Index, 1);
}

TEST(SortedCollectionUpdates, ChangesAreCollectedBetweenBeginAndEnd) {
    TKeyCollection List;
    List.AddKey(1);
    const int AfterAdd = List.Updates;
    EXPECT_GE(AfterAdd, 1);
    List.BeginUpdate();
    List.AddKey(2);
    List.AddKey(3);
    List.Delete(0);
    EXPECT_EQ(List.Updates, AfterAdd);
    List.EndUpdate();
    EXPECT_EQ(List.Updates, AfterAdd + 1);
    EXPECT_EQ(List.Keys(), (std::vector<int>{2, 3}));
}

TEST(SortedCollectionItems, MoveAndDeleteKeepPositions) {
    TKeyCollection List;
    for (int Key : {0, 1, 2, 3}) {
        List.AddKey(Key);
    }
    List.At(0)->SetIndex(3);
    EXPECT_EQ(List.Keys(), (std::vector<int>{1, 2, 3, 0}));
    List.Delete(1);
    EXPECT_EQ(List.Keys(), (std::vector<int>{1, 3, 0}));
    for (int I = 0; I < List.Count(); ++I) {
        EXPECT_EQ(List.At(I)->Index(), I);
    }
    EXPECT_EQ(List.Items(3), nullptr);
    EXPECT_EQ(List.Items(-1), nullptr);
    List.Delete(7);
    EXPECT_EQ(List.Count(), 3);
}
