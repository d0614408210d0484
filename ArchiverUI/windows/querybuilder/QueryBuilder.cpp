#include "QueryBuilder.h"

#include "CADSearchDlg.h"
#include "CommonData.h"
#include "ConditionEditors.h"
#include "DataCache.h"
#include "DialogSupport.h"
#include "JobHandle.h"
#include "Manual.h"
#include "QueryLines.h"
#include "UserList.h"
#include "UserListView.h"
#include "VQFileDialog.h"
#include "VQInputBox.h"
#include "VQQuery.h"

#include <QAction>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPointer>
#include <QProgressBar>
#include <QScopeGuard>
#include <QShowEvent>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <stdexcept>

const char* const TdlgQueryBuilder::UserListSQL =
    "SELECT u.Display_Name, u.User_Id, 0 AS Group_Id FROM users AS u  UNION ALL SELECT "
    "g.Display_Name, 0,  g.Group_ID FROM groups AS g UNION ALL SELECT DISTINCT "
    "#F_CONCAT(g.Display_Name, ' agent ', u.Display_Name) Display_Name, p.User_ID, p.Group_ID "
    "FROM (select DISTINCT user_id, group_id from participants WHERE Group_ID is not null AND "
    "User_ID is not null) p JOIN users u ON (u.User_ID = p.User_ID) JOIN groups g ON "
    "(g.Group_ID = p.Group_ID) ORDER BY Display_Name ";

namespace {

// What the builder tells the operator when an action cannot be done.
class EQueryBuilderError : public std::runtime_error {
public:
    explicit EQueryBuilderError(const QString& Message)
        : std::runtime_error(Message.toUtf8().toStdString()) {}
};

constexpr const char* SNoParticipants = "No Participants selected";
constexpr const char* SUserListFailed = "The user list could not be loaded";

// One id of a user list row; false when the column holds no 32-bit number.
bool ReadId(const QByteArray& Text, qint32& Id) {
    bool Ok = false;
    const qint64 Value = Text.trimmed().toLongLong(&Ok);
    if (!Ok || Value < INT32_MIN || Value > INT32_MAX)
        return false;
    Id = qint32(Value);
    return true;
}

} // namespace

