#include "GlobalCallerIDDlg.h"

#include "Conditions.h"
#include "DialogSupport.h"
#include "Manual.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TdlgGlobalCallerID::TdlgGlobalCallerID(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgGlobalCallerID"));
    SetManualPage(this, QStringLiteral("query-builder"));
    setWindowTitle(QStringLiteral("Enter Global Caller ID"));

    edGCID = new QLineEdit(this);
    edGCID->setObjectName(QStringLiteral("edGCID"));
    edGCID->setInputMask(QString::fromLatin1(GCIDMask));
    edGCID->setText(QString::fromLatin1(DefaultGCID));
    // Equal widths keep the groups of the id under each other.
    edGCID->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    edGCID->setMinimumWidth(edGCID->fontMetrics().horizontalAdvance(QLatin1Char('W')) * 22);

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("C&ancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    connect(btnOK, &QPushButton::clicked, this, &TdlgGlobalCallerID::btnOKClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    // A half-typed id would be stored with blanks as dashes and match no
    // record; OK waits until every place of the mask is filled.
    connect(edGCID, &QLineEdit::textChanged, this,
            [this] { btnOK->setEnabled(edGCID->hasAcceptableInput()); });

    auto* Row = new QHBoxLayout;
    Row->addWidget(BuddyLabel(QStringLiteral("Global &Caller ID:"), edGCID, this));
    Row->addWidget(edGCID, 1);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(btnOK);
    Buttons->addWidget(btnCancel);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Row);
    Layout->addSpacing(6);
    Layout->addLayout(Buttons);
    Layout->setSizeConstraint(QLayout::SetFixedSize);
    edGCID->setFocus();
}

void TdlgGlobalCallerID::SetGCID(const QString& Value) {
    FGCID = Value;
    edGCID->setText(Value);
}

void TdlgGlobalCallerID::btnOKClick() {
    if (!edGCID->hasAcceptableInput())
        return;
    FGCID = edGCID->text();
    accept();
}

bool EditGlobalCallerID(QWidget* Owner, const QString& Caption, QString& GCID) {
    TDialogRelease<TdlgGlobalCallerID> Dialog(new TdlgGlobalCallerID(Owner));
    Dialog->setWindowTitle(Caption);
    Dialog->SetGCID(GCID);
    if (Dialog->exec() != QDialog::Accepted || !Dialog)
        return false;
    GCID = Dialog->GCID();
    return true;
}
