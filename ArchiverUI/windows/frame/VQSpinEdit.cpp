#include "VQSpinEdit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QStyle>
#include <QToolButton>

#include <algorithm>
#include <limits>

namespace {

// The lower bound wins over the upper one when a caller sets them crossed,
// so that a value is never below what the owner asked as its minimum.
qint32 Clamp(qint64 Value, qint32 Min, qint32 Max) {
    if (Value > Max)
        Value = Max;
    if (Value < Min)
        Value = Min;
    return static_cast<qint32>(Value);
}

qint32 ToInt32(qint64 Value) {
    return Clamp(Value, std::numeric_limits<qint32>::min(), std::numeric_limits<qint32>::max());
}

} // namespace

// ---------------------------------------------------------------------------
// TNumericEdit

TNumericEdit::TNumericEdit(TCustomVQSpinEdit* Owner) : QLineEdit(Owner), FOwner(Owner) {
    setMaxLength(11);
    setText(QStringLiteral("0"));
    setAlignment(FAlignment);
}

void TNumericEdit::SetAlignment(Qt::Alignment Value) {
    FAlignment = Value;
    setAlignment(Value);
}

void TNumericEdit::keyPressEvent(QKeyEvent* Event) {
    if (FOwner == nullptr) {
        QLineEdit::keyPressEvent(Event);
        return;
    }
    switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        FOwner->Commit();
        QLineEdit::keyPressEvent(Event);
        // The dialog's default button must see Enter as well.
        Event->ignore();
        return;
    case Qt::Key_Escape:
    case Qt::Key_F2:
        Event->ignore();
        return;
    case Qt::Key_Up:
        FOwner->FUpDown->Step(1);
        Event->accept();
        return;
    case Qt::Key_Down:
        FOwner->FUpDown->Step(-1);
        Event->accept();
        return;
    default:
        break;
    }
    const QString Typed = Event->text();
    if (!Typed.isEmpty() && Typed.at(0) >= QLatin1Char(' ')) {
        const QChar Ch = Typed.at(0);
        const bool Digit = Ch >= QLatin1Char('0') && Ch <= QLatin1Char('9');
        const bool Minus = Ch == QLatin1Char('-') && FOwner->AcceptsMinus();
        if (Typed.size() != 1 || !(Digit || Minus)) {
            Event->accept();
            return;
        }
    }
    QLineEdit::keyPressEvent(Event);
}

void TNumericEdit::focusOutEvent(QFocusEvent* Event) {
    // Focus also leaves the box while its owner is being destroyed.
    if (FOwner != nullptr)
        FOwner->Commit();
    QLineEdit::focusOutEvent(Event);
}

// ---------------------------------------------------------------------------
// TSpinUpDown

TSpinUpDown::TSpinUpDown(TCustomVQSpinEdit* Control)
    : QWidget(Control), FControl(Control), FUp(new QToolButton(this)),
      FDown(new QToolButton(this)) {
    for (QToolButton* Button : {FUp, FDown}) {
        Button->setFocusPolicy(Qt::NoFocus);
        Button->setAutoRaise(false);
        connect(Button, &QToolButton::pressed, this, [this, Button] {
            if (FControl == nullptr)
                return;
            FPosition = FPressPosition = FControl->Value();
            Step(Button == FUp ? 1 : -1);
        });
        connect(Button, &QToolButton::released, this, [this] { Released(); });
    }
    SetUDOrientation(udVertical);
}

void TSpinUpDown::SetPosition(qint32 Value) {
    if (FControl == nullptr)
        return;
    FPosition = Clamp(Value, FMin, FMax);
    const QString Text = QString::number(FPosition);
    if (FControl->FEdit->text() != Text)
        FControl->FEdit->setText(Text);
}

void TSpinUpDown::SetRange(qint32 Min, qint32 Max) {
    FMin = Min;
    FMax = Max;
}

void TSpinUpDown::SetUDOrientation(TUDOrientation Value) {
    FUDOrientation = Value;
    FUp->setArrowType(Value == udVertical ? Qt::UpArrow : Qt::RightArrow);
    FDown->setArrowType(Value == udVertical ? Qt::DownArrow : Qt::LeftArrow);
    LayoutButtons();
}

