// The query builder: the modal dialog in which the operator composes a
// query from conditions, and the entry points the frame and the result
// windows use.
#pragma once

#include "Conditions.h"
#include "UTCDialog.h"
#include "vqlink/vqlink_records.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QProgressBar;
class QTimer;
class QMenu;
class QMimeData;
class QToolBar;
class QToolButton;
class TJobHandle;
class TQueryListBox;
class TUserData;
class TUserListView;
class TVQQuery;

class TdlgQueryBuilder : public TUTCDialog {
    Q_OBJECT
public:
    // The statement that lists the archive's users, groups and agents.
    static const char* const UserListSQL;

    explicit TdlgQueryBuilder(QWidget* Owner);
    ~TdlgQueryBuilder() override;

    // The user list is being loaded.
    bool Busy() const;
    // The title the dialog offers until the operator types another.
    void ProposeTitle(const QString& Title);
    // False when something failed while the dialog was being created (the
    // error was shown); the caller closes it then.
    bool CreationCompleted() const { return FCreated; }

    TVQQuery& Query() const { return *FQuery; }
    // The condition last clicked or acted on.
    TAQCondition* Condition() const;
    // The selected line of the condition list, -1 for none.
    int SelectedLine() const;

    // Takes over a query for editing: its conditions, and its title into
    // the title edit.
    void AssignQuery(TVQQuery& Source);

    // Empties the shared user list and starts filling it again from the
    // archive. A job that cannot be created leaves the list empty and
    // raises. A load that fails on the way leaves the list empty and says
    // why, in lblUsers and to the application's error display.
    void LoadUserList();
    // The user list's job.
    TJobHandle* UserListJob() const { return FUserJob; }
    // Inserts the selected users after line InsertAfter, one after the
    // other, in list order; "No Participants selected" without a selection.
    void InsertSelectedUsers(int InsertAfter);
    // Asks for an external number and inserts it as a participant.
    void AddExternalNumber();
    // Removes the query's first global caller id, or adds one.
    void ToggleGCID(int MemberIndex);
    // Asks for a call attached data criterion and adds it when confirmed.
    void AddCADWithDialog(int MemberIndex);
    // Opens the editor of a condition at a point of the screen.
    void EditCondition(TAQCondition* Condition, const QPoint& ScreenPos);
    // Moves the selected participant one line up (-1) or down (+1).
    void MoveSelectedParticipant(int Delta);
    // "Query builder" with the query file's name.
    void UpdateCaption();
    // The actions' states, evaluated whenever the application is idle.
    void ActionListUpdate();

    // Controls, by their form names.
    QToolBar* ToolBar1 = nullptr;
    QToolBar* ToolBar2 = nullptr;
    QLineEdit* Edit3 = nullptr;
    TQueryListBox* lbQuery = nullptr;
    QLineEdit* edFilter = nullptr;
    QToolButton* btnRefreshUsers = nullptr;
    TUserListView* lvUsers = nullptr;
    // Under the user list: a busy bar while it loads, and what the load is
    // at or why it failed.
    QProgressBar* pbUsers = nullptr;
    QLabel* lblUsers = nullptr;
    QMenu* pmQuery = nullptr;

    QAction* aLoad = nullptr;
    QAction* aSave = nullptr;
    QAction* aClear = nullptr;
    QAction* aDeleteCondition = nullptr;
    QAction* aEditCondition = nullptr;
    QAction* aExecute = nullptr;
    QAction* aHelp = nullptr;
    QAction* aSwitchOperator = nullptr;
    QAction* aClose = nullptr;
    QAction* aInstantMessages = nullptr;
    QAction* aRVM = nullptr;
    QAction* aVoiceMail = nullptr;
    QAction* aFaxes = nullptr;
    QAction* aExternalNumber = nullptr;
    QAction* aPartipiants = nullptr;
    QAction* aTimeSpan = nullptr;
    QAction* aTimeFrame = nullptr;
    QAction* aGCID = nullptr;
    QAction* aCAD = nullptr;
    QAction* aRefreshUsers = nullptr;
    QAction* aUserUp = nullptr;
    QAction* aUserDown = nullptr;

protected:
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

private:
    // The commands are set again whenever something they depend on changes.
    void FollowCommandState();
    void ScheduleUpdate();
    void CreateActions();
    void CreateControls();
    void FormCreate();
    // Runs an action's work; whatever it raises goes to the application's
    // error display.
    template <typename TWork> void Guarded(TWork Work);

    void aLoadExecute();
    void aSaveExecute();
    void aClearExecute();
    void aDeleteConditionExecute();
    void aEditConditionExecute();
    void aExecuteExecute();
    void aMediaExecute(TConditionKind Media);
    void aRefreshUsersExecute();
    void edFilterChange();
    void lbQueryMouseDown(int Row, TConditionHitTest Hit, const QPoint& ScreenPos);
    bool AcceptQueryDrop(const QMimeData* Data) const;
    void QueryDrop(const QMimeData* Data, int Row);
    bool AcceptUsersDrop(const QMimeData* Data) const;
    void UsersDrop();

    void CreateUserListJob();
    void ShowUserListLoading(const QString& Text);
    void AddUserRows(const IPC_DA_DBClient::TSelectResult& Result);
    void UserListEnded(const QString& Error);
    void ShowUsers();

    std::unique_ptr<TVQQuery> FQuery;
    TAQCondition* FCondition = nullptr;
    TJobHandle* FUserJob = nullptr;
    QTimer* FUpdateTimer = nullptr;
    // A start under way raises its own failure to whoever asked.
    bool FStartingUserList = false;
    bool FCreated = false;
};

// The main window's "Query Builder": composes a new query, titled Title
// until the operator changes it; true when the operator executed it (Query
// then holds it). Nothing happens without a working connection.
bool RunQueryBuilder(QWidget* Owner, const QString& Title, TVQQuery& Query);
// A result window's "Change": edits Query in the dialog; true when the
// operator executed it (Query then holds the new conditions).
bool EditQuery(QWidget* Owner, TVQQuery& Query);
