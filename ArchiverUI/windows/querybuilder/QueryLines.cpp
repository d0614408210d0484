#include "QueryLines.h"

#include "VQQuery.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QStyle>

#include <algorithm>
#include <exception>

namespace {

// A file may give any indentation; beyond this many blanks a line shows
// nothing more of use.
constexpr quint32 MaxIndent = 255;
constexpr int LineMargin = 2;

const QColor SelectedBackground(192, 192, 192);
const QColor ErrorCaptionColour(128, 128, 128);

constexpr TConditionKinds KindsDrawnInError = KindSet({ckLabel, ckValue, ckTimeSpan, ckTimeFrame});
constexpr TConditionKinds KindsAfterMedia =
    KindSet({ckValue, ckParticipants, ckTimeSpan, ckTimeFrame, ckGCID, ckCAD});
constexpr TConditionKinds SpanFrameAndId = KindSet({ckTimeSpan, ckTimeFrame, ckGCID});

// The media captions carry a doubled "&" (they are menu captions too); a
// line shows it once.
QString ShownCaption(const QString& Caption) {
    QString Result = Caption;
    Result.replace(QLatin1String("&&"), QLatin1String("&"));
    return Result;
}

QString CaptionText(const TVQQuery& Query, int Row, const TAQCondition& Condition) {
    QString Caption = ShownCaption(Condition.Caption());
    const TConditionKind Kind = Condition.Kind();
    const TAQCondition* Next = Query.GetCondition(Row + 1);
    if (InKinds(MediaKinds, Kind)) {
        if (Next != nullptr && InKinds(MediaKinds, Next->Kind()))
            Caption += QLatin1Char(',');
        else if (Query.KindExists(KindsAfterMedia, Condition.CIDQueryID()))
            Caption += QLatin1String(", where");
        else
            Caption += QLatin1Char('.');
    } else if (Kind == ckValue) {
        if (Condition.LeftBracket())
            Caption.prepend(QLatin1String("( "));
    } else if (Kind == ckParticipants) {
        Caption += QLatin1String(": ");
    } else if (Kind >= ckTimeSpan && Kind <= ckCAD) {
        Caption += QLatin1String(": ");
        if (InKinds(SpanFrameAndId, Kind)) {
            for (int I = 0; I < Row; ++I) {
                const TAQCondition* Earlier = Query.GetCondition(I);
                if (Earlier->CIDQueryID() == Condition.CIDQueryID() &&
                    InKinds(SpanFrameAndId, Earlier->Kind())) {
                    Caption.prepend(QLatin1String("and "));
                    break;
                }
            }
        }
    }
    return Caption;
}

// The value text; a date that cannot be shown (from a damaged file) must
// not stop the list from drawing.
QString ValueText(const TAQCondition& Condition) {
    try {
        return Condition.DisplayString();
    } catch (const std::exception&) {
        return QStringLiteral("(invalid date)");
    }
}

QFont Plain(const QFont& Base) {
    QFont Font = Base;
    Font.setBold(false);
    Font.setItalic(false);
    Font.setUnderline(false);
    Font.setStrikeOut(false);
    return Font;
}

} // namespace

QString TLineLayout::Sentence() const {
    QString Text;
    for (const TLineRun& Run : Runs)
        Text += Run.Text;
    return Text.simplified();
}

