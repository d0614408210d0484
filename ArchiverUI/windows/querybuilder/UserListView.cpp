#include "UserListView.h"

#include "CommonData.h"
#include "QueryLines.h"
#include "UserList.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>

#include <algorithm>

TUserListModel::TUserListModel(QObject* Parent) : QAbstractListModel(Parent) {}

void TUserListModel::SetList(TUserList* List) {
    beginResetModel();
    FList = List;
    FCount = 0;
    endResetModel();
}

void TUserListModel::SetCount(int Value) {
    Value = std::max(Value, 0);
    if (Value > FCount) {
        beginInsertRows(QModelIndex(), FCount, Value - 1);
        FCount = Value;
        endInsertRows();
    } else if (Value < FCount) {
        Reset(Value);
    }
}

void TUserListModel::Reset(int Value) {
    beginResetModel();
    FCount = std::max(Value, 0);
    endResetModel();
}

const TUserData* TUserListModel::Entry(int Row) const {
    if (FList == nullptr || Row < 0 || Row >= FCount)
        return nullptr;
    return FList->GetVisibleItem(Row);
}

int TUserListModel::ImageIndex(const TUserData& Entry) {
    switch (Entry.Kind()) {
    case ukUser:
    case ukUserGroup:
        return 3;
    case ukGroup:
        return 4;
    case ukExternalAddress:
        return 5;
    default:
        return -1;
    }
}

int TUserListModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : FCount;
}

QVariant TUserListModel::data(const QModelIndex& Index, int Role) const {
    const TUserData* Item = Index.isValid() ? Entry(Index.row()) : nullptr;
    if (Item == nullptr)
        return {};
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return Item->Name();
    case Qt::DecorationRole: {
        const int Image = ImageIndex(*Item);
        if (Image < 0 || CommonData == nullptr)
            return {};
        return CommonData->ListViewImages.Icon(Image);
    }
    default:
        return {};
    }
}

QVariant TUserListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Section == 0 && Orientation == Qt::Horizontal && Role == Qt::DisplayRole)
        return QStringLiteral("User list");
    return {};
}

Qt::ItemFlags TUserListModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled |
           Qt::ItemNeverHasChildren;
}

QStringList TUserListModel::mimeTypes() const {
    return {QString::fromLatin1(UsersMimeType)};
}

QMimeData* TUserListModel::mimeData(const QModelIndexList& Indexes) const {
    QStringList Rows;
    for (const QModelIndex& Index : Indexes)
        if (Index.isValid())
            Rows.append(QString::number(Index.row()));
    auto* Data = new QMimeData;
    Data->setData(QString::fromLatin1(UsersMimeType), Rows.join(QLatin1Char(',')).toLatin1());
    return Data;
}

Qt::DropActions TUserListModel::supportedDragActions() const {
    return Qt::CopyAction;
}

TUserListView::TUserListView(QWidget* Parent) : QTreeView(Parent) {
    setObjectName(QStringLiteral("lvUsers"));
    setAccessibleName(QStringLiteral("User list"));
    FModel = new TUserListModel(this);
    setModel(FModel);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::CopyAction);
    header()->setStretchLastSection(true);
    header()->setSectionsClickable(false);
}

QList<const TUserData*> TUserListView::SelectedEntries() const {
    QList<int> Rows;
    for (const QModelIndex& Index : selectionModel()->selectedRows())
        Rows.append(Index.row());
    std::sort(Rows.begin(), Rows.end());
    QList<const TUserData*> Result;
    for (int Row : Rows)
        if (const TUserData* Entry = FModel->Entry(Row))
            Result.append(Entry);
    return Result;
}

int TUserListView::SelectedCount() const {
    return int(selectionModel()->selectedRows().size());
}

void TUserListView::dragEnterEvent(QDragEnterEvent* Event) {
    if (OnAcceptDrop && OnAcceptDrop(Event->mimeData()))
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TUserListView::dragMoveEvent(QDragMoveEvent* Event) {
    if (OnAcceptDrop && OnAcceptDrop(Event->mimeData()))
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TUserListView::dropEvent(QDropEvent* Event) {
    if (!OnAcceptDrop || !OnAcceptDrop(Event->mimeData())) {
        Event->ignore();
        return;
    }
    Event->acceptProposedAction();
    if (OnDrop)
        OnDrop(Event->mimeData());
}
