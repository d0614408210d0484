// The date and time span dialog: a start and an end, each a date and a
// time of day.
#pragma once

#include "UTCDialog.h"
#include "VQDateTime.h"

#include <QDate>
#include <utility>

class QComboBox;
class QDateEdit;
class QPushButton;
class QTimeEdit;

// The quick ranges the dialog offers, as first and last day counted from
// Today: today, yesterday, the last 7 and 30 days (today included), this
// month and last month.
enum class TQuickRange { Today, Yesterday, Last7Days, Last30Days, ThisMonth, LastMonth };
std::pair<QDate, QDate> QuickRangeDays(TQuickRange Range, QDate Today);

class TdlgDateTime : public TUTCDialog {
    Q_OBJECT
public:
    explicit TdlgDateTime(QWidget* Owner);

    // The pickers from a span: the date pickers from the date parts, the
    // time pickers from the times of day. A value that names no date shows
    // the current time instead.
    void SetSpan(TDateTime Start, TDateTime End);
    // The chosen dates with the chosen times.
    TDateTime Start() const;
    TDateTime End() const;

    QDateEdit* dpFrom = nullptr;
    QTimeEdit* tpFrom = nullptr;
    QDateEdit* dpTo = nullptr;
    QTimeEdit* tpTo = nullptr;
    // Fills the pickers with a quick range, from 00:00:00 of its first day
    // to 23:59:59 of its last.
    QComboBox* cbQuickRange = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void keyPressEvent(QKeyEvent* Event) override;

private:
    void ApplyQuickRange(int Index);
    bool FApplying = false;
};

// Asks for a span in the dialog titled Caption, preset with Start and End;
// true and the new span when the operator confirmed.
bool EditDateTimeSpan(QWidget* Owner, const QString& Caption, TDateTime& Start, TDateTime& End);
