// The date and time span dialog: a start and an end, each a date and a
// time of day.
#pragma once

#include "UTCDialog.h"
#include "VQDateTime.h"

class QDateEdit;
class QPushButton;
class QTimeEdit;

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
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void keyPressEvent(QKeyEvent* Event) override;
};

// Asks for a span in the dialog titled Caption, preset with Start and End;
// true and the new span when the operator confirmed.
bool EditDateTimeSpan(QWidget* Owner, const QString& Caption, TDateTime& Start, TDateTime& End);
