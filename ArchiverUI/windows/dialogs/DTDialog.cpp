#include "DTDialog.h"

#include "DialogSupport.h"
#include "Manual.h"

#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimeEdit>
#include <QVBoxLayout>

std::pair<QDate, QDate> QuickRangeDays(TQuickRange Range, QDate Today) {
    const QDate FirstOfMonth(Today.year(), Today.month(), 1);
    switch (Range) {
    case TQuickRange::Today:
        return {Today, Today};
    case TQuickRange::Yesterday:
        return {Today.addDays(-1), Today.addDays(-1)};
    case TQuickRange::Last7Days:
        return {Today.addDays(-6), Today};
    case TQuickRange::Last30Days:
        return {Today.addDays(-29), Today};
    case TQuickRange::ThisMonth:
        return {FirstOfMonth, FirstOfMonth.addMonths(1).addDays(-1)};
    case TQuickRange::LastMonth:
        return {FirstOfMonth.addMonths(-1), FirstOfMonth.addDays(-1)};
    }
    return {Today, Today};
}

TdlgDateTime::TdlgDateTime(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgDateTime"));
    SetManualPage(this, QStringLiteral("query-builder"));
    setWindowTitle(QStringLiteral("Enter date and time"));

    dpFrom = NewDatePicker("dpFrom", this);
    tpFrom = NewTimePicker("tpFrom", this);
    dpTo = NewDatePicker("dpTo", this);
    tpTo = NewTimePicker("tpTo", this);
    dpFrom->setAccessibleName(QStringLiteral("From date"));
    tpFrom->setAccessibleName(QStringLiteral("From time"));
    dpTo->setAccessibleName(QStringLiteral("To date"));
    tpTo->setAccessibleName(QStringLiteral("To time"));
    // Setting a day by its arrows takes many steps: a calendar and the usual
    // ranges make it one.
    dpFrom->setCalendarPopup(true);
    dpTo->setCalendarPopup(true);

    cbQuickRange = new QComboBox(this);
    cbQuickRange->setObjectName(QStringLiteral("cbQuickRange"));
    cbQuickRange->addItems({QStringLiteral("Custom"), QStringLiteral("Today"),
                            QStringLiteral("Yesterday"), QStringLiteral("Last 7 days"),
                            QStringLiteral("Last 30 days"), QStringLiteral("This month"),
                            QStringLiteral("Last month")});
    connect(cbQuickRange, &QComboBox::activated, this, &TdlgDateTime::ApplyQuickRange);
    // Editing a picker by hand makes the span a custom one again.
    for (auto* Picker : {dpFrom, dpTo})
        connect(Picker, &QDateEdit::dateChanged, this, [this] {
            if (!FApplying)
                cbQuickRange->setCurrentIndex(0);
        });
    for (auto* Picker : {tpFrom, tpTo})
        connect(Picker, &QTimeEdit::timeChanged, this, [this] {
            if (!FApplying)
                cbQuickRange->setCurrentIndex(0);
        });

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
    Grid->addWidget(BuddyLabel(QStringLiteral("&Range:"), cbQuickRange, this), 2, 0);
    Grid->addWidget(cbQuickRange, 2, 1, 1, 2);
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

void TdlgDateTime::ApplyQuickRange(int Index) {
    if (Index <= 0)
        return;
    const auto [First, Last] =
        QuickRangeDays(static_cast<TQuickRange>(Index - 1), QDate::currentDate());
    FApplying = true;
    dpFrom->setDate(First);
    tpFrom->setTime(QTime(0, 0, 0));
    dpTo->setDate(Last);
    tpTo->setTime(QTime(23, 59, 59));
    FApplying = false;
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
