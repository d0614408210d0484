// The query builder's list of the archive's users, groups and agents: a
// virtual list over the entries of the shared user list that pass the
// filter, so that thousands of names stay quick to show and to filter.
#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QTreeView>

#include <functional>

class QMimeData;
class TUserData;
class TUserList;

class TUserListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TUserListModel(QObject* Parent);

    // The list shown; none shows nothing.
    void SetList(TUserList* List);
    TUserList* List() const { return FList; }
    // The number of rows the view shows. More rows than before are added at
    // the end (entries arrive in batches); fewer start the view anew.
    void SetCount(int Value);
    int Count() const { return FCount; }
    // The entries changed as a whole (filtered or emptied).
    void Reset(int Value);

    // The entry shown in Row, or none.
    const TUserData* Entry(int Row) const;

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation,
                        int Role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& Indexes) const override;
    Qt::DropActions supportedDragActions() const override;

    // The image of an entry in the shared list view images: 3 users and
    // agents, 4 groups, 5 external addresses, -1 none.
    static int ImageIndex(const TUserData& Entry);

private:
    TUserList* FList = nullptr;
    int FCount = 0;
};

class TUserListView : public QTreeView {
    Q_OBJECT
public:
    explicit TUserListView(QWidget* Parent);

    TUserListModel* UsersModel() const { return FModel; }
    // The selected entries, in list order.
    QList<const TUserData*> SelectedEntries() const;
    int SelectedCount() const;

    // Whether a participant dragged from the condition list may be dropped
    // here, and the drop (which removes it from the query).
    std::function<bool(const QMimeData* Data)> OnAcceptDrop;
    std::function<void(const QMimeData* Data)> OnDrop;

protected:
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dragMoveEvent(QDragMoveEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

private:
    TUserListModel* FModel;
};
