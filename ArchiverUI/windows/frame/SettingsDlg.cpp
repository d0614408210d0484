#include "SettingsDlg.h"

#include "DataCache.h"
#include "Manual.h"
#include "SettingsStore.h"
#include "VQSpinEdit.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

TdlgSettings::TdlgSettings(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgSettings"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Settings"));

    cbUrl = new QComboBox(this);
    cbUrl->setObjectName(QStringLiteral("cbUrl"));
    cbUrl->setEditable(true);
    cbUrl->setInsertPolicy(QComboBox::NoInsert);
    cbUrl->lineEdit()->setMaxLength(256);
    cbUrl->setToolTip(QStringLiteral("The IP Address or Computer Name"));
    cbUrl->setMinimumWidth(220);

    edPort = new TVQSpinEdit(this);
    edPort->setObjectName(QStringLiteral("edPort"));
    edPort->SetMinMax(0, 65535);
    edPort->SetMaxLength(5);
    edPort->SetValue(7456);
    edPort->setToolTip(QStringLiteral("The service port number"));

    edPassword = new QLineEdit(this);
    edPassword->setObjectName(QStringLiteral("edPassword"));
    edPassword->setEchoMode(QLineEdit::Password);
    edPassword->setToolTip(QStringLiteral("Password"));

    seMaxRecords = new TVQSpinEdit(this);
    seMaxRecords->setObjectName(QStringLiteral("seMaxRecords"));
    seMaxRecords->SetMinMax(100, 100000);
    seMaxRecords->SetIncrement(100);
    seMaxRecords->SetMaxLength(6);
    seMaxRecords->SetValue(10000);
    seMaxRecords->setToolTip(QStringLiteral("Maximum records in query or search result"));

    lblWarning =
        new QLabel(QStringLiteral("Warning: URL is empty or consists unsafe characters"), this);
    lblWarning->setObjectName(QStringLiteral("lblWarning"));
    lblWarning->setWordWrap(true);
    QFont Bold = lblWarning->font();
    Bold.setBold(true);
    lblWarning->setFont(Bold);
    lblWarning->setStyleSheet(QStringLiteral("color: red;"));
    lblWarning->setVisible(false);

    OKBtn = new QPushButton(QStringLiteral("&OK"), this);
    OKBtn->setObjectName(QStringLiteral("OKBtn"));
    OKBtn->setDefault(true);
    OKBtn->setToolTip(QStringLiteral("Apply changes and exit"));
    CancelBtn = new QPushButton(QStringLiteral("&Cancel"), this);
    CancelBtn->setObjectName(QStringLiteral("CancelBtn"));
    CancelBtn->setToolTip(QStringLiteral("Discard changes and exit"));
    HelpBtn = new QPushButton(QStringLiteral("&Help"), this);
    HelpBtn->setObjectName(QStringLiteral("HelpBtn"));
    SetManualPage(this, QStringLiteral("connecting"));
    connect(HelpBtn, &QPushButton::clicked, this,
            [this] { ShowManual(this, QStringLiteral("connecting")); });
    connect(OKBtn, &QPushButton::clicked, this, &TdlgSettings::accept);
    connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

    auto* Form = new QFormLayout;
    Form->addRow(QStringLiteral("Server"), cbUrl);
    Form->addRow(QStringLiteral("Port"), edPort);
    Form->addRow(QStringLiteral("Password:"), edPassword);
    Form->addRow(QStringLiteral("Maximum records in query result:"), seMaxRecords);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(OKBtn);
    Buttons->addWidget(CancelBtn);
    Buttons->addWidget(HelpBtn);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Form);
    Layout->addWidget(lblWarning);
    Layout->addLayout(Buttons);
    setTabOrder(cbUrl, edPort->Edit());
    setTabOrder(edPort->Edit(), edPassword);
    setTabOrder(edPassword, seMaxRecords->Edit());
    setTabOrder(seMaxRecords->Edit(), OKBtn);
    setTabOrder(OKBtn, CancelBtn);

    connect(cbUrl, &QComboBox::editTextChanged, this, &TdlgSettings::cbUrlChange);

    QStringList History;
    ReadHistory(hkAddress, History);
    cbUrl->addItems(History);
    if (DBConnection != nullptr) {
        cbUrl->setEditText(DBConnection->Host());
        edPort->SetText(QString::number(DBConnection->Port()));
        edPassword->setText(DBConnection->Password());
        seMaxRecords->SetValue(DBConnection->MaxRecords());
    }
    cbUrlChange();
    cbUrl->setFocus();
}

bool TdlgSettings::IsValidAddress(const QString& Address) {
    if (Address.isEmpty())
        return false;
    for (const QChar Ch : Address) {
        const char16_t C = Ch.unicode();
        const bool Ok = C == u'.' || C == u'_' || (C >= u'0' && C <= u'9') ||
                        (C >= u'A' && C <= u'Z') || (C >= u'a' && C <= u'z');
        if (!Ok)
            return false;
    }
    return true;
}

void TdlgSettings::cbUrlChange() {
    const QString Address = cbUrl->currentText();
    OKBtn->setEnabled(!Address.isEmpty());
    lblWarning->setVisible(!IsValidAddress(Address));
}

bool TdlgSettings::ApplySettings() {
    if (DBConnection == nullptr)
        return false;
    const QString Address = cbUrl->currentText();
    // The port that is stored is the one that was tested: a text that is no
    // number must not be stored as port 0 after a test with its derived value.
    const quint32 Port = static_cast<quint32>(edPort->Value());
    try {
        DBConnection->CheckConnection(Address, Port, edPassword->text());
        DBConnection->SetPort(Port);
        DBConnection->SetHost(Address);
        DBConnection->SetPassword(edPassword->text());
        DBConnection->SetMaxRecords(seMaxRecords->Value());
    } catch (...) {
        HandleApplicationException(std::current_exception());
        return false;
    }
    UpdateHistory(Address);
    return true;
}

void TdlgSettings::accept() {
    if (ApplySettings())
        TUTCDialog::accept();
}

void TdlgSettings::UpdateHistory(const QString& Address) {
    if (Address.trimmed().isEmpty())
        return;
    QStringList History;
    for (int I = 0; I < cbUrl->count(); ++I)
        History.append(cbUrl->itemText(I));
    // The combo box's list finds entries without regard to case.
    qsizetype Index = -1;
    for (qsizetype I = 0; I < History.size() && Index < 0; ++I)
        if (History.at(I).compare(Address, Qt::CaseInsensitive) == 0)
            Index = I;
    if (Index < 0) {
        History.prepend(Address);
        while (History.size() > MaxHistory)
            History.removeLast();
    } else {
        History.move(Index, 0);
    }
    cbUrl->blockSignals(true);
    cbUrl->clear();
    cbUrl->addItems(History);
    cbUrl->setEditText(Address);
    cbUrl->blockSignals(false);
    WriteHistory(hkAddress, History);
}