template <typename TWork> void TdlgQueryBuilder::Guarded(TWork Work) {
    try {
        Work();
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
}

TdlgQueryBuilder::TdlgQueryBuilder(QWidget* Owner) : TUTCDialog(Owner) {
    setObjectName(QStringLiteral("dlgQueryBuilder"));
    setSizeGripEnabled(true);
    resize(860, 540);
    CreateActions();
    CreateControls();
    FQuery = std::make_unique<TVQQuery>(nullptr);
    lbQuery->SetQuery(FQuery.get());
    FQuery->SetListBox(lbQuery);
    UpdateCaption();
    try {
        FormCreate();
        FCreated = true;
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
    FollowCommandState();
    ActionListUpdate();
}

TdlgQueryBuilder::~TdlgQueryBuilder() {
    // No update of a dialog on its way out: its controls go before its
    // connections do.
    FUpdateTimer = nullptr;
    // A user list that is still arriving is dropped (and emptied, so that
    // the next dialog loads it whole); the job handle cancels its job.
    if (FUserJob->Running() && UserList != nullptr)
        UserList->Clear();
    FCondition = nullptr;
    FQuery->SetListBox(nullptr);
    lbQuery->SetQuery(nullptr);
    FQuery.reset();
}

void TdlgQueryBuilder::FollowCommandState() {
    // A drop or a load changes the lines, the current line and the
    // condition at once: the commands are set once, after all of them.
    FUpdateTimer = new QTimer(this);
    FUpdateTimer->setSingleShot(true);
    FUpdateTimer->setInterval(0);
    connect(FUpdateTimer, &QTimer::timeout, this, &TdlgQueryBuilder::ActionListUpdate);
    const auto Schedule = &TdlgQueryBuilder::ScheduleUpdate;
    // The controller's news comes coalesced already.
    if (DBConnection != nullptr)
        connect(DBConnection->Events(), &TConnectionEvents::Changed, this,
                &TdlgQueryBuilder::ActionListUpdate);
    for (QAbstractItemModel* Model : {static_cast<QAbstractItemModel*>(lbQuery->LinesModel()),
                                      static_cast<QAbstractItemModel*>(lvUsers->UsersModel())}) {
        connect(Model, &QAbstractItemModel::dataChanged, this, Schedule);
        connect(Model, &QAbstractItemModel::rowsInserted, this, Schedule);
        connect(Model, &QAbstractItemModel::rowsRemoved, this, Schedule);
        connect(Model, &QAbstractItemModel::modelReset, this, Schedule);
    }
    for (QItemSelectionModel* Selection : {lbQuery->selectionModel(), lvUsers->selectionModel()}) {
        connect(Selection, &QItemSelectionModel::currentChanged, this, Schedule);
        connect(Selection, &QItemSelectionModel::selectionChanged, this, Schedule);
    }
}

void TdlgQueryBuilder::ScheduleUpdate() {
    if (FUpdateTimer != nullptr)
        FUpdateTimer->start();
}

void TdlgQueryBuilder::FormCreate() {
    ProposeTitle(QStringLiteral("Query 1"));
    lvUsers->UsersModel()->SetList(UserList);
    if (UserList != nullptr && UserList->Count() == 0)
        LoadUserList();
    ShowUsers();
}

void TdlgQueryBuilder::ProposeTitle(const QString& Title) {
    Edit3->setText(Title);
    FQuery->SetTitle(Title);
}

void TdlgQueryBuilder::CreateActions() {
    auto Make = [this](const char* Name, const QString& Caption, const QString& Hint, int Image,
                       const QKeySequence& Shortcut = QKeySequence()) {
        auto* Action = new QAction(Caption, this);
        Action->setObjectName(QLatin1String(Name));
        Action->setToolTip(Hint.isEmpty() ? PlainCaption(Caption) : Hint);
        Action->setStatusTip(Hint);
        if (!Shortcut.isEmpty()) {
            Action->setShortcut(Shortcut);
            Action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        if (CommonData != nullptr)
            Action->setIcon(CommonData->ActionGlyphs.Icon(Image));
        addAction(Action);
        return Action;
    };
    aLoad = Make("aLoad", QStringLiteral("&Load"), QStringLiteral("Load query"), 28);
    aSave = Make("aSave", QStringLiteral("&Save"), QStringLiteral("Save query"), 27);
    aClear = Make("aClear", QStringLiteral("Cle&ar"), QStringLiteral("Clear"), 65);
    aDeleteCondition =
        Make("aDeleteCondition", QStringLiteral("&Remove"), QStringLiteral("Remove condition"), 83,
             QKeySequence(Qt::CTRL | Qt::Key_Delete));
    aEditCondition = Make("aEditCondition", QStringLiteral("&Edit"),
                          QStringLiteral("Edit condition"), 76, QKeySequence(Qt::Key_F4));
    aExecute = Make("aExecute", QStringLiteral("E&xecute"), QStringLiteral("Execute query"), 39);
    aHelp = Make("aHelp", QStringLiteral("&Help"), QStringLiteral("Help"), 57);
    connect(aHelp, &QAction::triggered, this,
            [this] { ShowManual(this, QStringLiteral("query-builder")); });
    SetManualPage(this, QStringLiteral("query-builder"));
    aClose = Make("aClose", QStringLiteral("&Close"), QStringLiteral("Close"), 8);
    aInstantMessages = Make("aInstantMessages", QStringLiteral("Instant Messages"),
                            QStringLiteral("Instant Messages"), 72);
    aRVM = Make("aRVM", QStringLiteral("Recorded Voice Messages"),
                QStringLiteral("Recorded Voice Messages"), 20);
    aVoiceMail = Make("aVoiceMail", QStringLiteral("Voice Mail && Personal Call Recording"),
                      QStringLiteral("Voice Mail & Personal Call Recording"), 38);
    aFaxes = Make("aFaxes", QStringLiteral("Faxes"), QStringLiteral("Faxes"), 81);
    aExternalNumber = Make("aExternalNumber", QStringLiteral("External Number"), QString(), 89);
    aPartipiants = Make("aPartipiants", QStringLiteral("Add partiptipiant(s)"),
                        QStringLiteral("Add partiptipiant(s)"), 70);
    aTimeSpan = Make("aTimeSpan", QStringLiteral("Time Span"), QStringLiteral("Time Span"), 26);
    aTimeFrame = Make("aTimeFrame", QStringLiteral("Time Frame"), QStringLiteral("Time frame"), 9);
    aGCID = Make("aGCID", QStringLiteral("Global Call ID"), QStringLiteral("Global Call ID"), 41);
    aCAD = Make("aCAD", QStringLiteral("Call Attached Data"), QStringLiteral("Call Attached Data"),
                88);
    aRefreshUsers = Make("aRefreshUsers", QStringLiteral("Refresh user list"),
                         QStringLiteral("Refresh user list"), 85);
    aUserUp = Make("aUserUp", QStringLiteral("Up"), QStringLiteral("Up"), 87);
    aUserDown = Make("aUserDown", QStringLiteral("Down"), QStringLiteral("Down"), 86);
    // The "and"/"or" between two participants, which a click on it switches.
    aSwitchOperator =
        Make("aSwitchOperator", QStringLiteral("Switch and/or"), QStringLiteral("Switch and/or"),
             -1, QKeySequence(Qt::CTRL | Qt::Key_Space));
    connect(aSwitchOperator, &QAction::triggered, this, [this] {
        Guarded([this] {
            TAQCondition* Line = FQuery->GetCondition(SelectedLine());
            TAQCondition* Next = FQuery->GetCondition(SelectedLine() + 1);
            if (Line != nullptr && Next != nullptr && Line->Kind() == ckValue &&
                Next->Kind() == ckValue) {
                FCondition = Line;
                Line->SwitchOperator();
            }
        });
    });

    // Media types by their action tags.
    const std::pair<QAction*, TConditionKind> Media[] = {
        {aInstantMessages, ckIM}, {aRVM, ckRVM}, {aVoiceMail, ckVM}, {aFaxes, ckFaxes}};
    for (const auto& [Action, Kind] : Media) {
        Action->setCheckable(true);
        Action->setData(int(Kind));
        const TConditionKind MediaKind = Kind;
        connect(Action, &QAction::triggered, this, [this, MediaKind] { aMediaExecute(MediaKind); });
    }
    aGCID->setCheckable(true);

    connect(aLoad, &QAction::triggered, this, [this] { Guarded([this] { aLoadExecute(); }); });
    connect(aSave, &QAction::triggered, this, [this] { Guarded([this] { aSaveExecute(); }); });
    connect(aClear, &QAction::triggered, this, [this] { Guarded([this] { aClearExecute(); }); });
    connect(aDeleteCondition, &QAction::triggered, this,
            [this] { Guarded([this] { aDeleteConditionExecute(); }); });
    connect(aEditCondition, &QAction::triggered, this,
            [this] { Guarded([this] { aEditConditionExecute(); }); });
    connect(aExecute, &QAction::triggered, this,
            [this] { Guarded([this] { aExecuteExecute(); }); });
    connect(aClose, &QAction::triggered, this, &QDialog::reject);
    connect(aExternalNumber, &QAction::triggered, this,
            [this] { Guarded([this] { AddExternalNumber(); }); });
    connect(aPartipiants, &QAction::triggered, this,
            [this] { Guarded([this] { InsertSelectedUsers(SelectedLine()); }); });
    connect(aTimeSpan, &QAction::triggered, this,
            [this] { Guarded([this] { FQuery->AddTimeSpan(SelectedLine()); }); });
    connect(aTimeFrame, &QAction::triggered, this,
            [this] { Guarded([this] { FQuery->AddTimeFrame(SelectedLine()); }); });
    connect(aGCID, &QAction::triggered, this,
            [this] { Guarded([this] { ToggleGCID(SelectedLine()); }); });
    connect(aCAD, &QAction::triggered, this,
            [this] { Guarded([this] { AddCADWithDialog(SelectedLine()); }); });
    connect(aRefreshUsers, &QAction::triggered, this,
            [this] { Guarded([this] { aRefreshUsersExecute(); }); });
    connect(aUserUp, &QAction::triggered, this,
            [this] { Guarded([this] { MoveSelectedParticipant(-1); }); });
    connect(aUserDown, &QAction::triggered, this,
            [this] { Guarded([this] { MoveSelectedParticipant(1); }); });
}

void TdlgQueryBuilder::CreateControls() {
    ToolBar1 = new QToolBar(QStringLiteral("ToolBar1"), this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(20, 20));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    for (QAction* Action : {aLoad, aSave, aClear})
        ToolBar1->addAction(Action);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aDeleteCondition);
    ToolBar1->addAction(aEditCondition);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aExecute);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aHelp);
    ToolBar1->addAction(aClose);

    ToolBar2 = new QToolBar(QStringLiteral("ToolBar2"), this);
    ToolBar2->setObjectName(QStringLiteral("ToolBar2"));
    ToolBar2->setOrientation(Qt::Vertical);
    ToolBar2->setIconSize(QSize(20, 20));
    ToolBar2->setToolButtonStyle(Qt::ToolButtonIconOnly);
    for (QAction* Action : {aInstantMessages, aRVM, aVoiceMail, aFaxes})
        ToolBar2->addAction(Action);
    ToolBar2->addSeparator();
    ToolBar2->addAction(aExternalNumber);
    ToolBar2->addAction(aPartipiants);
    ToolBar2->addSeparator();
    for (QAction* Action : {aTimeSpan, aTimeFrame, aGCID, aCAD})
        ToolBar2->addAction(Action);
    ToolBar2->addSeparator();
    ToolBar2->addAction(aUserUp);
    ToolBar2->addAction(aUserDown);

    Edit3 = new QLineEdit(this);
    Edit3->setObjectName(QStringLiteral("Edit3"));
    lbQuery = new TQueryListBox(this);
    lbQuery->setMinimumWidth(380);
    lbQuery->setContextMenuPolicy(Qt::CustomContextMenu);
    pmQuery = new QMenu(this);
    pmQuery->setObjectName(QStringLiteral("pmQuery"));
    for (QAction* Action : {aLoad, aSave, aClear, aExecute})
        pmQuery->addAction(Action);
    pmQuery->addSeparator();
    pmQuery->addAction(aEditCondition);
    pmQuery->addAction(aDeleteCondition);
    // What the side tool bar offers, for the keyboard (its buttons take no
    // focus): the context menu key reaches it.
    pmQuery->addAction(aSwitchOperator);
    pmQuery->addAction(aExternalNumber);
    pmQuery->addAction(aUserUp);
    pmQuery->addAction(aUserDown);
    connect(lbQuery, &QWidget::customContextMenuRequested, this, [this](const QPoint& Point) {
        pmQuery->popup(lbQuery->viewport()->mapToGlobal(Point));
    });
    lbQuery->OnLineMouseDown = [this](int Row, TConditionHitTest Hit, const QPoint& ScreenPos) {
        Guarded([&] { lbQueryMouseDown(Row, Hit, ScreenPos); });
    };
    lbQuery->OnSpace = [this] {
        ActionListUpdate();
        if (aEditCondition->isEnabled())
            aEditCondition->trigger();
    };
    lbQuery->OnAcceptDrop = [this](const QMimeData* Data) { return AcceptQueryDrop(Data); };
    lbQuery->OnDrop = [this](const QMimeData* Data, int Row) {
        Guarded([&] { QueryDrop(Data, Row); });
    };

    edFilter = new QLineEdit(this);
    edFilter->setObjectName(QStringLiteral("edFilter"));
    edFilter->setClearButtonEnabled(true);
    connect(edFilter, &QLineEdit::textChanged, this, [this] { edFilterChange(); });
    btnRefreshUsers = new QToolButton(this);
    btnRefreshUsers->setObjectName(QStringLiteral("btnRefreshUsers"));
    btnRefreshUsers->setDefaultAction(aRefreshUsers);
    btnRefreshUsers->setIconSize(QSize(20, 20));
    btnRefreshUsers->setAccessibleName(QStringLiteral("Refresh user list"));
    lvUsers = new TUserListView(this);
    lvUsers->setMinimumWidth(220);
    connect(lvUsers, &QAbstractItemView::doubleClicked, this,
            [this] { Guarded([this] { InsertSelectedUsers(SelectedLine()); }); });
    lvUsers->OnAcceptDrop = [this](const QMimeData* Data) { return AcceptUsersDrop(Data); };
    lvUsers->OnDrop = [this](const QMimeData*) { Guarded([this] { UsersDrop(); }); };

    auto* TitleRow = new QHBoxLayout;
    TitleRow->addWidget(BuddyLabel(QStringLiteral("&Title:"), Edit3, this));
    TitleRow->addWidget(Edit3, 1);
    auto* Left = new QVBoxLayout;
    Left->addLayout(TitleRow);
    Left->addWidget(lbQuery, 1);

    auto* FilterRow = new QHBoxLayout;
    FilterRow->addWidget(BuddyLabel(QStringLiteral("&Filter:"), edFilter, this));
    FilterRow->addWidget(edFilter, 1);
    FilterRow->addWidget(btnRefreshUsers);
    pbUsers = new QProgressBar(this);
    pbUsers->setObjectName(QStringLiteral("pbUsers"));
    pbUsers->setRange(0, 0);
    pbUsers->setTextVisible(false);
    pbUsers->setMaximumHeight(10);
    pbUsers->setAccessibleName(QStringLiteral("Loading the user list"));
    pbUsers->hide();
    lblUsers = new QLabel(this);
    lblUsers->setObjectName(QStringLiteral("lblUsers"));
    lblUsers->setWordWrap(true);
    lblUsers->hide();
    auto* Right = new QVBoxLayout;
    Right->addLayout(FilterRow);
    Right->addWidget(lvUsers, 1);
    Right->addWidget(pbUsers);
    Right->addWidget(lblUsers);
    CreateUserListJob();

    auto* Body = new QHBoxLayout;
    Body->addLayout(Left, 3);
    Body->addWidget(ToolBar2, 0);
    Body->addLayout(Right, 2);

    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(6, 4, 6, 6);
    Layout->addWidget(ToolBar1);
    Layout->addLayout(Body, 1);
    lbQuery->setFocus();
}

