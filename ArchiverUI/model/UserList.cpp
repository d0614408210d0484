#include "UserList.h"

TUserList* UserList = nullptr;

TUserKind TUserData::Kind() const {
    if (FUserID > 0 && FGroupID == 0)
        return ukUser;
    if (FUserID == 0 && FGroupID > 0)
        return ukGroup;
    if (FUserID > 0 && FGroupID > 0)
        return ukUserGroup;
    if (FUserID == 0 && FGroupID == 0)
        return ukExternalAddress;
    return ukError;
}

quint64 TUserData::ID() const {
    switch (Kind()) {
    case ukUser:
        return static_cast<quint64>(FUserID);
    case ukGroup:
        return static_cast<quint64>(FGroupID);
    case ukUserGroup:
        return (static_cast<quint64>(FUserID) << 32) | static_cast<quint64>(FGroupID);
    default:
        return 0;
    }
}

bool TUserList::Passes(const TUserData& AItem) const {
    return FLowerFilter.isEmpty() || AItem.Name().toLower().contains(FLowerFilter);
}

void TUserList::AddUser(const QString& AName, qint32 AGroupId, qint32 AUserId) {
    FList.push_back(std::make_unique<TUserData>(AName, AGroupId, AUserId));
    if (Passes(*FList.back()))
        FVisibleItems.append(FList.back().get());
}

void TUserList::Clear() {
    FVisibleItems.clear();
    FList.clear();
}

void TUserList::ApplyFilter(const QString& AFilter) {
    FFilter = AFilter;
    FLowerFilter = AFilter.toLower();
    FVisibleItems.clear();
    for (const auto& Item : FList)
        if (Passes(*Item))
            FVisibleItems.append(Item.get());
}

const TUserData* TUserList::GetVisibleItem(int AIndex) const {
    if (AIndex < 0 || AIndex >= FVisibleItems.size())
        return nullptr;
    return FVisibleItems.at(AIndex);
}
