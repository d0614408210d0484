// The models behind a result window's two views: the list of visible rows
// (lvResults) and the tree of views (TreeView1). The list model owns no
// rows: its row i is the window's visible row i, and every text is computed
// when the view asks for it, so that a hundred thousand records cost the
// view nothing but a row count.
#pragma once

#include "ViewItem.h"

#include <QAbstractItemModel>
#include <QAbstractTableModel>
#include <QFont>
#include <QPixmap>
#include <QString>

#include <memory>
#include <vector>

class TImageList;

// What the list shows besides the rows, owned by the window.
struct TResultListState {
    const TViewItemList* Items = nullptr;
    const std::vector<quint32>* Visible = nullptr;
    // The current row's session: its rows are underlined.
    const QString* SessionID = nullptr;
    const int* SelCount = nullptr;
    const int* SortColumn = nullptr;
    const bool* SortAscending = nullptr;
};

class TResultListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn { colDateTime = 0, colParticipants = 1, colGCID = 2, ColumnCount = 3 };
    // Shading of every other row that is not selected.
    static constexpr QRgb AlternateColor = 0xFFF5F4F7;

    TResultListModel(const TResultListState& State, QObject* Parent);

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation,
                        int Role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;

    // The row count the list shows; rows are only ever appended this way.
    int RowCount() const { return FRowCount; }
    void SetRowCount(int Value);
    // Around a change of the whole visible list (filter, sort, new query).
    void BeginReset();
    void EndReset();
    // The header's sort image follows SortColumn and SortAscending.
    void SortChanged();

    // The row images: the mark (state image 0) and the media images; the
    // header's two sort images, descending first.
    void SetImages(const QPixmap& Mark, const TImageList* Media, const QPixmap& SortDown,
                   const QPixmap& SortUp);
    // Width of the row image: the state image and the media image.
    static constexpr int ImageWidth = 42;
    static constexpr int ImageHeight = 20;

    static QString ColumnCaption(int Column);

private:
    QPixmap RowImage(bool Marked, int MediaType) const;

    TResultListState FState;
    int FRowCount = 0;
    bool FResetting = false;
    QPixmap FRowImages[2][8];
    QPixmap FSortImages[2];
    QFont FUnderlined;
};

// One node of the tree of views.
struct TViewNode {
    QString Text;
    int ImageIndex = 0;
    // The condition whose view this node shows, or none.
    TAQCondition* Data = nullptr;
    TViewNode* Parent = nullptr;
    std::vector<std::unique_ptr<TViewNode>> Children;

    int Row() const;
};

// The tree of views: each level kept in the order of its texts.
class TViewTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit TViewTreeModel(QObject* Parent);
    ~TViewTreeModel() override;

    QModelIndex index(int Row, int Column,
                      const QModelIndex& Parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex& Index) const override;
    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;

    void Clear();
    // Adds a node under Parent (none: a top node) at its place in text order.
    TViewNode* Add(TViewNode* Parent, const QString& Text, int ImageIndex, TAQCondition* Data);
    TViewNode* Node(const QModelIndex& Index) const;
    QModelIndex IndexOf(const TViewNode* Node) const;
    // Every node, parents before their children.
    std::vector<TViewNode*> Nodes() const;
    int TopCount() const { return int(FRoots.size()); }

    void SetImages(const TImageList* Images) { FImages = Images; }

private:
    std::vector<std::unique_ptr<TViewNode>> FRoots;
    const TImageList* FImages = nullptr;
};