TLineLayout LayOutLine(const TVQQuery& Query, int Row, const QRect& LineRect, const QFont& Base,
                       bool Selected) {
    TLineLayout Layout;
    const TAQCondition* Condition = Query.GetCondition(Row);
    if (Condition == nullptr)
        return Layout;
    const TConditionKind Kind = Condition->Kind();
    Layout.InError = InKinds(KindsDrawnInError, Kind) && Condition->HasError();
    const QFont Regular = Plain(Base);
    const QColor Black(Qt::black);
    // Clear of the focus outline.
    int X = LineRect.left() + LineMargin;
    auto Add = [&](TLineRun::TPart Part, const QString& Text, const QFont& Font,
                   const QColor& Colour, bool Highlight) {
        TLineRun Run;
        Run.Part = Part;
        Run.Text = Text;
        Run.Font = Font;
        Run.Colour = Colour;
        Run.Highlighted = Highlight && Selected;
        const int Width = QFontMetrics(Font).horizontalAdvance(Text);
        Run.Rect = QRect(X, LineRect.top(), Width, LineRect.height());
        X += Width;
        Layout.Runs.append(Run);
        return Run.Rect;
    };

    const quint32 Indent = std::min(Condition->Level(), MaxIndent);
    if (Indent > 0)
        Add(TLineRun::rpIndent, QString(int(Indent), QLatin1Char(' ')), Regular, Black, false);

    if (!Condition->Caption().isEmpty()) {
        QFont Font = Regular;
        if (Kind == ckLabel) {
            Font.setBold(true);
            Font.setUnderline(true);
        } else if (Kind != ckValue) {
            Font.setBold(true);
        }
        Layout.CaptionRect = Add(TLineRun::rpCaption, CaptionText(Query, Row, *Condition), Font,
                                 Layout.InError ? ErrorCaptionColour : Black, true);
        Add(TLineRun::rpSeparator, QStringLiteral("  "), Regular, Black, false);
    }

    const QString Value = ValueText(*Condition);
    if (!Value.isEmpty()) {
        QFont Font = Regular;
        QColor Colour;
        if (Layout.InError && Kind != ckLabel) {
            Font.setStrikeOut(true);
            Colour = Qt::red;
        } else {
            Font.setUnderline(true);
            Colour = Qt::blue;
        }
        Layout.ValueRect =
            Add(TLineRun::rpValue, QLatin1Char(' ') + Value + QLatin1Char(' '), Font, Colour, true);
    }

    if (Condition->RightBracket())
        Add(TLineRun::rpBracket, QStringLiteral(") "), Regular, Black, true);
    else
        Add(TLineRun::rpSeparator, QStringLiteral("  "), Regular, Black, false);

    const TAQCondition* Next = Query.GetCondition(Row + 1);
    if (Kind == ckValue && Next != nullptr && Next->Kind() == ckValue) {
        QFont Font = Regular;
        Font.setUnderline(Condition->Role() == prAny && Next->Role() == prAny);
        const TOperatorKind Operator =
            Condition->Operator() <= okAND ? Condition->Operator() : okOR;
        Layout.OperatorRect = Add(TLineRun::rpOperator,
                                  QString::fromLatin1(OperatorTexts[Operator]), Font, Black, false);
    }
    Layout.Width = X - LineRect.left();
    return Layout;
}

// ---------------------------------------------------------------------------
// TQueryLinesModel

TQueryLinesModel::TQueryLinesModel(QObject* Parent) : QAbstractListModel(Parent) {}

void TQueryLinesModel::SetQuery(TVQQuery* Query) {
    beginResetModel();
    FQuery = Query;
    endResetModel();
}

void TQueryLinesModel::SetCount(int Value) {
    Value = std::max(Value, 0);
    if (Value > FCount) {
        beginInsertRows(QModelIndex(), FCount, Value - 1);
        FCount = Value;
        endInsertRows();
    } else if (Value < FCount) {
        beginRemoveRows(QModelIndex(), Value, FCount - 1);
        FCount = Value;
        endRemoveRows();
    }
    Refresh();
}

void TQueryLinesModel::Refresh() {
    if (FCount > 0)
        emit dataChanged(index(0), index(FCount - 1));
}

int TQueryLinesModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : FCount;
}

QVariant TQueryLinesModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || FQuery == nullptr || Index.row() >= FCount)
        return {};
    const TAQCondition* Condition = FQuery->GetCondition(Index.row());
    if (Condition == nullptr)
        return {};
    switch (Role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        return LayOutLine(*FQuery, Index.row(), QRect(), QFont(), false).Sentence();
    case Qt::ToolTipRole: {
        const TLineLayout Layout = LayOutLine(*FQuery, Index.row(), QRect(), QFont(), false);
        return Layout.InError ? QVariant(Condition->ErrorReason()) : QVariant();
    }
    default:
        return {};
    }
}

Qt::ItemFlags TQueryLinesModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid())
        return Qt::ItemIsDropEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDropEnabled;
}

// ---------------------------------------------------------------------------
// TQueryLineDelegate

TQueryLineDelegate::TQueryLineDelegate(TQueryLinesModel* Model, QObject* Parent)
    : QStyledItemDelegate(Parent), FModel(Model) {}