int TdlgQueryBuilder::SelectedLine() const {
    return lbQuery->ItemIndex();
}

void TdlgQueryBuilder::UpdateCaption() {
    const QString Name = QFileInfo(FQuery->FileName()).completeBaseName();
    // "Query builder" and the name in brackets; a blank alone without one.
    setWindowTitle(
        QStringLiteral("%1 %2").arg(QStringLiteral("Query builder"),
                                    Name.isEmpty() ? QString() : QStringLiteral("[%1]").arg(Name)));
}

void TdlgQueryBuilder::AssignQuery(TVQQuery& Source) {
    FCondition = nullptr;
    FQuery->Assign(Source);
    FQuery->SetTitle(Source.Title());
    Edit3->setText(Source.Title());
    UpdateCaption();
}

void TdlgQueryBuilder::ActionListUpdate() {
    if (!FQuery)
        return;
    const int Line = SelectedLine();
    const bool ControllerEnabled = DBConnection == nullptr || DBConnection->Enabled();
    aExecute->setEnabled(!FQuery->HasError() && ControllerEnabled);
    aDeleteCondition->setEnabled(FQuery->CanDelete(Line));
    aEditCondition->setEnabled(FQuery->CanEdit(Line));
    for (QAction* Media : {aInstantMessages, aRVM, aVoiceMail, aFaxes})
        Media->setChecked(FQuery->MediaTypeExists(TConditionKind(Media->data().toInt()), Line));
    auto IsParticipant = [this](int Index) {
        const TAQCondition* Condition = FQuery->GetCondition(Index);
        return Condition != nullptr && Condition->OwnedByHeader();
    };
    aUserUp->setEnabled(Line > 0 && IsParticipant(Line) && IsParticipant(Line - 1));
    aUserDown->setEnabled(Line > 0 && IsParticipant(Line) && IsParticipant(Line + 1));
    const bool ServerBusy = TJobHandle::TurnTaken();
    aRefreshUsers->setEnabled(!ServerBusy && ControllerEnabled && UserList != nullptr);
    aPartipiants->setEnabled(lvUsers->SelectedCount() > 0);
    const TAQCondition* Remembered = Condition();
    if (Remembered == nullptr)
        Remembered = FQuery->GetCondition(Line);
    const quint8 QueryID =
        Remembered != nullptr ? Remembered->CIDQueryID() : FQuery->QueryIDAt(Line);
    aGCID->setChecked(FQuery->KindExists(KindSet({ckGCID}), QueryID));
}

