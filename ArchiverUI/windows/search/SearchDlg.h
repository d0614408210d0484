// The text search dialog: the operator types phrases, chooses which
// instant messages to search (all of the archive, the active result
// window's, or its selected ones) and where the hits go (a new result
// window or the active one), and watches the server search. One dialog
// serves the whole run of the program and is shown modally each time.
//
// The search is two jobs in a row: for "All database records" a statement
// collects the ids of every instant message first; then one text search
// job hands the ids and phrases to the server, whose progress reports fill
// the progress bar and the counters and collect the hits. When every record
// is searched (or the operator interrupts), the dialog closes and the hits
// are listed in a result window.
#pragma once

#include "DataCache.h"
#include "JobHandle.h"
#include "QueryResult.h"
#include "UTCDialog.h"

#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>

#include <memory>

class QAction;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class TfrmQueryResult;
class TSearchOptions;
class TStatusPanel;

class TdlgSearch : public TUTCDialog {
    Q_OBJECT
public:
    // Entries the phrase history keeps, newest first.
    static constexpr int MaxHistory = 20;

    // The status bar's panels.
    enum TPanel {
        pnTotalLabel = 0,
        pnTotal = 1,
        pnProcessedLabel = 2,
        pnProcessed = 3,
        pnFoundLabel = 4,
        pnFound = 5,
        pnStatus = 6
    };

    explicit TdlgSearch(QWidget* Owner);
    ~TdlgSearch() override;

    // Shows the dialog modally for Target, the active result window (none:
    // a new window is the only destination).
    void ShowFor(TfrmQueryResult* Target);
    // Where a result goes that is to be shown in a new window.
    void SetNewWindowSource(std::function<TfrmQueryResult*()> Source) {
        FNewWindow = std::move(Source);
    }

    TSearchOptions& SearchOptions() const { return *FSearchOptions; }
    // The result window that was active when the dialog was shown.
    TfrmQueryResult* QueryResult() const { return FQueryResult.data(); }
    // The running job (id collection or text search), or none.
    const TVQArcCache* Job() const { return FJob->Current(); }
    quint32 Searched() const { return FSearched; }
    quint32 Total() const { return FTotal; }
    QString StatusText(int Panel) const;
    // The phrase box's lines that are not blank.
    QStringList PhraseLines() const;

    void ResetSearch();
    void ActionList1Update();

    // Actions.
    void aSearchExecute();
    void aInterruptExecute();
    void aCancelExecute();
    void aClearMemoExecute();
    void aAddHistItemExecute();
    void cbPhraseHistorySelect(int Index);

    // Controls and actions, by their form names.
    QLabel* lbPhrases = nullptr;
    QPlainTextEdit* RichEdit1 = nullptr;
    QLabel* lbHistory = nullptr;
    QComboBox* cbPhraseHistory = nullptr;
    QPushButton* btnAddHistItem = nullptr;
    QPushButton* btnClearMemo = nullptr;
    QGroupBox* gbOptions = nullptr;
    QLabel* lbSource = nullptr;
    QComboBox* cbSource = nullptr;
    QLabel* lbDestination = nullptr;
    QComboBox* cbDestination = nullptr;
    QLabel* lbMustContain = nullptr;
    QRadioButton* rbAllOf = nullptr;
    QRadioButton* rbAnyOf = nullptr;
    QLabel* lbProgress = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPushButton* btnSearch = nullptr;
    QPushButton* btnInterrupt = nullptr;
    QPushButton* btnCancel = nullptr;
    QPushButton* btnClose = nullptr;
    // Context help is not available; the button stands disabled.
    QPushButton* HelpBtn = nullptr;
    QWidget* StatusBar1 = nullptr;
    QList<TStatusPanel*> StatusPanels;
    QMenu* PopupMenu1 = nullptr;
    QAction* aSearch = nullptr;
    QAction* aInterrupt = nullptr;
    QAction* aCancel = nullptr;
    QAction* aClearMemo = nullptr;
    QAction* aAddHistItem = nullptr;
    QAction* aCut = nullptr;
    QAction* aCopy = nullptr;
    QAction* aPaste = nullptr;
    QAction* aSelectAllText = nullptr;

protected:
    bool event(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;

public slots:
    // Every way the dialog ends comes here: the running job is cancelled
    // first.
    void done(int Result) override;

private:
    void CreateActions();
    void CreateControls();
    void CreateStatusBar();
    QPushButton* ButtonFor(QAction* Action, const char* Name);
    void FormShow();
    void SetPanel(int Panel, const QString& Text);
    void LoadHistory(QString& Error);
    void SaveHistory(const QStringList& Phrases);
    bool HandleKey(QKeyEvent* Event);
    void ConnectJob();
    void StartJob(Operation Kind);
    void CancelJobs();
    void ShowSearchError(const QString& Text);
    void SetProgress(quint32 Position, quint32 Count);
    // The counters and the progress bar as the search stands; Now shows them
    // at once, else within a moment.
    void ShowCounters(bool Now);
    // The job's results: the ids to search, then the search's progress.
    void CollectIds(const IPC_DA_DBClient::TSelectResult& Result);
    void StartSearch();
    void SearchProgress(const IPC_DA_DBClient::TSearchProcess& Result);
    void WMShowResult();
    // The search has ended: the dialog closes and shows the hits.
    void JobDone();

    QPointer<TfrmQueryResult> FQueryResult;
    QPointer<TfrmQueryResult> FShowTarget;
    std::function<TfrmQueryResult*()> FNewWindow;
    std::unique_ptr<TSearchOptions> FSearchOptions;
    TJobHandle* FJob = nullptr;
    quint32 FSearched = 0;
    quint32 FTotal = 0;
    // Where the search stands: collecting ids, searching, or every record
    // searched (the job's end follows).
    enum TSearchPhase { spIdle, spCollecting, spSearching, spFinished };
    TSearchPhase FPhase = spIdle;
    // The phrase box holds a line that is not blank.
    bool FHasPhrases = false;
    QTimer* FCounterTimer = nullptr;
    QElapsedTimer FShownClock;
};
