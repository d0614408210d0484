#include "CADSearchDlg.h"

#include "DataCache.h"
#include "DialogSupport.h"
#include "JobHandle.h"
#include "Manual.h"
#include "ModelErrors.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

namespace {

struct TOperatorItem {
    const char* Text;
    TCADSearchType Type;
};

constexpr TOperatorItem OperatorItems[] = {
    {"Equals", cstEqual},
    {"Contains", cstContains},
    {"Starts with", cstStartsWith},
    {"Ends with", cstEndsWith},
};

} // namespace

TdlgCADSearch::TdlgCADSearch(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgCADSearch"));
    SetManualPage(this, QStringLiteral("query-builder"));
    setWindowTitle(QStringLiteral("Call Attached Data"));

    cbFieldName = new QComboBox(this);
    cbFieldName->setObjectName(QStringLiteral("cbFieldName"));
    cbFieldName->setEditable(false);
    cbFieldName->setMinimumWidth(240);
    cbFieldName->setMaxVisibleItems(16);
    // An archive may name thousands of fields; rows of one height let the
    // list lay them out without measuring each.
    if (auto* List = qobject_cast<QListView*>(cbFieldName->view()))
        List->setUniformItemSizes(true);

    cbOperators = new QComboBox(this);
    cbOperators->setObjectName(QStringLiteral("cbOperators"));
    cbOperators->setEditable(false);

    edValue = new QLineEdit(this);
    edValue->setObjectName(QStringLiteral("edValue"));

    btnOK = new QPushButton(QStringLiteral("&OK"), this);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    btnOK->setDefault(true);
    btnCancel = new QPushButton(QStringLiteral("C&ancel"), this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* Grid = new QGridLayout;
    Grid->addWidget(BuddyLabel(QStringLiteral("Field &Name:"), cbFieldName, this), 0, 0);
    Grid->addWidget(cbFieldName, 0, 1);
    Grid->addWidget(BuddyLabel(QStringLiteral("O&perator:"), cbOperators, this), 1, 0);
    Grid->addWidget(cbOperators, 1, 1);
    Grid->addWidget(BuddyLabel(QStringLiteral("&Value:"), edValue, this), 2, 0);
    Grid->addWidget(edValue, 2, 1);
    Grid->setColumnStretch(1, 1);
    // While the names load: a busy bar and what the wait is at; after a
    // failed load, why.
    pbLoading = new QProgressBar(this);
    pbLoading->setObjectName(QStringLiteral("pbLoading"));
    pbLoading->setRange(0, 0);
    pbLoading->setTextVisible(false);
    pbLoading->setMaximumHeight(10);
    pbLoading->setAccessibleName(QStringLiteral("Loading field names"));
    pbLoading->hide();
    lblStatus = new QLabel(this);
    lblStatus->setObjectName(QStringLiteral("lblStatus"));
    lblStatus->setWordWrap(true);
    lblStatus->setMaximumWidth(360);
    lblStatus->hide();
    Grid->addWidget(pbLoading, 3, 0, 1, 2);
    Grid->addWidget(lblStatus, 4, 0, 1, 2);
    auto* Buttons = new QHBoxLayout;
    Buttons->addStretch(1);
    Buttons->addWidget(btnOK);
    Buttons->addWidget(btnCancel);
    auto* Layout = new QVBoxLayout(this);
    Layout->addLayout(Grid);
    Layout->addSpacing(6);
    Layout->addLayout(Buttons);
    Layout->setSizeConstraint(QLayout::SetFixedSize);

    for (const TOperatorItem& Item : OperatorItems)
        cbOperators->addItem(QString::fromLatin1(Item.Text), int(Item.Type));
    if (cbOperators->count() == 0)
        ConditionsAssert(QString::fromLatin1(SAssertionFailure));
    cbOperators->setCurrentIndex(0);

    connect(cbFieldName, &QComboBox::currentIndexChanged, this, &TdlgCADSearch::UpdateOK);
    connect(cbFieldName, &QComboBox::editTextChanged, this, &TdlgCADSearch::UpdateOK);
    connect(cbOperators, &QComboBox::currentIndexChanged, this, &TdlgCADSearch::UpdateOK);
    connect(edValue, &QLineEdit::textChanged, this, &TdlgCADSearch::UpdateOK);

    FJob = new TJobHandle(this);
    FJob->SetAnswerLimit(TJobHandle::LibraryCallLimit);
    connect(FJob, &TJobHandle::Rows, this, &TdlgCADSearch::AddNames);
    connect(FJob, &TJobHandle::WaitingForServer, this,
            [this] { ShowLoading(QStringLiteral("Waiting for the server")); });
    connect(FJob, &TJobHandle::Started, this,
            [this] { ShowLoading(QStringLiteral("Loading the field names...")); });
    connect(FJob, &TJobHandle::Finished, this, [this] { NamesEnded(QString()); });
    connect(FJob, &TJobHandle::Failed, this, &TdlgCADSearch::NamesEnded);
    connect(FJob, &TJobHandle::ConnectionLost, this,
            [this] { NamesEnded(QStringLiteral("The connection to the server was lost")); });
    UpdateOK();
}

// The job handle, a child, cancels a job still running.
TdlgCADSearch::~TdlgCADSearch() = default;

bool TdlgCADSearch::Busy() const {
    return FJob->Running();
}

void TdlgCADSearch::FetchFieldNames() {
    cbFieldName->clear();
    cbFieldName->setEditable(false);
    cbFieldName->setToolTip(QString());
    lblStatus->clear();
    // Failed is shown before a start that cannot be made raises.
    FJob->Start(opSQLExecute, QString::fromLatin1(FieldNamesSQL));
    // A job the server takes at once has started before the handle could
    // tell of it.
    if (FJob->Running())
        ShowLoading(FJob->Waiting() ? QStringLiteral("Waiting for the server")
                                    : QStringLiteral("Loading the field names..."));
}

void TdlgCADSearch::ShowLoading(const QString& Text) {
    cbFieldName->setEnabled(false);
    cbFieldName->setPlaceholderText(QStringLiteral("Loading names..."));
    pbLoading->show();
    lblStatus->setText(Text);
    lblStatus->show();
    UpdateOK();
}

void TdlgCADSearch::AddNames(const IPC_DA_DBClient::TSelectResult& Result) {
    QStringList Names;
    if (Result.rows.rows_val != nullptr) {
        Names.reserve(qsizetype(Result.rows.rows_len));
        for (quint32 I = 0; I < Result.rows.rows_len; ++I)
            Names.append(QString::fromLocal8Bit(ColumnBytes(Result.rows.rows_val[I], 0)));
    }
    // The list chooses its first entry when it gets one; the choice is the
    // operator's.
    const int Selected = cbFieldName->currentIndex();
    cbFieldName->addItems(Names);
    if (Selected < 0)
        cbFieldName->setCurrentIndex(-1);
}

void TdlgCADSearch::NamesEnded(const QString& Error) {
    pbLoading->hide();
    cbFieldName->setEnabled(true);
    if (Error.isEmpty()) {
        lblStatus->clear();
        lblStatus->hide();
        cbFieldName->setPlaceholderText(
            cbFieldName->count() == 0 ? QStringLiteral("(no field names)") : QString());
    } else {
        // The operator may know the name the archive did not list.
        cbFieldName->setPlaceholderText(QStringLiteral("Type a field name"));
        cbFieldName->setEditable(true);
        cbFieldName->setCurrentIndex(-1);
        cbFieldName->setToolTip(Error);
        lblStatus->setText(QStringLiteral("The field names could not be loaded: %1").arg(Error));
        lblStatus->show();
    }
    SelectName();
    UpdateOK();
}

void TdlgCADSearch::SelectName() {
    const int Index = FWanted.isEmpty() ? -1 : cbFieldName->findText(FWanted, Qt::MatchExactly);
    cbFieldName->setCurrentIndex(Index);
    if (Index < 0 && cbFieldName->isEditable())
        cbFieldName->setEditText(FWanted);
}

QString TdlgCADSearch::FieldName() const {
    if (cbFieldName->isEditable() || cbFieldName->currentIndex() >= 0)
        return cbFieldName->currentText();
    return QString();
}

void TdlgCADSearch::done(int Result) {
    if (FJob->Running()) {
        try {
            FJob->Cancel();
        } catch (...) {
            // Closing goes on; the job is gone here either way.
            HandleApplicationException(std::current_exception());
        }
    }
    TUTCDialog::done(Result);
}

void TdlgCADSearch::UpdateOK() {
    btnOK->setEnabled(!FieldName().trimmed().isEmpty() && cbOperators->currentIndex() >= 0 &&
                      !edValue->text().trimmed().isEmpty());
}

void TdlgCADSearch::SetCriteria(const TCADSearchCriteria& Criteria) {
    FWanted = Criteria.Name;
    // Names still loading choose it when they are there.
    if (!Busy())
        SelectName();
    cbOperators->setCurrentIndex(cbOperators->findData(int(Criteria.SearchType)));
    edValue->setText(Criteria.Value);
    UpdateOK();
}

TCADSearchCriteria TdlgCADSearch::Criteria() const {
    TCADSearchCriteria Result;
    Result.Name = FieldName();
    const int Type = cbOperators->currentData().toInt();
    Result.SearchType = Type >= cstEqual && Type <= cstEndsWith ? TCADSearchType(Type) : cstEqual;
    Result.Value = edValue->text();
    return Result;
}

bool EditCADCriteria(QWidget* Owner, const QString& Caption, TCADSearchCriteria& Criteria) {
    // Released on every way out, also when fetching the names fails.
    TDialogRelease<TdlgCADSearch> Dialog(new TdlgCADSearch(Owner));
    Dialog->setWindowTitle(Caption);
    Dialog->FetchFieldNames();
    if (!Dialog)
        return false;
    Dialog->SetCriteria(Criteria);
    if (Dialog->exec() != QDialog::Accepted || !Dialog)
        return false;
    Criteria = Dialog->Criteria();
    return true;
}