int TQueryLineDelegate::LineHeight(const QFont& Font) {
    // The list's lines are 18 high; a larger font must not be cut.
    return std::max(TQueryListBox::ItemHeight, QFontMetrics(Font).height() + 2);
}

void TQueryLineDelegate::paint(QPainter* Painter, const QStyleOptionViewItem& Option,
                               const QModelIndex& Index) const {
    TVQQuery* Query = FModel->Query();
    if (Query == nullptr || Index.row() >= FModel->Count())
        return;
    TAQCondition* Condition = Query->GetCondition(Index.row());
    if (Condition == nullptr)
        return;
    Painter->save();
    Painter->fillRect(Option.rect, Qt::white);
    const bool Selected = (Option.state & QStyle::State_Selected) != 0;
    const TLineLayout Layout = LayOutLine(*Query, Index.row(), Option.rect, Option.font, Selected);
    Condition->SetCaptionRect(Layout.CaptionRect);
    Condition->SetValueRect(Layout.ValueRect);
    Condition->SetOperatorRect(Layout.OperatorRect);
    for (const TLineRun& Run : Layout.Runs) {
        if (Run.Highlighted)
            Painter->fillRect(Run.Rect, SelectedBackground);
        if (Run.Part == TLineRun::rpIndent || Run.Part == TLineRun::rpSeparator)
            continue;
        Painter->setFont(Run.Font);
        Painter->setPen(Run.Colour);
        Painter->drawText(Run.Rect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                          Run.Text);
    }
    if ((Option.state & QStyle::State_HasFocus) != 0) {
        // A dotted outline, as list boxes draw their focus: a style's own
        // focus panel would tint the runs' colours.
        QPen Dots(Qt::black);
        Dots.setStyle(Qt::DotLine);
        Painter->setPen(Dots);
        Painter->setBrush(Qt::NoBrush);
        Painter->drawRect(Option.rect.adjusted(0, 0, -1, -1));
    }
    Painter->restore();
}

QSize TQueryLineDelegate::sizeHint(const QStyleOptionViewItem& Option,
                                   const QModelIndex& Index) const {
    int Width = 0;
    if (TVQQuery* Query = FModel->Query(); Query != nullptr && Index.row() < FModel->Count())
        Width = LayOutLine(*Query, Index.row(), QRect(), Option.font, false).Width;
    return QSize(Width + 4, LineHeight(Option.font));
}

// ---------------------------------------------------------------------------
// TQueryListBox

