// The condition list of the query builder: each condition is one
// sentence-like line, drawn in runs (caption, value, bracket, operator),
// whose value and operator the operator clicks. The list widget is the
// list box the query talks to (IConditionList).
#pragma once

#include "ConditionList.h"
#include "Conditions.h"

#include <QAbstractListModel>
#include <QColor>
#include <QFont>
#include <QList>
#include <QListView>
#include <QRect>
#include <QString>
#include <QStyledItemDelegate>

#include <functional>

class QMimeData;
class TVQQuery;

// What a drag between the builder's two lists carries.
inline constexpr const char* UsersMimeType = "application/x-vqviewer-users";
inline constexpr const char* ParticipantMimeType = "application/x-vqviewer-participant";

// One run of a line: its text, how it is drawn, and where.
struct TLineRun {
    enum TPart { rpIndent, rpCaption, rpSeparator, rpValue, rpBracket, rpOperator };
    TPart Part = rpIndent;
    QString Text;
    QFont Font;
    QColor Colour;
    // Drawn on silver while the line is selected.
    bool Highlighted = false;
    QRect Rect;
};

struct TLineLayout {
    QList<TLineRun> Runs;
    // The line is drawn as faulty (grey caption, struck-out red value).
    bool InError = false;
    QRect CaptionRect;
    QRect ValueRect;
    QRect OperatorRect;
    int Width = 0;

    // The line as a person reads it.
    QString Sentence() const;
};

// Lays out line Row of Query from the left edge of LineRect in the list's
// font. Selected lines highlight their caption, value and bracket runs.
TLineLayout LayOutLine(const TVQQuery& Query, int Row, const QRect& LineRect, const QFont& Base,
                       bool Selected);

// The lines as a model: as many rows as the query last told its list box,
// each with its sentence as text.
class TQueryLinesModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit TQueryLinesModel(QObject* Parent);

    void SetQuery(TVQQuery* Query);
    TVQQuery* Query() const { return FQuery; }
    int Count() const { return FCount; }
    void SetCount(int Value);
    // Every line may have changed.
    void Refresh();

    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;

private:
    TVQQuery* FQuery = nullptr;
    int FCount = 0;
};

// Draws a line's runs and keeps the condition's three rectangles for hit
// testing.
class TQueryLineDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    TQueryLineDelegate(TQueryLinesModel* Model, QObject* Parent);

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option,
               const QModelIndex& Index) const override;
    QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex& Index) const override;

    // The height of every line.
    static int LineHeight(const QFont& Font);

private:
    TQueryLinesModel* FModel;
};

class TQueryListBox : public QListView, public IConditionList {
    Q_OBJECT
public:
    static constexpr int ItemHeight = 18;

    explicit TQueryListBox(QWidget* Parent);

    void SetQuery(TVQQuery* Query);
    TVQQuery* Query() const { return FModel->Query(); }
    TQueryLinesModel* LinesModel() const { return FModel; }

    // IConditionList
    int ItemCount() const override;
    void SetItemCount(int Value) override;
    int ItemIndex() const override;
    void SetItemIndex(int Value) override;
    void Repaint() override;
    int ItemAtPos(const QPoint& Point) const override;

    // Lays out line Row as it is drawn now and stores its rectangles in
    // its condition, so that hits are tested against what the operator
    // sees even before the next paint.
    void UpdateLineRects(int Row) const;
    // The part of a line under a point of the list, with the line.
    TConditionHitTest HitAt(const QPoint& Point, int& Row) const;

    // The owner's reactions. A left button press on a line (after it was
    // selected), with the part hit and the point on the screen.
    std::function<void(int Row, TConditionHitTest Hit, const QPoint& ScreenPos)> OnLineMouseDown;
    // Space on the list.
    std::function<void()> OnSpace;
    // Whether a drag may be dropped here, and the drop on line Row.
    std::function<bool(const QMimeData* Data)> OnAcceptDrop;
    std::function<void(const QMimeData* Data, int Row)> OnDrop;

protected:
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dragMoveEvent(QDragMoveEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

private:
    void LineMouseDown(QMouseEvent* Event);
    void StartParticipantDrag();

    TQueryLinesModel* FModel;
    int FDragRow = -1;
    QPoint FDragStart;
};
