#include "ViewStorage.h"

#include <gtest/gtest.h>

namespace {

// A freed storage can no longer be looked at, so the tests watch the
// reference counts and leave the frees themselves to the sanitizer build.
TViewStorage* Filled(std::initializer_list<quint32> Ids) {
    TViewStorage* Storage = TViewStorage::Create();
    for (quint32 Id : Ids) {
        Storage->AddItem()->SetMediaId(Id);
    }
    return Storage;
}

} // namespace

TEST(ViewStorageReferences, CreateAddRefReleaseTwice) {
    TViewStorage* Storage = TViewStorage::Create();
    EXPECT_EQ(Storage->RefCount(), 1);
    Storage->AddRef();
    EXPECT_EQ(Storage->RefCount(), 2);
    Storage->Release();
    EXPECT_EQ(Storage->RefCount(), 1);
    Storage->Release(); // freed here; the sanitizer build reports a leak otherwise
}

TEST(ViewStorageReferences, RefHolderCountsCopiesAndMoves) {
    TViewStorageRef First = TViewStorageRef::Adopt(TViewStorage::Create());
    EXPECT_EQ(First->RefCount(), 1);
    {
        TViewStorageRef Second = First;
        EXPECT_EQ(First->RefCount(), 2);
        TViewStorageRef Third = std::move(Second);
        EXPECT_FALSE(Second);
        EXPECT_EQ(First->RefCount(), 2);
    }
    EXPECT_EQ(First->RefCount(), 1);
    TViewStorageRef Shared = TViewStorageRef::Share(First.get());
    EXPECT_EQ(First->RefCount(), 2);
    Shared.reset();
    EXPECT_EQ(First->RefCount(), 1);
    TViewStorageRef& Alias = First;
    First = Alias; // assigning a holder to itself keeps the reference
    EXPECT_EQ(First->RefCount(), 1);
}

TEST(ViewStorageFind, AfterOrganizeFindsByRecordId) {
    TViewStorageRef Storage = TViewStorageRef::Adopt(Filled({30, 10, 20, 10}));
    Storage->Items(0)->SetMarked(true);
    Storage->Organize();
    TViewItemStorage* Item = nullptr;
    ASSERT_TRUE(Storage->Find(30, Item));
    ASSERT_NE(Item, nullptr);
    EXPECT_EQ(Item->MediaId(), 30u);
    EXPECT_TRUE(Item->Marked());
    ASSERT_TRUE(Storage->Find(10, Item));
    EXPECT_EQ(Item, Storage->Items(0));
    EXPECT_FALSE(Storage->Find(15, Item));
    EXPECT_EQ(Item, nullptr);
    EXPECT_FALSE(Storage->Find(40, Item));
    EXPECT_FALSE(Storage->Find(0, Item));
}

TEST(ViewStorageClear, ResetsEverything) {
    TViewStorageRef Storage = TViewStorageRef::Adopt(Filled({1, 2}));
    EXPECT_TRUE(Storage->IsEmpty());
    Storage->SetMedia(16);
    Storage->SetUser(QStringLiteral("U5"));
    Storage->SetSessionID(QStringLiteral("U5U7"));
    Storage->SetTop(4);
    Storage->SetItemCount(12);
    Storage->SetHot(3);
    EXPECT_FALSE(Storage->IsEmpty());
    Storage->Clear();
    EXPECT_TRUE(Storage->IsEmpty());
    EXPECT_EQ(Storage->Count(), 0);
    EXPECT_EQ(Storage->Media(), 0);
    EXPECT_TRUE(Storage->User().isEmpty());
    EXPECT_TRUE(Storage->SessionID().isEmpty());
    EXPECT_EQ(Storage->Top(), 0);
    EXPECT_EQ(Storage->ItemCount(), 0);
    EXPECT_EQ(Storage->Hot(), -1);
    EXPECT_EQ(Storage->Items(0), nullptr);
}
