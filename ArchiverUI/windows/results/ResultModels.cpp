#include "ResultModels.h"

#include "CommonData.h"
#include "LocalTime.h"

#include <QBrush>
#include <QCollator>
#include <QColor>
#include <QPainter>

#include <algorithm>

// ---------------------------------------------------------------------------
// TResultListModel

TResultListModel::TResultListModel(const TResultListState& State, QObject* Parent)
    : QAbstractTableModel(Parent), FState(State) {
    FUnderlined.setUnderline(true);
}

QString TResultListModel::ColumnCaption(int Column) {
    switch (Column) {
    case colDateTime:
        return QStringLiteral("Date and time");
    case colParticipants:
        return QStringLiteral("Participants");
    case colGCID:
        return QStringLiteral("Global Call ID");
    default:
        return QString();
    }
}

int TResultListModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : FRowCount;
}

int TResultListModel::columnCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : ColumnCount;
}

Qt::ItemFlags TResultListModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QVariant TResultListModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || Index.parent().isValid() || Index.row() >= FRowCount ||
        size_t(Index.row()) >= FState.Visible->size() || Index.column() >= ColumnCount)
        return QVariant();
    const int Row = int((*FState.Visible)[size_t(Index.row())]);
    const TViewItemList& Items = *FState.Items;
    const TViewItem& Item = Items[Row];
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (Index.column()) {
        case colDateTime:
            return Role == Qt::DisplayRole ? QVariant(Items.DateTimeStr(Row)) : QVariant();
        case colParticipants:
            return Items.Participants(Row);
        default:
            return Items.GCID(Row);
        }
    case Qt::AccessibleTextRole:
        switch (Index.column()) {
        case colDateTime: {
            QString Text = Items.DateTimeStr(Row) + QStringLiteral(", ") +
                           QLatin1String(MediaTypeStrings[Item.FMediaType]);
            if (Item.Marked())
                Text += QStringLiteral(", marked");
            return Text;
        }
        case colParticipants:
            return Items.Participants(Row).trimmed();
        default:
            return Items.GCID(Row);
        }
    case Qt::DecorationRole:
        if (Index.column() == colDateTime)
            return RowImage(Item.Marked(), Item.MediaType());
        return QVariant();
    case Qt::BackgroundRole:
        if (Index.row() % 2 == 1 && !Item.Selected())
            return QBrush(QColor::fromRgb(AlternateColor));
        return QVariant();
    case Qt::FontRole:
        if (*FState.SelCount < 2 && !FState.SessionID->isEmpty() &&
            Items.SessionID(Row) == *FState.SessionID)
            return FUnderlined;
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant TResultListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation != Qt::Horizontal || Section < 0 || Section >= ColumnCount)
        return QAbstractTableModel::headerData(Section, Orientation, Role);
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return ColumnCaption(Section);
    case Qt::DecorationRole:
        if (Section == *FState.SortColumn)
            return FSortImages[*FState.SortAscending ? 1 : 0];
        return QVariant();
    case Qt::ToolTipRole:
        // The list's times are local: say which zone they are in.
        if (Section == colDateTime)
            return ZoneCaption();
        return QVariant();
    case Qt::AccessibleDescriptionRole:
        if (Section == *FState.SortColumn)
            return *FState.SortAscending ? QStringLiteral("sorted ascending")
                                         : QStringLiteral("sorted descending");
        return QVariant();
    default:
        return QVariant();
    }
}

void TResultListModel::SetRowCount(int Value) {
    if (FResetting) {
        FRowCount = Value;
        return;
    }
    if (Value == FRowCount)
        return;
    if (Value > FRowCount) {
        beginInsertRows(QModelIndex(), FRowCount, Value - 1);
        FRowCount = Value;
        endInsertRows();
    } else {
        beginRemoveRows(QModelIndex(), Value, FRowCount - 1);
        FRowCount = Value;
        endRemoveRows();
    }
}

void TResultListModel::BeginReset() {
    if (FResetting)
        return;
    FResetting = true;
    beginResetModel();
}

void TResultListModel::EndReset() {
    if (!FResetting)
        return;
    FRowCount = qMin<int>(FRowCount, int(FState.Visible->size()));
    FResetting = false;
    endResetModel();
}

