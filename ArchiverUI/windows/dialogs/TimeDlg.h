// The daily time frame dialog: a start and an end time of day.
#pragma once

#include "UTCDialog.h"
#include "VQDateTime.h"

class QPushButton;
class QTimeEdit;

class TdlgTime : public TUTCDialog {
    Q_OBJECT
public:
    explicit TdlgTime(QWidget* Owner);

    // The pickers from the times of day of Start and End.
    void SetFrame(TDateTime Start, TDateTime End);
    // The chosen times of day, without a date.
    TDateTime Start() const;
    TDateTime End() const;

    QTimeEdit* tpFrom = nullptr;
    QTimeEdit* tpTo = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

protected:
    void keyPressEvent(QKeyEvent* Event) override;
};

// Asks for a daily frame in the dialog titled Caption, preset with Start
// and End; true and the new times when the operator confirmed.
bool EditTimeFrame(QWidget* Owner, const QString& Caption, TDateTime& Start, TDateTime& End);
