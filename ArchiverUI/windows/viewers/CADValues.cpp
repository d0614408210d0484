#include "CADValues.h"

TCADModel::TCADModel(QObject* Owner) : QAbstractTableModel(Owner) {}

void TCADModel::Clear() {
    if (FItems.isEmpty())
        return;
    beginResetModel();
    FItems.clear();
    endResetModel();
}

void TCADModel::Append(const QList<TCADItem>& Items) {
    if (Items.isEmpty())
        return;
    const int First = static_cast<int>(FItems.size());
    beginInsertRows({}, First, First + static_cast<int>(Items.size()) - 1);
    FItems.append(Items);
    endInsertRows();
}

int TCADModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FItems.size());
}

int TCADModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : 3;
}

QVariant TCADModel::data(const QModelIndex& Index, int Role) const {
    if (!checkIndex(Index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    if (Role != Qt::DisplayRole && Role != Qt::ToolTipRole && Role != Qt::AccessibleTextRole)
        return {};
    const TCADItem& Item = FItems.at(Index.row());
    switch (Index.column()) {
    case 0:
        return Item.Name;
    case 1:
        return Item.Value;
    default:
        return Item.Description;
    }
}

QVariant TCADModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole || Section < 0 || Section > 2)
        return {};
    static const char* const Titles[] = {"Name", "Value", "Description"};
    return QString::fromLatin1(Titles[Section]);
}