void TSpinUpDown::Step(int Sign) {
    if (FControl == nullptr || !isEnabled() || FControl->FReadOnly)
        return;
    // Like the platform's control bound to its text box, the step starts
    // from what the box shows, not from the last position set.
    const qint64 Current = FControl->Value();
    const qint64 Delta = static_cast<qint64>(Sign) * FIncrement;
    if (Delta == 0)
        return;
    const qint64 Wanted = Current + Delta;
    TUpDownDirection Direction = Delta > 0 ? updUp : updDown;
    if ((Wanted < FMin && Delta < 0) || (Wanted > FMax && Delta > 0))
        Direction = updNone;
    if (!FControl->AskChanging(Direction, ToInt32(Wanted)))
        return;
    qint32 Result;
    if (Wanted > FMax)
        Result = FWrap ? FMin : FMax;
    else if (Wanted < FMin)
        Result = FWrap ? FMax : FMin;
    else
        Result = static_cast<qint32>(Wanted);
    SetPosition(Result);
}

void TSpinUpDown::Released() {
    if (FControl == nullptr || FPosition == FPressPosition)
        return;
    FControl->FEdit->setCursorPosition(FControl->FEdit->text().size());
    if (FControl->OnClick)
        FControl->OnClick(FControl, FPosition > FPressPosition ? btNext : btPrev);
}

void TSpinUpDown::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    LayoutButtons();
}

void TSpinUpDown::mouseDoubleClickEvent(QMouseEvent* Event) {
    // A double click is two clicks already; it must not act a third time.
    Event->accept();
}

void TSpinUpDown::keyPressEvent(QKeyEvent* Event) {
    // Enter, Esc and F2 belong to the dialog around the control.
    Event->ignore();
}

void TSpinUpDown::LayoutButtons() {
    const int W = width();
    const int H = height();
    if (FUDOrientation == udVertical) {
        FUp->setGeometry(0, 0, W, H / 2);
        FDown->setGeometry(0, H / 2, W, H - H / 2);
    } else {
        FDown->setGeometry(0, 0, W / 2, H);
        FUp->setGeometry(W / 2, 0, W - W / 2, H);
    }
}

// ---------------------------------------------------------------------------
// TCustomVQSpinEdit

TCustomVQSpinEdit::TCustomVQSpinEdit(QWidget* Parent) : QWidget(Parent) {
    FEdit = new TNumericEdit(this);
    FUpDown = new TSpinUpDown(this);
    FUpDown->SetRange(FMinValue, FMaxValue);
    FUpDown->SetIncrement(FIncrement);
    setFocusProxy(FEdit);
    setFocusPolicy(Qt::StrongFocus);
    setBackgroundRole(QPalette::Base);
    connect(FEdit, &QLineEdit::textChanged, this, [this] {
        if (OnChange)
            OnChange(this);
    });
    connect(FEdit, &QLineEdit::returnPressed, this, [this] { Commit(); });
    setMinimumHeight(MinimumHeight());
    resize(145, std::max(20, MinimumHeight()));
    LayoutControls();
}

TCustomVQSpinEdit::~TCustomVQSpinEdit() {
    // The parts outlive this object's own destructor (the base class
    // destroys them) and must not call back into it meanwhile, for example
    // when the box loses the focus as the dialog goes away.
    FEdit->disconnect(this);
    FEdit->Detach();
    FUpDown->Detach();
    OnChange = nullptr;
    OnChanging = nullptr;
    OnClick = nullptr;
}

qint32 TCustomVQSpinEdit::ParseText(bool* Valid) const {
    const QString Text = FEdit->text();
    *Valid = false;
    if (Text.isEmpty())
        return Clamp(0, FMinValue, FMaxValue);
    bool Ok = false;
    const qlonglong Number = Text.toLongLong(&Ok, 10);
    if (!Ok)
        return Text.startsWith(QLatin1Char('-')) ? FMinValue : FMaxValue;
    const qint32 Result = Clamp(Number, FMinValue, FMaxValue);
    *Valid = Result == Number;
    return Result;
}

qint32 TCustomVQSpinEdit::Value() const {
    bool Valid;
    return ParseText(&Valid);
}

bool TCustomVQSpinEdit::IsValid() const {
    bool Valid;
    ParseText(&Valid);
    return Valid;
}

bool TCustomVQSpinEdit::AskChanging(TUpDownDirection Direction, qint32 NewValue) {
    bool Allow = true;
    if (OnChanging)
        OnChanging(this, Allow, Direction, NewValue);
    return Allow;
}

void TCustomVQSpinEdit::SetValue(qint32 NewValue) {
    // The direction is judged from what the box shows, also when the bounds
    // have just moved past it.
    bool Ok = false;
    const qlonglong Shown = FEdit->text().toLongLong(&Ok, 10);
    const qlonglong Current = Ok ? Shown : Value();
    TUpDownDirection Direction = updNone;
    if (NewValue > Current && NewValue <= FMaxValue)
        Direction = updUp;
    else if (NewValue < Current && NewValue >= FMinValue)
        Direction = updDown;
    if (!AskChanging(Direction, NewValue))
        return;
    FUpDown->SetPosition(NewValue);
}

