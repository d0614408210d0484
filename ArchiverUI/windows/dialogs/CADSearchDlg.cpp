#include "CADSearchDlg.h"

#include "DataCache.h"
#include "DialogSupport.h"
#include "Manual.h"
#include "ModelErrors.h"

#include <QComboBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
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
    connect(cbOperators, &QComboBox::currentIndexChanged, this, &TdlgCADSearch::UpdateOK);
    connect(edValue, &QLineEdit::textChanged, this, &TdlgCADSearch::UpdateOK);
    UpdateOK();
}

TdlgCADSearch::~TdlgCADSearch() {
    FCache = nullptr;
    FBusy = false;
    EndWait();
    if (DBConnection != nullptr) {
        try {
            DBConnection->CancelJob(this);
        } catch (...) {
            HandleApplicationException(std::current_exception());
        }
    }
}

void TdlgCADSearch::FetchFieldNames() {
    cbFieldName->clear();
    cbFieldName->setPlaceholderText(QString());
    cbFieldName->setToolTip(QString());
    FBusy = true;
    TVQArcCache* Job = nullptr;
    try {
        Job = TVQArcCache::Create(TWindowHandle(this), opSQLExecute,
                                  QString::fromLatin1(FieldNamesSQL));
    } catch (...) {
        FBusy = false;
        throw;
    }
    // None: the job was freed while it was being started.
    if (Job == nullptr) {
        FBusy = false;
        return;
    }
    FCache = Job;
    const QPointer<TdlgCADSearch> Self(this);
    QEventLoop Wait;
    FWait = &Wait;
    // The operator cannot act on the windows below while the names arrive:
    // the wait runs inside an editor of the query builder.
    if (FBusy)
        Wait.exec(QEventLoop::ExcludeUserInputEvents);
    if (Self)
        FWait = nullptr;
}

void TdlgCADSearch::EndWait() {
    if (FWait)
        FWait->quit();
}

bool TdlgCADSearch::event(QEvent* Event) {
    if (!IsDBMessage(Event))
        return TUTCDialog::event(Event);
    const auto* Message = static_cast<const TDBMessage*>(Event);
    switch (Message->Msg()) {
    case WM_DB_SELECTRESULT: {
        const auto* Result = Message->Record<IPC_DA_DBClient::TSelectResult>();
        if (Result == nullptr)
            return true;
        if (FCache == nullptr || Message->Cache() != FCache) {
            // A copy of the job that the controller started again after a
            // reconnect, once the wait was over: it is let go at its end.
            if (Result->error.error != deSuccess || !Result->hasMore)
                PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, 0, Message->LParam);
            return true;
        }
        if (Result->error.error != deSuccess) {
            // The list the wait ends with is empty, and says why.
            cbFieldName->clear();
            cbFieldName->setPlaceholderText(QStringLiteral("(no field names)"));
            cbFieldName->setToolTip(QString::fromLocal8Bit(ErrorMessage(Result->error)));
            PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, 0, Message->LParam);
            return true;
        }
        QStringList Names;
        if (Result->rows.rows_val != nullptr) {
            Names.reserve(qsizetype(Result->rows.rows_len));
            for (quint32 I = 0; I < Result->rows.rows_len; ++I)
                Names.append(QString::fromLocal8Bit(ColumnBytes(Result->rows.rows_val[I], 0)));
        }
        // A list that gets its first entries selects the first of them;
        // the choice stays the operator's.
        const int Selected = cbFieldName->currentIndex();
        cbFieldName->addItems(Names);
        if (Selected < 0)
            cbFieldName->setCurrentIndex(-1);
        if (!Result->hasMore)
            PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, 0, Message->LParam);
        return true;
    }
    case WM_DB_JOBDONE: {
        if (FCache == nullptr || Message->Cache() != FCache) {
            if (DBConnection != nullptr && Message->Cache() != nullptr)
                DBConnection->FreeCache(Message->Cache());
            return true;
        }
        TVQArcCache* Job = FCache;
        FCache = nullptr;
        FBusy = false;
        if (DBConnection != nullptr)
            DBConnection->FreeCache(Job);
        SetScreenCursor(crDefault);
        EndWait();
        return true;
    }
    case WM_DB_CACHEFREED:
        // The controller dropped the job without its last result.
        if (FCache != nullptr && Message->Cache() == FCache) {
            FCache = nullptr;
            FBusy = false;
            SetScreenCursor(crDefault);
            EndWait();
        }
        return true;
    default:
        return true;
    }
}

void TdlgCADSearch::UpdateOK() {
    btnOK->setEnabled(cbFieldName->currentIndex() >= 0 && cbOperators->currentIndex() >= 0 &&
                      !edValue->text().trimmed().isEmpty());
}

void TdlgCADSearch::SetCriteria(const TCADSearchCriteria& Criteria) {
    cbFieldName->setCurrentIndex(cbFieldName->findText(Criteria.Name, Qt::MatchExactly));
    cbOperators->setCurrentIndex(cbOperators->findData(int(Criteria.SearchType)));
    edValue->setText(Criteria.Value);
    UpdateOK();
}

TCADSearchCriteria TdlgCADSearch::Criteria() const {
    TCADSearchCriteria Result;
    Result.Name = cbFieldName->currentIndex() >= 0 ? cbFieldName->currentText() : QString();
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
