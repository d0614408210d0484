#include "ResultListView.h"

#include "ResultModels.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyle>

TResultListView::TResultListView(QWidget* Parent) : QTableView(Parent) {
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setIconSize(QSize(TResultListModel::ImageWidth, TResultListModel::ImageHeight));
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setContextMenuPolicy(Qt::NoContextMenu);
    setTabKeyNavigation(false);
    verticalHeader()->hide();
    // Every row the same height: the view then never measures rows.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(
        qMax(TResultListModel::ImageHeight + 2, fontMetrics().height() + 4));
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setSectionsClickable(true);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

int TResultListView::StateImageRowAt(const QPoint& Point) const {
    const QModelIndex Index = indexAt(Point);
    if (!Index.isValid() || Index.column() != TResultListModel::colDateTime)
        return -1;
    QStyleOptionViewItem Option;
    initViewItemOption(&Option);
    Option.rect = visualRect(Index);
    Option.features |= QStyleOptionViewItem::HasDecoration;
    Option.decorationSize = iconSize();
    Option.icon = QIcon(Index.data(Qt::DecorationRole).value<QPixmap>());
    Option.text = Index.data(Qt::DisplayRole).toString();
    Option.features |= QStyleOptionViewItem::HasDisplay;
    const QRect Decoration =
        style()->subElementRect(QStyle::SE_ItemViewItemDecoration, &Option, this);
    // The state image is the left part of the row image.
    const QRect State(Decoration.left(), Decoration.top(),
                      TResultListModel::ImageWidth - TResultListModel::ImageHeight - 2,
                      Decoration.height());
    return State.contains(Point) ? Index.row() : -1;
}

int TResultListView::TopRow() const {
    const int Row = rowAt(0);
    return Row >= 0 ? Row : 0;
}

int TResultListView::VisibleRowCount() const {
    const int Height = verticalHeader()->defaultSectionSize();
    return Height > 0 ? viewport()->height() / Height : 0;
}

void TResultListView::SetTopRow(int Row) {
    if (model() == nullptr || Row < 0 || Row >= model()->rowCount())
        return;
    scrollTo(model()->index(Row, 0), QAbstractItemView::PositionAtTop);
}

void TResultListView::mousePressEvent(QMouseEvent* Event) {
    QTableView::mousePressEvent(Event);
    if (OnMouseDown)
        OnMouseDown(Event);
}

void TResultListView::mouseReleaseEvent(QMouseEvent* Event) {
    QTableView::mouseReleaseEvent(Event);
    if (OnMouseUp)
        OnMouseUp(Event);
}

void TResultListView::mouseDoubleClickEvent(QMouseEvent* Event) {
    QTableView::mouseDoubleClickEvent(Event);
    if (OnDoubleClick)
        OnDoubleClick(Event);
}

bool TResultListView::event(QEvent* Event) {
    // Ctrl+A is the window's "Select all", which marks too: the key comes
    // here rather than to any shortcut.
    if (Event->type() == QEvent::ShortcutOverride &&
        static_cast<QKeyEvent*>(Event)->matches(QKeySequence::SelectAll)) {
        Event->accept();
        return true;
    }
    return QTableView::event(Event);
}

void TResultListView::keyPressEvent(QKeyEvent* Event) {
    if (OnKeyDown && OnKeyDown(Event)) {
        Event->accept();
        return;
    }
    QTableView::keyPressEvent(Event);
}

void TResultListView::keyReleaseEvent(QKeyEvent* Event) {
    QTableView::keyReleaseEvent(Event);
    if (OnKeyUp)
        OnKeyUp(Event);
}

void TResultListView::focusInEvent(QFocusEvent* Event) {
    QTableView::focusInEvent(Event);
    viewport()->update();
}

void TResultListView::focusOutEvent(QFocusEvent* Event) {
    QTableView::focusOutEvent(Event);
    viewport()->update();
}
