// The archive's users, groups and agents as the query builder offers them.
// One program-wide list, created at start-up and kept between dialogs so that
// opening the builder again does not reload it.
#pragma once

#include "Conditions.h"

#include <QList>
#include <QString>
#include <QtGlobal>

#include <memory>
#include <vector>

class TUserData {
public:
    TUserData(const QString& AName, qint32 AGroupId, qint32 AUserId)
        : FUserID(AUserId), FGroupID(AGroupId), FName(AName) {}

    qint32 UserID() const { return FUserID; }
    qint32 GroupID() const { return FGroupID; }
    const QString& Name() const { return FName; }

    TUserKind Kind() const;
    // The user id, the group id, or user id * 2^32 + group id for an agent.
    quint64 ID() const;

private:
    qint32 FUserID;
    qint32 FGroupID;
    QString FName;
};

class TUserList {
public:
    void AddUser(const QString& AName, qint32 AGroupId, qint32 AUserId);
    void Clear();
    // Keeps the entries whose lower-cased name contains the lower-cased
    // filter (all of them for an empty filter), in list order.
    void ApplyFilter(const QString& AFilter);
    const TUserData* GetVisibleItem(int AIndex) const;
    int VisibleCount() const { return static_cast<int>(FVisibleItems.size()); }
    int Count() const { return static_cast<int>(FList.size()); }
    const QString& Filter() const { return FFilter; }

private:
    bool Passes(const TUserData& AItem) const;

    std::vector<std::unique_ptr<TUserData>> FList;
    QList<const TUserData*> FVisibleItems;
    QString FFilter;
    QString FLowerFilter;
};

// The program-wide instance; null before start-up step 3 and after shutdown.
extern TUserList* UserList;
