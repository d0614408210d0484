#include "DTDialog.h"

#include "DialogSupport.h"

#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

TdlgDateTime::TdlgDateTime(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgDateTime"));
    setWindowTitle(QStringLiteral("Enter date and time"));

    dpFrom = NewDatePicker("dpFrom", this);
    tpFrom = NewTimePicker("tpFrom", this);
    dpTo = NewDatePicker("dpTo", this);
    tpTo = NewTimePicker("tpTo", this);
    dpFrom->setAccessibleName(QStringLiteral("From date"));
    tpFrom->setAccessibleName(QStringLiteral("From time"));
    dpTo->setAccessibleName(QStringLiteral("To date"));
    tpTo->setAccessibleName(QStringLiteral("To time"));

    btnOK = new QPushButton(QStringLiteral("OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* Grid = new QGridLayout;
    auto* FromLabel = new QLabel(QStringLiteral("From"), this);
    FromLabel->setBuddy(dpFrom);
    auto* ToLabel = new QLabel(QStringLiteral("To"), this);
    ToLabel->setBuddy(dpTo);
    Grid->addWidget(FromLabel, 0, 0);
    Grid->addWidget(dpFrom, 0, 1);
    Grid->addWidget(tpFrom, 0, 2);
    Grid->addWidget(ToLabel, 1, 0);
    Grid->addWidget(dpTo, 1, 1);
    Grid->addWidget(tpTo, 1, 2);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(btnOK);
    Buttons->addWidget(btnCancel);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Grid);
    Layout->addSpacing(6);
    Layout->addLayout(Buttons);
    Layout->setSizeConstraint(QLayout::SetFixedSize);
    dpFrom->setFocus();
}

void TdlgDateTime::SetSpan(TDateTime Start, TDateTime End) {
    QDate Date;
    QTime Time;
    SplitForPickers(Start, Date, Time);
    dpFrom->setDate(Date);
    tpFrom->setTime(Time);
    SplitForPickers(End, Date, Time);
    dpTo->setDate(Date);
    tpTo->setTime(Time);
}

TDateTime TdlgDateTime::Start() const {
    return EncodeDateTime(dpFrom->date(), tpFrom->time());
}

TDateTime TdlgDateTime::End() const {
    return EncodeDateTime(dpTo->date(), tpTo->time());
}

void TdlgDateTime::keyPressEvent(QKeyEvent* Event) {
    if (!CancelOnEscape(Event, btnCancel))
        TUTCDialog::keyPressEvent(Event);
}

bool EditDateTimeSpan(QWidget* Owner, const QString& Caption, TDateTime& Start, TDateTime& End) {
    TDialogRelease<TdlgDateTime> Dialog(new TdlgDateTime(Owner));
    Dialog->setWindowTitle(Caption);
    Dialog->SetSpan(Start, End);
    if (Dialog->exec() != QDialog::Accepted || !Dialog)
        return false;
    Start = Dialog->Start();
    End = Dialog->End();
    return true;
}