TQueryListBox::TQueryListBox(QWidget* Parent) : QListView(Parent) {
    setObjectName(QStringLiteral("lbQuery"));
    setAccessibleName(QStringLiteral("Query conditions"));
    FModel = new TQueryLinesModel(this);
    setModel(FModel);
    setItemDelegate(new TQueryLineDelegate(FModel, this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setMouseTracking(true);
    setDragEnabled(false);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette Colours = palette();
    Colours.setColor(QPalette::Base, Qt::white);
    setPalette(Colours);
}

void TQueryListBox::SetQuery(TVQQuery* Query) {
    FModel->SetQuery(Query);
}

int TQueryListBox::ItemCount() const {
    return FModel->Count();
}

void TQueryListBox::SetItemCount(int Value) {
    FModel->SetCount(Value);
}

int TQueryListBox::ItemIndex() const {
    const QModelIndex Current = currentIndex();
    return Current.isValid() ? Current.row() : -1;
}

void TQueryListBox::SetItemIndex(int Value) {
    if (Value >= 0 && Value < FModel->Count()) {
        selectionModel()->setCurrentIndex(FModel->index(Value),
                                          QItemSelectionModel::ClearAndSelect);
        return;
    }
    selectionModel()->clear();
}

void TQueryListBox::Repaint() {
    FModel->Refresh();
    // Lines change their widths with their texts.
    scheduleDelayedItemsLayout();
    viewport()->update();
}

int TQueryListBox::ItemAtPos(const QPoint& Point) const {
    const QModelIndex Index = indexAt(Point);
    return Index.isValid() ? Index.row() : -1;
}

void TQueryListBox::UpdateLineRects(int Row) const {
    TVQQuery* Owner = Query();
    if (Owner == nullptr || Row < 0 || Row >= FModel->Count())
        return;
    TAQCondition* Condition = Owner->GetCondition(Row);
    if (Condition == nullptr)
        return;
    const QModelIndex Index = FModel->index(Row);
    const bool Selected = selectionModel()->isSelected(Index);
    const TLineLayout Layout = LayOutLine(*Owner, Row, visualRect(Index), font(), Selected);
    Condition->SetCaptionRect(Layout.CaptionRect);
    Condition->SetValueRect(Layout.ValueRect);
    Condition->SetOperatorRect(Layout.OperatorRect);
}

TConditionHitTest TQueryListBox::HitAt(const QPoint& Point, int& Row) const {
    Row = ItemAtPos(Point);
    TVQQuery* Owner = Query();
    if (Row < 0 || Owner == nullptr)
        return chtNone;
    UpdateLineRects(Row);
    TConditionHitTest Hit = chtNone;
    Owner->GetItemAt(Point, Hit);
    return Hit;
}

void TQueryListBox::mousePressEvent(QMouseEvent* Event) {
    QListView::mousePressEvent(Event);
    if (Event->button() == Qt::LeftButton)
        LineMouseDown(Event);
}

void TQueryListBox::mouseDoubleClickEvent(QMouseEvent* Event) {
    // The second press of a double click acts like any press.
    QListView::mouseDoubleClickEvent(Event);
    if (Event->button() == Qt::LeftButton)
        LineMouseDown(Event);
}

void TQueryListBox::LineMouseDown(QMouseEvent* Event) {
    const QPoint Point = Event->position().toPoint();
    int Row = -1;
    const TConditionHitTest Hit = HitAt(Point, Row);
    if (Row < 0)
        return;
    FDragRow = -1;
    const TAQCondition* Condition = Query()->GetCondition(Row);
    if (Hit == chtCaption && Condition != nullptr && Condition->OwnedByHeader()) {
        FDragRow = Row;
        FDragStart = Point;
    }
    if (OnLineMouseDown)
        OnLineMouseDown(Row, Hit, viewport()->mapToGlobal(Point));
}

void TQueryListBox::mouseMoveEvent(QMouseEvent* Event) {
    const QPoint Point = Event->position().toPoint();
    if (FDragRow >= 0 && (Event->buttons() & Qt::LeftButton) != 0 &&
        (Point - FDragStart).manhattanLength() >= QApplication::startDragDistance()) {
        StartParticipantDrag();
        return;
    }
    int Row = -1;
    const TConditionHitTest Hit = HitAt(Point, Row);
    if (Hit == chtValue || Hit == chtOperator)
        viewport()->setCursor(Qt::PointingHandCursor);
    else
        viewport()->unsetCursor();
    QListView::mouseMoveEvent(Event);
}

void TQueryListBox::mouseReleaseEvent(QMouseEvent* Event) {
    FDragRow = -1;
    QListView::mouseReleaseEvent(Event);
}

void TQueryListBox::StartParticipantDrag() {
    const int Row = FDragRow;
    FDragRow = -1;
    auto* Data = new QMimeData;
    Data->setData(QString::fromLatin1(ParticipantMimeType), QByteArray::number(Row));
    auto* Drag = new QDrag(this);
    Drag->setMimeData(Data);
    Drag->exec(Qt::MoveAction);
    Drag->deleteLater();
}

void TQueryListBox::keyPressEvent(QKeyEvent* Event) {
    if (Event->key() == Qt::Key_Space && Event->modifiers() == Qt::NoModifier) {
        if (OnSpace)
            OnSpace();
        Event->accept();
        return;
    }
    QListView::keyPressEvent(Event);
}

void TQueryListBox::dragEnterEvent(QDragEnterEvent* Event) {
    if (OnAcceptDrop && OnAcceptDrop(Event->mimeData()))
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TQueryListBox::dragMoveEvent(QDragMoveEvent* Event) {
    if (OnAcceptDrop && OnAcceptDrop(Event->mimeData()))
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TQueryListBox::dropEvent(QDropEvent* Event) {
    if (!OnAcceptDrop || !OnAcceptDrop(Event->mimeData())) {
        Event->ignore();
        return;
    }
    const int Row = ItemAtPos(Event->position().toPoint());
    Event->acceptProposedAction();
    if (OnDrop)
        OnDrop(Event->mimeData(), Row);
}
