#include "ViewStorage.h"

#include <algorithm>

TViewStorage* TViewStorage::Create() {
    return new TViewStorage();
}

void TViewStorage::AddRef() {
    ++FRefCount;
}

void TViewStorage::Release() {
    if (--FRefCount == 0) {
        Clear();
        // The storage is owned by its references; the last one frees it.
        delete this;
    }
}

TViewItemStorage* TViewStorage::AddItem() {
    FItems.push_back(std::make_unique<TViewItemStorage>());
    return FItems.back().get();
}

void TViewStorage::Organize() {
    std::sort(FItems.begin(), FItems.end(),
              [](const auto& A, const auto& B) { return A->MediaId() < B->MediaId(); });
}

bool TViewStorage::Find(quint32 MID, TViewItemStorage*& Item) const {
    Item = nullptr;
    size_t L = 0;
    size_t H = FItems.size();
    // Left-most match, so that duplicates are found at their first entry.
    while (L < H) {
        const size_t I = L + (H - L) / 2;
        if (FItems[I]->MediaId() < MID) {
            L = I + 1;
        } else {
            H = I;
        }
    }
    if (L < FItems.size() && FItems[L]->MediaId() == MID) {
        Item = FItems[L].get();
        return true;
    }
    return false;
}

void TViewStorage::Clear() {
    FItems.clear();
    FMedia = 0;
    FUser.clear();
    FSessionID.clear();
    FItemCount = 0;
    FTop = 0;
    FHot = -1;
}

TViewItemStorage* TViewStorage::Items(int Index) const {
    if (Index < 0 || Index >= Count()) {
        return nullptr;
    }
    return FItems[size_t(Index)].get();
}

TViewStorageRef TViewStorageRef::Share(TViewStorage* Storage) {
    if (Storage != nullptr) {
        Storage->AddRef();
    }
    return TViewStorageRef(Storage);
}

TViewStorageRef::TViewStorageRef(const TViewStorageRef& Other) : FStorage(Other.FStorage) {
    if (FStorage != nullptr) {
        FStorage->AddRef();
    }
}

TViewStorageRef& TViewStorageRef::operator=(const TViewStorageRef& Other) {
    if (this != &Other) {
        TViewStorageRef Copy(Other);
        std::swap(FStorage, Copy.FStorage);
    }
    return *this;
}

TViewStorageRef& TViewStorageRef::operator=(TViewStorageRef&& Other) noexcept {
    if (this != &Other) {
        reset();
        FStorage = std::exchange(Other.FStorage, nullptr);
    }
    return *this;
}

TViewStorageRef::~TViewStorageRef() {
    reset();
}

void TViewStorageRef::reset() {
    if (TViewStorage* Storage = std::exchange(FStorage, nullptr)) {
        Storage->Release();
    }
}