// ---------------------------------------------------------------------------
// The condition list

void TdlgQueryBuilder::lbQueryMouseDown(int Row, TConditionHitTest Hit, const QPoint& ScreenPos) {
    TAQCondition* Clicked = FQuery->GetCondition(Row);
    if (Clicked == nullptr)
        return;
    FCondition = Clicked;
    ScheduleUpdate();
    switch (Hit) {
    case chtValue:
        EditCondition(Clicked, ScreenPos);
        break;
    case chtOperator:
        Clicked->SwitchOperator();
        break;
    default:
        // A participant's caption starts a drag (the list does that).
        break;
    }
}

void TdlgQueryBuilder::EditCondition(TAQCondition* Target, const QPoint& ScreenPos) {
    if (Target == nullptr)
        return;
    FCondition = Target;
    if (std::unique_ptr<TAQConditionEditor> Editor = CreateConditionEditor(*this, *Target))
        Editor->Edit(ScreenPos);
}

TAQCondition* TdlgQueryBuilder::Condition() const {
    // The remembered condition may have been deleted since.
    for (int I = 0; FCondition != nullptr && I < FQuery->Count(); ++I)
        if (FQuery->GetCondition(I) == FCondition)
            return FCondition;
    return nullptr;
}

bool TdlgQueryBuilder::AcceptQueryDrop(const QMimeData* Data) const {
    if (Data == nullptr)
        return false;
    if (Data->hasFormat(QString::fromLatin1(UsersMimeType)))
        return lvUsers->SelectedCount() > 0;
    if (Data->hasFormat(QString::fromLatin1(ParticipantMimeType))) {
        const int Line = SelectedLine();
        const TAQCondition* Dragged = FQuery->GetCondition(Line);
        return Line > 0 && Dragged != nullptr && Dragged->OwnedByHeader();
    }
    return false;
}

