// The remembered state of one view of a result window: which records were
// selected and marked, the scroll position and the focused row. A storage is
// shared between a query condition and the window that shows it, and lives
// as long as either holds a reference.
#pragma once

#include <QString>
#include <QtGlobal>
#include <memory>
#include <utility>
#include <vector>

class TViewItemStorage {
public:
    bool Selected() const { return FSelected; }
    void SetSelected(bool Value) { FSelected = Value; }
    bool Marked() const { return FMarked; }
    void SetMarked(bool Value) { FMarked = Value; }
    quint32 MediaId() const { return FMediaID; }
    void SetMediaId(quint32 Value) { FMediaID = Value; }

private:
    bool FSelected = false;
    bool FMarked = false;
    quint32 FMediaID = 0;
};

class TViewStorage {
public:
    // A new storage holds one reference, owned by the caller.
    static TViewStorage* Create();

    TViewStorage(const TViewStorage&) = delete;
    TViewStorage& operator=(const TViewStorage&) = delete;

    void AddRef();
    // Drops one reference; the storage frees itself with the last one.
    void Release();
    int RefCount() const { return FRefCount; }

    TViewItemStorage* AddItem();
    // Orders the entries by record id, so that Find can search them.
    void Organize();
    // Binary search by record id; valid after Organize.
    bool Find(quint32 MID, TViewItemStorage*& Item) const;
    void Clear();
    bool IsEmpty() const { return FMedia == 0; }

    int Count() const { return int(FItems.size()); }
    TViewItemStorage* Items(int Index) const;

    int Media() const { return FMedia; }
    void SetMedia(int Value) { FMedia = Value; }
    const QString& User() const { return FUser; }
    void SetUser(const QString& Value) { FUser = Value; }
    const QString& SessionID() const { return FSessionID; }
    void SetSessionID(const QString& Value) { FSessionID = Value; }
    int Top() const { return FTop; }
    void SetTop(int Value) { FTop = Value; }
    int ItemCount() const { return FItemCount; }
    void SetItemCount(int Value) { FItemCount = Value; }
    int Hot() const { return FHot; }
    void SetHot(int Value) { FHot = Value; }

private:
    TViewStorage() = default;
    ~TViewStorage() = default;

    std::vector<std::unique_ptr<TViewItemStorage>> FItems;
    int FMedia = 0;
    QString FUser;
    QString FSessionID;
    int FTop = 0;
    int FRefCount = 1;
    int FItemCount = 0;
    int FHot = -1;
};

// One counted reference to a view storage, released when the holder goes.
class TViewStorageRef {
public:
    TViewStorageRef() = default;
    // Takes over a reference the caller already holds (as from Create).
    static TViewStorageRef Adopt(TViewStorage* Storage) { return TViewStorageRef(Storage); }
    // Adds a reference of its own.
    static TViewStorageRef Share(TViewStorage* Storage);

    TViewStorageRef(const TViewStorageRef& Other);
    TViewStorageRef& operator=(const TViewStorageRef& Other);
    TViewStorageRef(TViewStorageRef&& Other) noexcept
        : FStorage(std::exchange(Other.FStorage, nullptr)) {}
    TViewStorageRef& operator=(TViewStorageRef&& Other) noexcept;
    ~TViewStorageRef();

    TViewStorage* get() const { return FStorage; }
    TViewStorage* operator->() const { return FStorage; }
    explicit operator bool() const { return FStorage != nullptr; }
    void reset();

private:
    explicit TViewStorageRef(TViewStorage* Storage) : FStorage(Storage) {}
    TViewStorage* FStorage = nullptr;
};
