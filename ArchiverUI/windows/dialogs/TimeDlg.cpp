#include "TimeDlg.h"

#include "DialogSupport.h"
#include "Manual.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

TdlgTime::TdlgTime(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgTime"));
    SetManualPage(this, QStringLiteral("query-builder"));
    setWindowTitle(QStringLiteral("Enter time period"));

    tpFrom = NewTimePicker("tpFrom", this);
    tpTo = NewTimePicker("tpTo", this);

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* Grid = new QGridLayout;
    Grid->addWidget(BuddyLabel(QStringLiteral("From"), tpFrom, this), 0, 0);
    Grid->addWidget(tpFrom, 0, 1);
    Grid->addWidget(BuddyLabel(QStringLiteral("To"), tpTo, this), 1, 0);
    Grid->addWidget(tpTo, 1, 1);
    Grid->setColumnStretch(1, 1);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(btnOK);
    Buttons->addWidget(btnCancel);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Grid);
    Layout->addSpacing(6);
    Layout->addLayout(Buttons);
    Layout->setSizeConstraint(QLayout::SetFixedSize);
    tpFrom->setFocus();
}

void TdlgTime::SetFrame(TDateTime Start, TDateTime End) {
    QDate Date;
    QTime Time;
    SplitForPickers(Start, Date, Time);
    tpFrom->setTime(Time);
    SplitForPickers(End, Date, Time);
    tpTo->setTime(Time);
}

TDateTime TdlgTime::Start() const {
    const QTime Time = tpFrom->time();
    return EncodeTime(Time.hour(), Time.minute(), Time.second(), Time.msec());
}

TDateTime TdlgTime::End() const {
    const QTime Time = tpTo->time();
    return EncodeTime(Time.hour(), Time.minute(), Time.second(), Time.msec());
}

void TdlgTime::keyPressEvent(QKeyEvent* Event) {
    if (!CancelOnEscape(Event, btnCancel))
        TUTCDialog::keyPressEvent(Event);
}

bool EditTimeFrame(QWidget* Owner, const QString& Caption, TDateTime& Start, TDateTime& End) {
    TDialogRelease<TdlgTime> Dialog(new TdlgTime(Owner));
    Dialog->setWindowTitle(Caption);
    Dialog->SetFrame(Start, End);
    if (Dialog->exec() != QDialog::Accepted || !Dialog)
        return false;
    Start = Dialog->Start();
    End = Dialog->End();
    return true;
}