void TdlgQueryBuilder::QueryDrop(const QMimeData* Data, int Row) {
    if (Data->hasFormat(QString::fromLatin1(UsersMimeType))) {
        InsertSelectedUsers(Row);
        return;
    }
    TAQCondition* Dragged = FQuery->GetCondition(SelectedLine());
    if (Dragged == nullptr || !Dragged->OwnedByHeader())
        return;
    FCondition = Dragged;
    Dragged->MoveTo(Row);
    lbQuery->SetItemIndex(Dragged->Index());
    lbQuery->Repaint();
}

bool TdlgQueryBuilder::AcceptUsersDrop(const QMimeData* Data) const {
    if (Data == nullptr || !Data->hasFormat(QString::fromLatin1(ParticipantMimeType)))
        return false;
    const TAQCondition* Dragged = FQuery->GetCondition(SelectedLine());
    return SelectedLine() > 0 && Dragged != nullptr && Dragged->OwnedByHeader();
}

void TdlgQueryBuilder::UsersDrop() {
    TAQCondition* Dragged = FQuery->GetCondition(SelectedLine());
    if (Dragged == nullptr || !Dragged->OwnedByHeader())
        return;
    if (FCondition == Dragged)
        FCondition = nullptr;
    FQuery->DeleteCondition(Dragged);
}