void TCustomVQSpinEdit::SetMaxValue(qint32 Value) {
    SetMinMax(FMinValue, Value);
}

void TCustomVQSpinEdit::SetMinValue(qint32 Value) {
    SetMinMax(Value, FMaxValue);
}

void TCustomVQSpinEdit::SetMinMax(qint32 MinVal, qint32 MaxVal) {
    MaxVal = std::min(MaxVal, MaxAllowedValue);
    bool Ok = false;
    const qlonglong Shown = FEdit->text().toLongLong(&Ok, 10);
    FMinValue = MinVal;
    FMaxValue = MaxVal;
    FUpDown->SetRange(FMinValue, FMaxValue);
    if (Ok && (Shown < FMinValue || Shown > FMaxValue))
        SetValue(Clamp(Shown, FMinValue, FMaxValue));
}

void TCustomVQSpinEdit::SetIncrement(qint16 Value) {
    FIncrement = Value;
    FUpDown->SetIncrement(Value);
}

void TCustomVQSpinEdit::SetReadOnly(bool Value) {
    FReadOnly = Value;
    UpdateEditState();
}

void TCustomVQSpinEdit::SetWrap(bool Value) {
    FWrap = Value;
    FUpDown->SetWrap(Value);
}

void TCustomVQSpinEdit::SetBorderStyle(TBorderStyle Value) {
    FBorderStyle = Value;
    FEdit->setFrame(Value == bsSingle);
}

void TCustomVQSpinEdit::SetEditorEnabled(bool Value) {
    FEditorEnabled = Value;
    UpdateEditState();
}

QString TCustomVQSpinEdit::Text() const {
    return FEdit->text();
}

void TCustomVQSpinEdit::SetText(const QString& Value) {
    FEdit->setText(Value);
}

int TCustomVQSpinEdit::MaxLength() const {
    return FEdit->maxLength();
}

void TCustomVQSpinEdit::SetMaxLength(int Value) {
    FEdit->setMaxLength(Value);
}

void TCustomVQSpinEdit::SetUDAlign(TUDAlignButton Value) {
    FUpDown->SetUDAlign(Value);
    LayoutControls();
}

void TCustomVQSpinEdit::SetUDOrientation(TUDOrientation Value) {
    FUpDown->SetUDOrientation(Value);
    LayoutControls();
}

bool TCustomVQSpinEdit::AcceptsMinus() const {
    return FMinValue < 0 && (FEdit->text().isEmpty() || FEdit->hasSelectedText());
}

void TCustomVQSpinEdit::Commit() {
    bool Valid;
    const qint32 Derived = ParseText(&Valid);
    if (!Valid)
        FEdit->setText(QString::number(Derived));
    FEdit->setCursorPosition(FEdit->text().size());
}

int TCustomVQSpinEdit::MinimumHeight() const {
    const int Border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    const int Own = fontMetrics().height();
    const int Screen = QFontMetrics(QApplication::font()).height();
    return 2 * Border + Own + std::min(Screen, Own) / 4;
}

QSize TCustomVQSpinEdit::sizeHint() const {
    return QSize(145, std::max(20, MinimumHeight()));
}

QSize TCustomVQSpinEdit::minimumSizeHint() const {
    return QSize(style()->pixelMetric(QStyle::PM_ScrollBarExtent) * 3, MinimumHeight());
}

void TCustomVQSpinEdit::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    LayoutControls();
}

void TCustomVQSpinEdit::changeEvent(QEvent* Event) {
    QWidget::changeEvent(Event);
    if (Event->type() == QEvent::EnabledChange)
        UpdateEditState();
    else if (Event->type() == QEvent::FontChange)
        setMinimumHeight(MinimumHeight());
}

void TCustomVQSpinEdit::UpdateEditState() {
    FEdit->setReadOnly(FReadOnly || !FEditorEnabled);
    FEdit->setEnabled(isEnabled());
    FUpDown->setEnabled(isEnabled() && !FReadOnly);
}

void TCustomVQSpinEdit::LayoutControls() {
    const int Arrows = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, this) *
                       (FUpDown->UDOrientation() == udHorizontal ? 2 : 1);
    const int W = width();
    const int H = height();
    const int EditWidth = std::max(0, W - Arrows);
    if (FUpDown->UDAlign() == udRight) {
        FEdit->setGeometry(0, 0, EditWidth, H);
        FUpDown->setGeometry(EditWidth, 0, W - EditWidth, H);
    } else {
        FUpDown->setGeometry(0, 0, W - EditWidth, H);
        FEdit->setGeometry(W - EditWidth, 0, EditWidth, H);
    }
}
