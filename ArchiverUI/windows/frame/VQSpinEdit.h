// The integer spin edit of the settings dialog and the message view: a
// digits-only text box with up-down arrows beside it, kept within bounds.
#pragma once

#include <QLineEdit>
#include <QWidget>

#include <functional>

class QToolButton;
class TCustomVQSpinEdit;

// Which arrow was used.
enum TUDBtnType { btNext = 0, btPrev = 1 };

// Where a step goes; updNone while it would leave the bounds.
enum TUpDownDirection { updNone = 0, updUp = 1, updDown = 2 };

enum TUDAlignButton { udLeft = 0, udRight = 1 };

enum TUDOrientation { udHorizontal = 0, udVertical = 1 };

enum TBorderStyle { bsNone = 0, bsSingle = 1 };

struct TIntRange {
    qint32 Min = 0;
    qint32 Max = 0;
};

using TUDClickEvent = std::function<void(QObject* Sender, TUDBtnType Button)>;
using TNotifyEvent = std::function<void(QObject* Sender)>;
using TVQSEChangingEvent = std::function<void(QObject* Sender, bool& AllowChange,
                                              TUpDownDirection Direction, qint32 NewValue)>;

// The text box of the spin edit. Key filtering and the commit on Enter and
// on leaving live here because only the box sees those events.
class TNumericEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit TNumericEdit(TCustomVQSpinEdit* Owner);

    Qt::Alignment Alignment() const { return FAlignment; }
    void SetAlignment(Qt::Alignment Value);
    // The owner is going away: events from now on are the plain edit's.
    void Detach() { FOwner = nullptr; }

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;

private:
    TCustomVQSpinEdit* FOwner;
    Qt::Alignment FAlignment = Qt::AlignLeft | Qt::AlignVCenter;
};

// The up-down arrows. The platform's up-down control has no equivalent in
// the toolkit that keeps a 32-bit range and a buddy text, so it is two arrow
// buttons with the range, step and wrap kept here.
class TSpinUpDown : public QWidget {
    Q_OBJECT
public:
    explicit TSpinUpDown(TCustomVQSpinEdit* Control);

    TCustomVQSpinEdit* Control() const { return FControl; }
    qint32 Position() const { return FPosition; }
    void SetPosition(qint32 Value);
    void SetRange(qint32 Min, qint32 Max);
    qint32 Min() const { return FMin; }
    qint32 Max() const { return FMax; }
    void SetIncrement(qint16 Value) { FIncrement = Value; }
    qint16 Increment() const { return FIncrement; }
    void SetWrap(bool Value) { FWrap = Value; }
    bool Wrap() const { return FWrap; }
    TUDAlignButton UDAlign() const { return FUDAlign; }
    void SetUDAlign(TUDAlignButton Value) { FUDAlign = Value; }
    TUDOrientation UDOrientation() const { return FUDOrientation; }
    void SetUDOrientation(TUDOrientation Value);

    // One arrow step up (Sign 1) or down (Sign -1), as a click does.
    void Step(int Sign);
    // The owner is going away: the arrows do nothing from now on.
    void Detach() { FControl = nullptr; }

    QToolButton* UpButton() const { return FUp; }
    QToolButton* DownButton() const { return FDown; }

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    void Released();
    void LayoutButtons();

    TCustomVQSpinEdit* FControl;
    QToolButton* FUp;
    QToolButton* FDown;
    qint32 FPosition = 0;
    // Position when the current press began, to tell which way it went.
    qint32 FPressPosition = 0;
    qint32 FMin = 0;
    qint32 FMax = 100;
    qint16 FIncrement = 1;
    bool FWrap = false;
    TUDAlignButton FUDAlign = udRight;
    TUDOrientation FUDOrientation = udVertical;
};

class TCustomVQSpinEdit : public QWidget {
    Q_OBJECT
public:
    // The largest upper bound: what the text box's 11 characters and the
    // arrows' arithmetic can carry without overflow.
    static constexpr qint32 MaxAllowedValue = 1215752192;

    explicit TCustomVQSpinEdit(QWidget* Parent = nullptr);
    ~TCustomVQSpinEdit() override;

    qint32 Value() const;
    void SetValue(qint32 NewValue);
    // True when the text is a number within the bounds.
    bool IsValid() const;

    qint32 MaxValue() const { return FMaxValue; }
    void SetMaxValue(qint32 Value);
    qint32 MinValue() const { return FMinValue; }
    void SetMinValue(qint32 Value);
    void SetMinMax(qint32 MinVal, qint32 MaxVal);
    void SetMinMax(const TIntRange& Range) { SetMinMax(Range.Min, Range.Max); }
    qint16 Increment() const { return FIncrement; }
    void SetIncrement(qint16 Value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value);
    bool Wrap() const { return FWrap; }
    void SetWrap(bool Value);
    TBorderStyle BorderStyle() const { return FBorderStyle; }
    void SetBorderStyle(TBorderStyle Value);
    bool EditorEnabled() const { return FEditorEnabled; }
    void SetEditorEnabled(bool Value);

    QString Text() const;
    void SetText(const QString& Value);
    int MaxLength() const;
    void SetMaxLength(int Value);
    Qt::Alignment Alignment() const { return FEdit->Alignment(); }
    void SetAlignment(Qt::Alignment Value) { FEdit->SetAlignment(Value); }
    TUDAlignButton UDAlign() const { return FUpDown->UDAlign(); }
    void SetUDAlign(TUDAlignButton Value);
    TUDOrientation UDOrientation() const { return FUpDown->UDOrientation(); }
    void SetUDOrientation(TUDOrientation Value);

    TNumericEdit* Edit() const { return FEdit; }
    TSpinUpDown* UpDown() const { return FUpDown; }

    // The lowest height at which the text still fits.
    int MinimumHeight() const;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Write the derived value back when the text is not valid, caret last.
    void Commit();

    TUDClickEvent OnClick;
    TNotifyEvent OnChange;
    TVQSEChangingEvent OnChanging;

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void changeEvent(QEvent* Event) override;

private:
    friend class TSpinUpDown;
    friend class TNumericEdit;

    // The value of the text: parsed, or derived from it when it is not a
    // number; Valid tells whether it needed neither.
    qint32 ParseText(bool* Valid) const;
    // Asks OnChanging; true when the change may go ahead.
    bool AskChanging(TUpDownDirection Direction, qint32 NewValue);
    bool AcceptsMinus() const;
    void UpdateEditState();
    void LayoutControls();

    TNumericEdit* FEdit = nullptr;
    TSpinUpDown* FUpDown = nullptr;
    qint32 FMaxValue = 100;
    qint32 FMinValue = 0;
    qint16 FIncrement = 1;
    bool FReadOnly = false;
    bool FWrap = false;
    TBorderStyle FBorderStyle = bsSingle;
    bool FEditorEnabled = true;
};

// The published form, as the dialogs place it.
class TVQSpinEdit : public TCustomVQSpinEdit {
    Q_OBJECT
public:
    using TCustomVQSpinEdit::TCustomVQSpinEdit;
};