// ---------------------------------------------------------------------------
// Actions

void TdlgQueryBuilder::aLoadExecute() {
    TFileDialogRequest Request;
    Request.Title = QString::fromLatin1(LoadQueryTitle);
    Request.Filter = QString::fromLatin1(QueryFileFilter);
    Request.DefaultExt = QString::fromLatin1(QueryFileExtension);
    if (!FQuery->FileName().isEmpty())
        Request.FileName = QFileInfo(FQuery->FileName()).absolutePath();
    const QString Name = TVQFileDialog::GetOpenFileName(this, Request);
    if (Name.isEmpty())
        return;
    // Read aside first: a file that fails leaves the query being built as
    // it was, and says why.
    TVQQuery Loaded;
    Loaded.LoadFromFile(Name);
    FCondition = nullptr;
    try {
        FQuery->LoadFromFile(Name);
    } catch (const std::exception&) {
        // The file changed since it was read; what was read stands.
        FQuery->Assign(Loaded);
    }
    Edit3->setText(FQuery->Title());
    UpdateCaption();
}

void TdlgQueryBuilder::aSaveExecute() {
    FQuery->SetTitle(Edit3->text());
    TFileDialogRequest Request;
    Request.Title = QString::fromLatin1(SaveQueryTitle);
    Request.Filter = QString::fromLatin1(QueryFileFilter);
    Request.DefaultExt = QString::fromLatin1(QueryFileExtension);
    Request.FileName = FQuery->FileName();
    const QString Name = TVQFileDialog::GetSaveFileName(this, Request);
    if (Name.isEmpty())
        return;
    FQuery->SaveToFile(Name);
    UpdateCaption();
}

void TdlgQueryBuilder::aClearExecute() {
    FCondition = nullptr;
    FQuery->Init();
    UpdateCaption();
}

void TdlgQueryBuilder::aDeleteConditionExecute() {
    const int Line = SelectedLine();
    if (!FQuery->CanDelete(Line))
        return;
    TAQCondition* Target = FQuery->GetCondition(Line);
    if (FCondition == Target)
        FCondition = nullptr;
    FQuery->DeleteCondition(Target);
}

void TdlgQueryBuilder::aEditConditionExecute() {
    const int Line = SelectedLine();
    TAQCondition* Target = FQuery->GetCondition(Line);
    if (Target == nullptr || !FQuery->CanEdit(Line))
        return;
    // Below the value, where a click would have opened it.
    lbQuery->UpdateLineRects(Line);
    QRect Where = Target->ValueRect();
    if (Where.isEmpty())
        Where = lbQuery->visualRect(lbQuery->LinesModel()->index(Line));
    EditCondition(Target, lbQuery->viewport()->mapToGlobal(Where.bottomLeft()));
}

void TdlgQueryBuilder::aExecuteExecute() {
    ActionListUpdate();
    if (!aExecute->isEnabled())
        return;
    FQuery->SetTitle(Edit3->text());
    accept();
}