void TResultListModel::SortChanged() {
    emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

void TResultListModel::SetImages(const QPixmap& Mark, const TImageList* Media,
                                 const QPixmap& SortDown, const QPixmap& SortUp) {
    // One picture a combination: the state image beside the media image.
    for (int Marked = 0; Marked < 2; ++Marked)
        for (int Type = 0; Type < 8; ++Type) {
            QPixmap Image(ImageWidth, ImageHeight);
            Image.fill(Qt::transparent);
            QPainter Canvas(&Image);
            if (Marked != 0 && !Mark.isNull())
                Canvas.drawPixmap(0, 0, Mark);
            if (Media != nullptr)
                Canvas.drawPixmap(ImageWidth - Media->Width(), 0,
                                  Media->Pixmap(MediaImageOf(Type)));
            FRowImages[Marked][Type] = Image;
        }
    FSortImages[0] = SortDown;
    FSortImages[1] = SortUp;
    SortChanged();
}

QPixmap TResultListModel::RowImage(bool Marked, int MediaType) const {
    return FRowImages[Marked ? 1 : 0][qBound(0, MediaType, 7)];
}

// ---------------------------------------------------------------------------
// TViewTreeModel

int TViewNode::Row() const {
    if (Parent == nullptr)
        return -1;
    for (size_t I = 0; I < Parent->Children.size(); ++I)
        if (Parent->Children[I].get() == this)
            return int(I);
    return -1;
}

TViewTreeModel::TViewTreeModel(QObject* Parent) : QAbstractItemModel(Parent) {}

TViewTreeModel::~TViewTreeModel() = default;

TViewNode* TViewTreeModel::Node(const QModelIndex& Index) const {
    if (!Index.isValid() || Index.model() != this)
        return nullptr;
    return static_cast<TViewNode*>(Index.internalPointer());
}

QModelIndex TViewTreeModel::index(int Row, int Column, const QModelIndex& Parent) const {
    if (Column != 0 || Row < 0)
        return QModelIndex();
    if (!Parent.isValid()) {
        if (size_t(Row) >= FRoots.size())
            return QModelIndex();
        return createIndex(Row, 0, FRoots[size_t(Row)].get());
    }
    const TViewNode* P = Node(Parent);
    if (P == nullptr || size_t(Row) >= P->Children.size())
        return QModelIndex();
    return createIndex(Row, 0, P->Children[size_t(Row)].get());
}

QModelIndex TViewTreeModel::IndexOf(const TViewNode* N) const {
    if (N == nullptr)
        return QModelIndex();
    if (N->Parent == nullptr) {
        for (size_t I = 0; I < FRoots.size(); ++I)
            if (FRoots[I].get() == N)
                return createIndex(int(I), 0, const_cast<TViewNode*>(N));
        return QModelIndex();
    }
    return createIndex(N->Row(), 0, const_cast<TViewNode*>(N));
}

QModelIndex TViewTreeModel::parent(const QModelIndex& Index) const {
    const TViewNode* N = Node(Index);
    if (N == nullptr || N->Parent == nullptr)
        return QModelIndex();
    return IndexOf(N->Parent);
}

int TViewTreeModel::rowCount(const QModelIndex& Parent) const {
    if (!Parent.isValid())
        return int(FRoots.size());
    if (Parent.column() != 0)
        return 0;
    const TViewNode* P = Node(Parent);
    return P != nullptr ? int(P->Children.size()) : 0;
}

int TViewTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

Qt::ItemFlags TViewTreeModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant TViewTreeModel::data(const QModelIndex& Index, int Role) const {
    const TViewNode* N = Node(Index);
    if (N == nullptr)
        return QVariant();
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole:
        return N->Text;
    case Qt::DecorationRole:
        return FImages != nullptr ? QVariant(FImages->Icon(N->ImageIndex)) : QVariant();
    default:
        return QVariant();
    }
}

void TViewTreeModel::Clear() {
    if (FRoots.empty())
        return;
    beginResetModel();
    FRoots.clear();
    endResetModel();
}

TViewNode* TViewTreeModel::Add(TViewNode* Parent, const QString& Text, int ImageIndex,
                               TAQCondition* Data) {
    auto Node = std::make_unique<TViewNode>();
    Node->Text = Text;
    Node->ImageIndex = ImageIndex;
    Node->Data = Data;
    Node->Parent = Parent;
    std::vector<std::unique_ptr<TViewNode>>& Level = Parent != nullptr ? Parent->Children : FRoots;
    QCollator Collator;
    Collator.setCaseSensitivity(Qt::CaseInsensitive);
    // After the nodes of equal text, so that equal texts keep their order.
    const auto At = std::upper_bound(Level.begin(), Level.end(), Text,
                                     [&](const QString& T, const std::unique_ptr<TViewNode>& N) {
                                         return Collator.compare(T, N->Text) < 0;
                                     });
    const int Row = int(At - Level.begin());
    beginInsertRows(IndexOf(Parent), Row, Row);
    TViewNode* Added = Node.get();
    Level.insert(Level.begin() + Row, std::move(Node));
    endInsertRows();
    return Added;
}

std::vector<TViewNode*> TViewTreeModel::Nodes() const {
    std::vector<TViewNode*> Result;
    std::vector<TViewNode*> Pending;
    for (auto It = FRoots.rbegin(); It != FRoots.rend(); ++It)
        Pending.push_back(It->get());
    while (!Pending.empty()) {
        TViewNode* N = Pending.back();
        Pending.pop_back();
        Result.push_back(N);
        for (auto It = N->Children.rbegin(); It != N->Children.rend(); ++It)
            Pending.push_back(It->get());
    }
    return Result;
}