void TdlgQueryBuilder::aMediaExecute(TConditionKind Media) {
    Guarded([&] { FQuery->AddDeleteMediaType(Media, SelectedLine()); });
    ActionListUpdate();
}

void TdlgQueryBuilder::aRefreshUsersExecute() {
    LoadUserList();
}

void TdlgQueryBuilder::AddExternalNumber() {
    QString Number;
    if (!TVQInputBox::InputQuery(this, QStringLiteral("Condition - External Number"),
                                 QStringLiteral("External number equals to "), Number))
        return;
    // Blanks around a number are never part of it.
    Number = Number.trimmed();
    if (Number.isEmpty())
        return;
    FQuery->InsertPartipiant(SelectedLine(), Number, 0, ukExternalAddress);
}

void TdlgQueryBuilder::InsertSelectedUsers(int InsertAfter) {
    const QList<const TUserData*> Entries = lvUsers->SelectedEntries();
    if (Entries.isEmpty())
        throw EQueryBuilderError(QString::fromLatin1(SNoParticipants));
    int Position = InsertAfter;
    for (const TUserData* Entry : Entries)
        Position = FQuery->InsertPartipiant(Position, Entry->Name(), Entry->ID(), Entry->Kind());
}

void TdlgQueryBuilder::ToggleGCID(int MemberIndex) {
    const int Existing = FQuery->FindKind(KindSet({ckGCID}), FQuery->QueryIDAt(MemberIndex), 0);
    if (Existing >= 0) {
        TAQCondition* Target = FQuery->GetCondition(Existing);
        if (FCondition == Target)
            FCondition = nullptr;
        FQuery->DeleteCondition(Target);
    } else {
        FQuery->AddGCID(MemberIndex);
    }
}

void TdlgQueryBuilder::AddCADWithDialog(int MemberIndex) {
    TCADSearchCriteria Criteria;
    if (EditCADCriteria(this, QStringLiteral("Call Attached Data"), Criteria))
        FQuery->AddCAD(MemberIndex, Criteria);
}

void TdlgQueryBuilder::MoveSelectedParticipant(int Delta) {
    const int Line = SelectedLine();
    TAQCondition* Moved = FQuery->GetCondition(Line);
    TAQCondition* Other = FQuery->GetCondition(Line + Delta);
    if (Line <= 0 || Moved == nullptr || Other == nullptr || !Moved->OwnedByHeader() ||
        FQuery->HeaderOf(Moved) != FQuery->HeaderOf(Other))
        return;
    FCondition = Moved;
    FQuery->Move(Line, Line + Delta);
    FQuery->RenumberParticipants(FQuery->HeaderOf(Moved));
    lbQuery->SetItemIndex(Moved->Index());
    lbQuery->Repaint();
}

// ---------------------------------------------------------------------------
// The user list

void TdlgQueryBuilder::ShowUsers() {
    lvUsers->UsersModel()->Reset(UserList != nullptr ? UserList->VisibleCount() : 0);
}

void TdlgQueryBuilder::edFilterChange() {
    if (UserList == nullptr)
        return;
    UserList->ApplyFilter(edFilter->text());
    ShowUsers();
}

void TdlgQueryBuilder::showEvent(QShowEvent* Event) {
    TUTCDialog::showEvent(Event);
    if (!Event->spontaneous())
        edFilterChange();
}

void TdlgQueryBuilder::CreateUserListJob() {
    FUserJob = new TJobHandle(this);
    FUserJob->SetTakesTurns(true);
    FUserJob->SetAnswerLimit(TJobHandle::LibraryCallLimit);
    connect(FUserJob, &TJobHandle::Rows, this, &TdlgQueryBuilder::AddUserRows);
    connect(FUserJob, &TJobHandle::WaitingForServer, this,
            [this] { ShowUserListLoading(QStringLiteral("Waiting for the server")); });
    connect(FUserJob, &TJobHandle::Started, this,
            [this] { ShowUserListLoading(QStringLiteral("Loading the user list...")); });
    connect(FUserJob, &TJobHandle::Replaced, this, [this] {
        // The copy restarted after a reconnect brings the whole list.
        if (UserList != nullptr)
            UserList->Clear();
        ShowUsers();
    });
    connect(FUserJob, &TJobHandle::Finished, this, [this] { UserListEnded(QString()); });
    connect(FUserJob, &TJobHandle::Failed, this, &TdlgQueryBuilder::UserListEnded);
    connect(FUserJob, &TJobHandle::ConnectionLost, this, [this](qint64) {
        UserListEnded(QStringLiteral("The connection to the server was lost"));
    });
}

bool TdlgQueryBuilder::Busy() const {
    return FUserJob != nullptr && FUserJob->Running();
}

void TdlgQueryBuilder::LoadUserList() {
    if (UserList == nullptr)
        return;
    UserList->Clear();
    ShowUsers();
    lblUsers->clear();
    FStartingUserList = true;
    const auto Started = qScopeGuard([this] { FStartingUserList = false; });
    FUserJob->Start(opSQLExecute, QString::fromLatin1(UserListSQL));
}

void TdlgQueryBuilder::ShowUserListLoading(const QString& Text) {
    pbUsers->show();
    lblUsers->setText(Text);
    lblUsers->show();
}

void TdlgQueryBuilder::AddUserRows(const IPC_DA_DBClient::TSelectResult& Result) {
    if (UserList == nullptr || Result.rows.rows_val == nullptr)
        return;
    for (quint32 I = 0; I < Result.rows.rows_len; ++I) {
        const IPC_DA_DBClient::TSelectRow& Row = Result.rows.rows_val[I];
        qint32 UserId = 0;
        qint32 GroupId = 0;
        // A row without two numbers names nobody that could be asked for.
        if (!ReadId(ColumnBytes(Row, 1), UserId) || !ReadId(ColumnBytes(Row, 2), GroupId))
            continue;
        UserList->AddUser(QString::fromUtf8(ColumnBytes(Row, 0)), GroupId, UserId);
    }
    lvUsers->UsersModel()->SetCount(UserList->VisibleCount());
    lblUsers->setText(QStringLiteral("Loading the user list... %1").arg(UserList->Count()));
}

void TdlgQueryBuilder::UserListEnded(const QString& Error) {
    pbUsers->hide();
    SetScreenCursor(crDefault);
    if (Error.isEmpty()) {
        lblUsers->clear();
        lblUsers->hide();
        return;
    }
    // A list that failed on the way is not offered in part: what is shown
    // is the archive's users or the reason there are none.
    if (UserList != nullptr)
        UserList->Clear();
    ShowUsers();
    lvUsers->viewport()->update();
    lblUsers->setText(QStringLiteral("%1: %2").arg(QString::fromLatin1(SUserListFailed), Error));
    lblUsers->show();
    // A start that fails raises to whoever asked, who reports it.
    if (!FStartingUserList)
        HandleApplicationException(std::make_exception_ptr(EQueryBuilderError(Error)));
}

void TdlgQueryBuilder::keyPressEvent(QKeyEvent* Event) {
    switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (Event->modifiers() == Qt::NoModifier || Event->modifiers() == Qt::KeypadModifier) {
            // Enter in the user list adds the chosen users, as a double
            // click does; in the filter it goes on to the list.
            if (lvUsers->hasFocus()) {
                Guarded([this] { InsertSelectedUsers(SelectedLine()); });
                Event->accept();
                return;
            }
            if (edFilter->hasFocus()) {
                lvUsers->setFocus();
                Event->accept();
                return;
            }
            ActionListUpdate();
            if (aExecute->isEnabled())
                aExecute->trigger();
            Event->accept();
            return;
        }
        break;
    case Qt::Key_Escape:
        Event->accept();
        reject();
        return;
    default:
        break;
    }
    TUTCDialog::keyPressEvent(Event);
}

// ---------------------------------------------------------------------------
// Entry points

namespace {

// The builder as a modal dialog; Prepare fills it before it shows. Query
// takes what the operator accepted.
template <typename TPrepare> bool RunBuilder(QWidget* Owner, TVQQuery& Query, TPrepare Prepare) {
    if (DBConnection == nullptr || !DBConnection->ConnectionOK())
        return false;
    TDialogRelease<TdlgQueryBuilder> Dialog(new TdlgQueryBuilder(Owner));
    if (!Dialog->CreationCompleted()) {
        Dialog->close();
        return false;
    }
    Prepare(*Dialog.Get());
    if (Dialog->exec() != QDialog::Accepted || !Dialog)
        return false;
    Query.Assign(Dialog->Query());
    Query.SetTitle(Dialog->Query().Title());
    return true;
}

} // namespace

bool RunQueryBuilder(QWidget* Owner, const QString& Title, TVQQuery& Query) {
    return RunBuilder(Owner, Query, [&](TdlgQueryBuilder& Dialog) { Dialog.ProposeTitle(Title); });
}

bool EditQuery(QWidget* Owner, TVQQuery& Query) {
    return RunBuilder(Owner, Query, [&](TdlgQueryBuilder& Dialog) { Dialog.AssignQuery(Query); });
}
