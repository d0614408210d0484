// The text search dialog against the reference archive server on a demo
// archive whose instant messages say known texts: all-of and any-of over
// the whole archive, over a result window's records and over its
// selection, the phrase box and the history, interrupting and cancelling,
// putting the hits into the active window, changing a search result, the
// server's errors, keys, and what a screen reader finds.
#include "ResultsTestSupport.h"
#include "SearchTestSupport.h"

#include "CommonData.h"
#include "DataCache.h"
#include "Main.h"
#include "QueryResult.h"
#include "ResultModels.h"
#include "SearchDlg.h"
#include "SearchOptions.h"
#include "SettingsStore.h"
#include "VQMessageBox.h"
#include "VQQuery.h"
#include "ViewerWindows.h"

#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

namespace {

using search_test::Pump;
using search_test::TKnownArchive;
using search_test::TSearchServer;
using search_test::WaitUntil;

constexpr const char* Password = "secret";

// The texts the archive's messages say, in turn by record id.
const QStringList KnownTexts = {
    QStringLiteral("Please check the refund for order 4711."),
    QStringLiteral("The invoice address is wrong."),
    QStringLiteral("Refund approved, the invoice follows."),
    QStringLiteral("Schöne Grüße aus MÜNCHEN"),
    QStringLiteral("Добрый день, заказ готов"),
    QStringLiteral("Nothing to see here."),
    QStringLiteral("See you tomorrow."),
};

TKnownArchive& Archive() {
    static TKnownArchive A;
    static const bool Made = A.Make(600, KnownTexts);
    EXPECT_TRUE(Made) << qPrintable(A.Error());
    return A;
}

// With VQ_SCREENSHOT_DIR set, the dialog's look at some moments is saved
// there, for a person to look at.
void Screenshot(QWidget* W, const char* Name) {
    const QString Dir = qEnvironmentVariable("VQ_SCREENSHOT_DIR");
    if (!Dir.isEmpty())
        W->grab().save(Dir + QLatin1Char('/') + QLatin1String(Name) + QStringLiteral(".png"));
}

std::set<quint32> Set(const QList<quint32>& Ids) {
    return {Ids.begin(), Ids.end()};
}

std::set<quint32> RowsOf(const TfrmQueryResult* W) {
    QList<quint32> Ids;
    W->GetMediaIds(Ids, mtUnknown, false);
    return Set(Ids);
}

class TTestConnection : public TDBConnection {
public:
    TTestConnection() { FReconnectDelay = 20; }
};

class SearchDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(SettingsFilePath());
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        ASSERT_FALSE(Archive().Texts().empty());
        Start(Archive().Path(), {});
    }

    void Start(const QString& ArchivePath, const QStringList& Options) {
        ASSERT_TRUE(Server.Start(ArchivePath, Password, Options)) << qPrintable(Server.Error());
        Connection = std::make_unique<TTestConnection>();
        Connection->SetHost(QStringLiteral("127.0.0.1"));
        Connection->SetPort(Server.Port());
        Connection->SetPassword(Password);
        Data = std::make_unique<TCommonData>();
        CommonData = Data.get();
        Main = std::make_unique<TfrmMain>();
        Windows = InstallViewerWindows(*Main);
        Main->AssignImages(Data->ActionGlyphs);
        Main->resize(1280, 900);
        Main->show();
        Main->activateWindow();
    }

    void TearDown() override {
        const QPointer<TdlgSearch> Dialog = Windows != nullptr ? Windows->SearchDialog() : nullptr;
        Main.reset();
        Windows = nullptr;
        EXPECT_TRUE(Dialog.isNull()) << "the dialog goes with the main window";
        Data.reset();
        CommonData = nullptr;
        Connection.reset();
        Server.Stop();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    void Restart(const QString& ArchivePath, const QStringList& Options) {
        TearDown();
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Start(ArchivePath, Options);
    }

    // Opens the dialog from the main window's "Search Messages" and works
    // it with Body while it is shown modally.
    bool WithDialog(const std::function<void(TdlgSearch*)>& Body) {
        QCoreApplication::processEvents();
        EXPECT_TRUE(Main->aSearchText->isEnabled());
        return search_test::WhileModal<TdlgSearch>([this] { return Windows->SearchDialog(); },
                                                   [this] { Main->aSearchText->trigger(); }, Body);
    }

    static void Choose(TdlgSearch* D, const QString& Phrases, bool AllOf, int Source = 0,
                       int Destination = 0) {
        D->RichEdit1->setPlainText(Phrases);
        (AllOf ? D->rbAllOf : D->rbAnyOf)->setChecked(true);
        D->cbSource->setCurrentIndex(Source);
        D->cbDestination->setCurrentIndex(Destination);
    }

    // Presses "Search" and waits until the dialog closed or came to rest.
    static void SearchAndWait(TdlgSearch* D) {
        ASSERT_TRUE(D->aSearch->isEnabled());
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        EXPECT_TRUE(WaitUntil([&] { return !D->isVisible() || D->Job() == nullptr; }, 60000));
    }

    static bool Done(const TfrmQueryResult* W) {
        return W->Cache() == nullptr && W->StatusText(0) == QStringLiteral("Done");
    }

    // The newest result window once it lists its rows.
    TfrmQueryResult* NewestWindow(int Count) {
        EXPECT_TRUE(WaitUntil([&] { return Windows->ResultWindows().size() == Count; }))
            << Windows->ResultWindows().size();
        if (Windows->ResultWindows().size() != Count)
            return nullptr;
        TfrmQueryResult* W = Windows->ResultWindows().last();
        EXPECT_TRUE(WaitUntil([&] { return Done(W); })) << qPrintable(W->StatusText(0));
        return W;
    }

    void Activate(TfrmQueryResult* W) {
        for (QMdiSubWindow* Child : Main->MDIChildren())
            if (Child->widget() == W)
                Main->ClientArea()->setActiveSubWindow(Child);
    }

    // A result window listing every instant message and call recording of
    // one participant.
    TfrmQueryResult* RunQueryOf(const QString& Name, quint64 UserId) {
        TfrmQueryResult* W = Windows->NewResultWindow();
        W->Query().AddDeleteMediaType(ckIM, 0);
        W->Query().AddDeleteMediaType(ckRVM, 0);
        W->Query().InsertPartipiant(0, Name, UserId, ukUser);
        W->Query().SetTitle(QStringLiteral("Calls and messages"));
        W->setWindowTitle(W->Query().Title());
        W->ExecuteQuery();
        EXPECT_TRUE(WaitUntil([&] { return Done(W); }));
        Activate(W);
        return W;
    }

    // The user with the most instant messages in the archive.
    static std::pair<QString, quint64> BusiestUser() {
        const QList<QStringList> Rows = search_test::SqliteRows(
            Archive().File(),
            QStringLiteral("SELECT u.Display_Name, u.User_ID, COUNT(*) AS n FROM participants p "
                           "JOIN media m ON m.Media_ID = p.Media_ID JOIN users u ON u.User_ID = "
                           "p.User_ID WHERE m.Media_Type = 'im' AND p.Group_ID IS NULL "
                           "GROUP BY u.User_ID ORDER BY n DESC LIMIT 1"));
        if (Rows.isEmpty())
            return {};
        return {Rows[0][0], Rows[0][1].toULongLong()};
    }

    static std::vector<quint32> MessagesIn(const TfrmQueryResult* W, bool SelectedOnly) {
        QList<quint32> Ids;
        W->GetMediaIds(Ids, mtIM, SelectedOnly);
        return {Ids.begin(), Ids.end()};
    }

    TSearchServer Server;
    std::unique_ptr<TTestConnection> Connection;
    std::unique_ptr<TCommonData> Data;
    std::unique_ptr<TfrmMain> Main;
    TViewerWindows* Windows = nullptr;
};

} // namespace

// --- Over all records -----------------------------------------------------------

TEST_F(SearchDlgTest, AllOfOverAllRecordsListsTheMessagesWithEveryPhrase) {
    const QStringList Phrases = {QStringLiteral("REFUND"), QStringLiteral("invoice")};
    const std::set<quint32> Expected = Archive().Matching(Phrases, true);
    ASSERT_FALSE(Expected.empty());
    ASSERT_LT(Expected.size(), Archive().Matching(Phrases, false).size());
    QStringList Seen;
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        EXPECT_EQ(D->windowTitle(), QStringLiteral("Search Messages"));
        // No result window: all records into a new window, nothing else.
        EXPECT_FALSE(D->cbSource->isEnabled());
        EXPECT_FALSE(D->cbDestination->isEnabled());
        EXPECT_EQ(D->cbSource->currentIndex(), 0);
        EXPECT_EQ(D->cbDestination->currentIndex(), 0);
        EXPECT_EQ(D->QueryResult(), nullptr);
        EXPECT_TRUE(D->RichEdit1->hasFocus() || QApplication::focusWidget() == nullptr);
        EXPECT_FALSE(D->aSearch->isEnabled()) << "nothing to search for yet";
        Choose(D, Phrases.join('\n'), true);
        const auto Watch =
            QObject::connect(D->StatusPanels[TdlgSearch::pnStatus], &TStatusPanel::TextChanged, D,
                             [&](const QString& S) { Seen.append(S); });
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        // The ids are collected first, then searched.
        EXPECT_TRUE(D->RichEdit1->isReadOnly());
        EXPECT_FALSE(D->gbOptions->isEnabled());
        EXPECT_FALSE(D->cbPhraseHistory->isEnabled());
        EXPECT_TRUE(D->aCancel->isEnabled());
        EXPECT_FALSE(D->aSearch->isEnabled());
        WaitUntil([&] { return !D->isVisible(); });
        QObject::disconnect(Watch);
        EXPECT_FALSE(D->isVisible());
        EXPECT_EQ(D->Total(), quint32(Archive().Messages().size()));
        EXPECT_EQ(D->Searched(), D->Total());
        EXPECT_EQ(D->StatusText(TdlgSearch::pnStatus), QStringLiteral("Done"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnTotal), QString::number(Archive().Messages().size()));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnProcessed),
                  QString::number(Archive().Messages().size()));
        EXPECT_EQ(D->ProgressBar1->value(), D->ProgressBar1->maximum());
    }));
    EXPECT_EQ(Seen.first(), QStringLiteral("Getting all records.."));
    EXPECT_TRUE(Seen.contains(QStringLiteral("Searching.."))) << qPrintable(Seen.join('|'));
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    Screenshot(Main.get(), "search-result-window");
    EXPECT_TRUE(W->IsSearchRes());
    EXPECT_EQ(W->windowTitle(), QStringLiteral("Search result 1"));
    EXPECT_EQ(RowsOf(W), Expected);
    EXPECT_EQ(W->SearchOptions()->Phrases(), Phrases);
    EXPECT_EQ(W->SearchOptions()->Mode(), smAllOf);
    EXPECT_EQ(Connection->JobCount(), 0);
    EXPECT_EQ(ScreenCursor(), crDefault);
}

TEST_F(SearchDlgTest, AnyOfFindsEitherPhraseAndLettersBeyondAsciiIgnoreCase) {
    const QStringList Phrases = {QStringLiteral("münchen"), QStringLiteral("ДОБРЫЙ")};
    const std::set<quint32> Expected = Archive().Matching(Phrases, false);
    ASSERT_FALSE(Expected.empty());
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, Phrases.join('\n'), false);
        SearchAndWait(D);
        EXPECT_FALSE(D->isVisible());
        EXPECT_EQ(D->StatusText(TdlgSearch::pnFound), QString::number(Expected.size()));
    }));
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(RowsOf(W), Expected);
    EXPECT_EQ(W->SearchOptions()->Mode(), smAnyOf);

    // Each phrase on its own finds its part; both at once (all of) none.
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, Phrases.join('\n'), true);
        SearchAndWait(D);
        EXPECT_TRUE(D->isVisible()) << "nothing found: the dialog stays open";
        Screenshot(D, "search-dialog-nothing-found");
        EXPECT_EQ(D->StatusText(TdlgSearch::pnStatus), QStringLiteral("Done"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnFound), QStringLiteral("0"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnProcessed),
                  QString::number(Archive().Messages().size()));
        EXPECT_TRUE(D->aSearch->isEnabled());
        EXPECT_FALSE(D->RichEdit1->isReadOnly());
        EXPECT_EQ(ScreenCursor(), crDefault);
        QTest::mouseClick(D->btnClose, Qt::LeftButton);
        EXPECT_FALSE(D->isVisible());
    }));
    EXPECT_EQ(Windows->ResultWindows().size(), 1);
}

TEST_F(SearchDlgTest, BlankLinesAreNotSentAsPhrases) {
    const std::set<quint32> Expected =
        Archive().Matching({QStringLiteral("refund"), QStringLiteral("approved")}, true);
    ASSERT_FALSE(Expected.empty());
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("\n   \nrefund\n\t\n approved\n\n"), true);
        EXPECT_EQ(D->PhraseLines(), QStringList({"refund", " approved"}));
        SearchAndWait(D);
        EXPECT_EQ(D->SearchOptions().Phrases(), QStringList({"refund", " approved"}));
    }));
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(RowsOf(W), Expected);
    EXPECT_EQ(W->SearchOptions()->Phrases(), QStringList({"refund", " approved"}));

    // Only blank lines: there is nothing to search for.
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        D->RichEdit1->setPlainText(QStringLiteral("  \n\n"));
        QCoreApplication::processEvents();
        EXPECT_FALSE(D->aSearch->isEnabled());
        EXPECT_TRUE(D->aClearMemo->isEnabled());
        D->aClearMemo->trigger();
        EXPECT_TRUE(D->RichEdit1->toPlainText().isEmpty());
        EXPECT_FALSE(D->aClearMemo->isEnabled());
    }));
}

// --- Over a result window -------------------------------------------------------

TEST_F(SearchDlgTest, AllRecordsOfTheActiveWindowAreItsMessages) {
    const auto [Name, UserId] = BusiestUser();
    ASSERT_FALSE(Name.isEmpty());
    TfrmQueryResult* Source = RunQueryOf(Name, UserId);
    const std::vector<quint32> Messages = MessagesIn(Source, false);
    ASSERT_GT(Messages.size(), 5u);
    ASSERT_LT(Messages.size(), Archive().Messages().size());
    const QStringList Phrases = {QStringLiteral("refund"), QStringLiteral("invoice")};
    const std::set<quint32> Expected = Archive().Matching(Phrases, false, &Messages);
    ASSERT_FALSE(Expected.empty());
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        EXPECT_EQ(D->QueryResult(), Source);
        EXPECT_TRUE(D->cbSource->isEnabled());
        EXPECT_TRUE(D->cbDestination->isEnabled());
        EXPECT_EQ(D->cbSource->itemText(1),
                  QStringLiteral("All records on \"Calls and messages\""));
        EXPECT_EQ(D->cbSource->itemText(2),
                  QStringLiteral("Selected records on \"Calls and messages\""));
        EXPECT_EQ(D->cbDestination->itemText(1), QStringLiteral("Put to \"Calls and messages\""));
        Choose(D, Phrases.join('\n'), false, ssActiveForm, sdNewForm);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        // The window's messages are counted at once; no statement runs.
        EXPECT_EQ(D->StatusText(TdlgSearch::pnTotal), QString::number(Messages.size()));
        EXPECT_EQ(D->Total(), quint32(Messages.size()));
        EXPECT_TRUE(WaitUntil([&] { return !D->isVisible(); }));
    }));
    TfrmQueryResult* W = NewestWindow(2);
    ASSERT_NE(W, nullptr);
    EXPECT_NE(W, Source);
    EXPECT_EQ(RowsOf(W), Expected);
    EXPECT_FALSE(Source->IsSearchRes());
}

TEST_F(SearchDlgTest, SelectedRecordsOfTheActiveWindowAreSearchedAlone) {
    const auto [Name, UserId] = BusiestUser();
    TfrmQueryResult* Source = RunQueryOf(Name, UserId);
    // Every other message selected, and a call among them.
    QList<int> Positions;
    int Calls = 0;
    for (int I = 0; I < int(Source->VisibleItems().size()); ++I) {
        const TViewItem& Item = Source->AllItems()[int(Source->VisibleItems()[size_t(I)])];
        if (Item.MediaType() == mtIM && I % 2 == 0)
            Positions.append(I);
        if (Item.MediaType() == mtCallRec && Calls++ == 0)
            Positions.append(I);
    }
    ASSERT_GT(Calls, 0);
    Source->SelectRows(Positions);
    const std::vector<quint32> Selected = MessagesIn(Source, true);
    ASSERT_GT(Selected.size(), 2u);
    ASSERT_LT(Selected.size(), MessagesIn(Source, false).size());
    const QStringList Phrases = {QStringLiteral("the")};
    const std::set<quint32> Expected = Archive().Matching(Phrases, true, &Selected);
    ASSERT_FALSE(Expected.empty());
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, Phrases.join('\n'), true, ssSelected, sdNewForm);
        SearchAndWait(D);
        EXPECT_EQ(D->Total(), quint32(Selected.size()));
    }));
    TfrmQueryResult* W = NewestWindow(2);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(RowsOf(W), Expected);
}

TEST_F(SearchDlgTest, OnlyCallsSelectedSearchesNothing) {
    const auto [Name, UserId] = BusiestUser();
    TfrmQueryResult* Source = RunQueryOf(Name, UserId);
    QList<int> Calls;
    for (int I = 0; I < int(Source->VisibleItems().size()); ++I)
        if (Source->AllItems()[int(Source->VisibleItems()[size_t(I)])].MediaType() == mtCallRec)
            Calls.append(I);
    ASSERT_FALSE(Calls.isEmpty());
    Source->SelectRows(Calls);
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("refund"), false, ssSelected, sdNewForm);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        EXPECT_EQ(D->Job(), nullptr) << "no job for no records";
        EXPECT_EQ(Connection->JobCount(), 0);
        EXPECT_TRUE(D->isVisible());
        EXPECT_EQ(D->Total(), 0u);
        EXPECT_EQ(D->StatusText(TdlgSearch::pnTotal), QStringLiteral("0"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnFound), QStringLiteral("0"));
        EXPECT_TRUE(D->aSearch->isEnabled());
        Pump(200);
        EXPECT_TRUE(D->isVisible());
    }));
    Pump(100);
    EXPECT_EQ(Windows->ResultWindows().size(), 1);
}

TEST_F(SearchDlgTest, PutToReplacesTheActiveWindowsContent) {
    const auto [Name, UserId] = BusiestUser();
    TfrmQueryResult* Target = RunQueryOf(Name, UserId);
    const QStringList Phrases = {QStringLiteral("Grüße")};
    const std::set<quint32> Expected = Archive().Matching(Phrases, true);
    ASSERT_FALSE(Expected.empty());
    ASSERT_NE(RowsOf(Target), Expected);
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, Phrases.join('\n'), true, ssAll, sdActiveForm);
        SearchAndWait(D);
    }));
    ASSERT_TRUE(WaitUntil([&] { return Target->IsSearchRes() && Done(Target); }));
    EXPECT_EQ(Windows->ResultWindows().size(), 1);
    EXPECT_EQ(RowsOf(Target), Expected);
    // The window keeps its caption.
    EXPECT_EQ(Target->windowTitle(), QStringLiteral("Calls and messages"));
}

TEST_F(SearchDlgTest, ChangeReopensTheDialogWithTheWindowsSearch) {
    const QStringList First = {QStringLiteral("refund"), QStringLiteral("order")};
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, First.join('\n'), false);
        SearchAndWait(D);
    }));
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    ASSERT_EQ(RowsOf(W), Archive().Matching(First, false));
    Activate(W);

    // Change: the dialog comes with the window's phrases and mode, all
    // records as the source and this window as the destination.
    const QStringList Second = {QStringLiteral("tomorrow")};
    const bool Ran = search_test::WhileModal<TdlgSearch>(
        [this] { return Windows->SearchDialog(); }, [&] { W->aChangeQuery->trigger(); },
        [&](TdlgSearch* D) {
            EXPECT_TRUE(W->ChangeSearch());
            EXPECT_EQ(D->QueryResult(), W);
            EXPECT_EQ(D->RichEdit1->toPlainText(), First.join('\n'));
            EXPECT_TRUE(D->rbAnyOf->isChecked());
            EXPECT_EQ(D->cbSource->currentIndex(), int(ssAll));
            EXPECT_EQ(D->cbDestination->currentIndex(), int(sdActiveForm));
            EXPECT_EQ(D->cbDestination->currentText(),
                      QStringLiteral("Put to \"Search result 1\""));
            Choose(D, Second.join('\n'), true, ssAll, sdActiveForm);
            SearchAndWait(D);
        });
    ASSERT_TRUE(Ran);
    EXPECT_FALSE(W->ChangeSearch());
    ASSERT_TRUE(
        WaitUntil([&] { return Done(W) && RowsOf(W) == Archive().Matching(Second, true); }));
    EXPECT_EQ(Windows->ResultWindows().size(), 1);
    EXPECT_EQ(W->SearchOptions()->Phrases(), Second);
    EXPECT_EQ(W->windowTitle(), QStringLiteral("Search result 1"));
}

// --- The phrase history ---------------------------------------------------------

TEST_F(SearchDlgTest, TheHistoryKeepsTwentyPhrasesNewestFirstWithoutDuplicates) {
    QStringList Stored;
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        EXPECT_EQ(D->cbPhraseHistory->count(), 0);
        EXPECT_EQ(D->cbPhraseHistory->maxVisibleItems(), 10);
        EXPECT_FALSE(D->aAddHistItem->isEnabled());
        QStringList Twenty;
        for (int I = 1; I <= 20; ++I)
            Twenty.append(QStringLiteral("zzq%1").arg(I));
        Choose(D, Twenty.join('\n'), false);
        SearchAndWait(D);
        ASSERT_TRUE(ReadHistory(hkSearchPhrase, Stored));
        // Each new phrase goes on top: the last one typed is the newest.
        ASSERT_EQ(Stored.size(), 20);
        EXPECT_EQ(Stored.first(), QStringLiteral("zzq20"));
        EXPECT_EQ(Stored.last(), QStringLiteral("zzq1"));

        // A 21st pushes the oldest out; one already known (in any case) is
        // not added again.
        Choose(D, QStringLiteral("ZZQ5\nzzq21\nzzq21"), false);
        SearchAndWait(D);
        ASSERT_TRUE(ReadHistory(hkSearchPhrase, Stored));
        ASSERT_EQ(Stored.size(), 20);
        EXPECT_EQ(Stored.first(), QStringLiteral("zzq21"));
        EXPECT_EQ(Stored.count(QStringLiteral("zzq21")), 1);
        EXPECT_FALSE(Stored.contains(QStringLiteral("zzq1")));
        EXPECT_FALSE(Stored.contains(QStringLiteral("ZZQ5")));
        EXPECT_TRUE(Stored.contains(QStringLiteral("zzq5")));
        QStringList Shown;
        for (int I = 0; I < D->cbPhraseHistory->count(); ++I)
            Shown.append(D->cbPhraseHistory->itemText(I));
        EXPECT_EQ(Shown, Stored);
    }));

    // The next time the dialog loads the stored list; choosing an entry
    // moves it to the top, "Add" appends it to the phrases.
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        ASSERT_EQ(D->cbPhraseHistory->count(), 20);
        EXPECT_EQ(D->cbPhraseHistory->itemText(0), QStringLiteral("zzq21"));
        D->cbPhraseHistory->setCurrentIndex(7);
        const QString Chosen = D->cbPhraseHistory->itemText(7);
        emit D->cbPhraseHistory->activated(7);
        EXPECT_EQ(D->cbPhraseHistory->itemText(0), Chosen);
        EXPECT_EQ(D->cbPhraseHistory->currentIndex(), 0);
        EXPECT_EQ(D->cbPhraseHistory->count(), 20);
        D->RichEdit1->setPlainText(QStringLiteral("first"));
        QCoreApplication::processEvents();
        ASSERT_TRUE(D->aAddHistItem->isEnabled());
        QTest::mouseClick(D->btnAddHistItem, Qt::LeftButton);
        EXPECT_EQ(D->RichEdit1->toPlainText(), QStringLiteral("first\n") + Chosen);
        QTest::mouseClick(D->btnClearMemo, Qt::LeftButton);
        EXPECT_TRUE(D->RichEdit1->toPlainText().isEmpty());
    }));
}

// --- Interrupt, cancel, errors ----------------------------------------------------

TEST_F(SearchDlgTest, InterruptShowsTheHitsFoundSoFar) {
    // Every result call of the server waits a while, so the search is
    // caught in the middle.
    Restart(Archive().Path(), {QStringLiteral("--fault-batch-delay"), QStringLiteral("150ms")});
    const QStringList Phrases = {QStringLiteral("refund")};
    std::set<quint32> Shown;
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, Phrases.join('\n'), true);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        EXPECT_FALSE(D->aInterrupt->isEnabled()) << "nothing found yet";
        ASSERT_TRUE(WaitUntil([&] { return D->aInterrupt->isEnabled(); }));
        // The counters catch up with the reports within a moment.
        ASSERT_TRUE(WaitUntil([&] {
            return D->StatusText(TdlgSearch::pnFound) ==
                       QString::number(D->SearchOptions().MediaIds().size()) &&
                   D->StatusText(TdlgSearch::pnProcessed) == QString::number(D->Searched());
        }));
        ASSERT_LT(D->Searched(), quint32(Archive().Messages().size()));
        Screenshot(D, "search-dialog-searching");
        Shown = Set(D->SearchOptions().MediaIds());
        QTest::mouseClick(D->btnInterrupt, Qt::LeftButton);
        EXPECT_FALSE(D->isVisible());
        EXPECT_EQ(Connection->JobCount(), 0);
    }));
    ASSERT_FALSE(Shown.empty());
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(RowsOf(W), Shown);
    const std::set<quint32> All = Archive().Matching(Phrases, true);
    EXPECT_LT(Shown.size(), All.size());
    EXPECT_TRUE(std::includes(All.begin(), All.end(), Shown.begin(), Shown.end()));
}

TEST_F(SearchDlgTest, CancelStopsTheSearchAndLeavesTheDialogReady) {
    Restart(Archive().Path(), {QStringLiteral("--fault-batch-delay"), QStringLiteral("100ms")});
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("refund"), false);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil(
            [&] { return D->StatusText(TdlgSearch::pnStatus) == QStringLiteral("Searching.."); }));
        ASSERT_TRUE(WaitUntil([&] { return D->Searched() > 0; }));
        QTest::mouseClick(D->btnCancel, Qt::LeftButton);
        EXPECT_EQ(D->StatusText(TdlgSearch::pnStatus), QStringLiteral("Canceled"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnTotal), QStringLiteral("0"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnProcessed), QStringLiteral("0"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnFound), QStringLiteral("0"));
        EXPECT_EQ(D->ProgressBar1->value(), 0);
        EXPECT_EQ(D->Job(), nullptr);
        EXPECT_EQ(Connection->JobCount(), 0);
        EXPECT_TRUE(D->isVisible());
        EXPECT_TRUE(D->aSearch->isEnabled());
        EXPECT_FALSE(D->RichEdit1->isReadOnly());
        EXPECT_EQ(ScreenCursor(), crDefault);
        // Reports still under way for the cancelled job change nothing.
        Pump(500);
        EXPECT_EQ(D->StatusText(TdlgSearch::pnProcessed), QStringLiteral("0"));

        // The server is free again: the next search runs to its end.
        Choose(D, QStringLiteral("tomorrow"), false, ssAll);
        SearchAndWait(D);
        EXPECT_FALSE(D->isVisible());
    }));
    TfrmQueryResult* W = NewestWindow(1);
    ASSERT_NE(W, nullptr);
    EXPECT_EQ(RowsOf(W), Archive().Matching({QStringLiteral("tomorrow")}, false));
}

TEST_F(SearchDlgTest, KeysSearchCancelAndClose) {
    Restart(Archive().Path(), {QStringLiteral("--fault-batch-delay"), QStringLiteral("100ms")});
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        D->RichEdit1->setFocus();
        QTest::keyClicks(D->RichEdit1, QStringLiteral("refund"));
        // Ctrl+Enter in the phrase box searches instead of breaking the line.
        QTest::keyClick(D->RichEdit1, Qt::Key_Return, Qt::ControlModifier);
        EXPECT_EQ(D->RichEdit1->toPlainText(), QStringLiteral("refund"));
        EXPECT_NE(D->Job(), nullptr);
        // Esc while a job runs cancels it; the dialog stays.
        QTest::keyClick(D->RichEdit1, Qt::Key_Escape);
        EXPECT_EQ(D->Job(), nullptr);
        EXPECT_EQ(D->StatusText(TdlgSearch::pnStatus), QStringLiteral("Canceled"));
        EXPECT_TRUE(D->isVisible());
        // A plain Enter in the phrase box is a new line.
        QTest::keyClick(D->RichEdit1, Qt::Key_Return);
        EXPECT_EQ(D->Job(), nullptr);
        // Esc with nothing running closes the dialog.
        QTest::keyClick(D->cbSource, Qt::Key_Escape);
        EXPECT_FALSE(D->isVisible());
    }));
    EXPECT_EQ(Connection->JobCount(), 0);
    EXPECT_EQ(Windows->ResultWindows().size(), 0);
}

TEST_F(SearchDlgTest, ClosingWhileSearchingCancelsTheJob) {
    Restart(Archive().Path(), {QStringLiteral("--fault-batch-delay"), QStringLiteral("100ms")});
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("refund"), false);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        ASSERT_NE(D->Job(), nullptr);
        D->close();
        EXPECT_FALSE(D->isVisible());
        EXPECT_EQ(D->Job(), nullptr);
        EXPECT_EQ(Connection->JobCount(), 0);
    }));
    Pump(400);
    EXPECT_EQ(Windows->ResultWindows().size(), 0);
    EXPECT_EQ(ScreenCursor(), crDefault);
}

TEST_F(SearchDlgTest, AServerErrorIsShownInTheStatusPanelAndABox) {
    // An archive whose message texts are gone: the server cannot search.
    static TKnownArchive Broken;
    static const bool Made = Broken.Make(60, {QStringLiteral("x")});
    ASSERT_TRUE(Made) << qPrintable(Broken.Error());
    ASSERT_TRUE(search_test::SqliteExec(Broken.File(), QStringLiteral("DROP TABLE messages")));
    Restart(Broken.Path(), {});
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("x"), false);
        SearchAndWait(D);
        EXPECT_TRUE(D->isVisible());
        const QString Status = D->StatusText(TdlgSearch::pnStatus);
        Screenshot(D, "search-dialog-error");
        EXPECT_TRUE(Status.contains(QStringLiteral("messages"))) << qPrintable(Status);
        EXPECT_TRUE(TVQMessageBox::Shown().contains(Status))
            << qPrintable(TVQMessageBox::Shown().join('|'));
        EXPECT_EQ(D->Job(), nullptr);
        EXPECT_EQ(Connection->JobCount(), 0);
        EXPECT_TRUE(D->aSearch->isEnabled());
        EXPECT_EQ(ScreenCursor(), crDefault);
    }));
    EXPECT_EQ(Windows->ResultWindows().size(), 0);
}

TEST_F(SearchDlgTest, AServerThatIsGoneIsReported) {
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Server.Stop();
        Choose(D, QStringLiteral("refund"), false);
        SearchAndWait(D);
        EXPECT_TRUE(D->isVisible());
        EXPECT_FALSE(D->StatusText(TdlgSearch::pnStatus).isEmpty());
        EXPECT_NE(D->StatusText(TdlgSearch::pnStatus), QStringLiteral("Getting all records.."));
        EXPECT_EQ(D->Job(), nullptr);
        EXPECT_TRUE(D->aSearch->isEnabled());
    }));
    EXPECT_EQ(Connection->JobCount(), 0);
}

TEST_F(SearchDlgTest, AConnectionLostWhileSearchingIsReported) {
    Restart(Archive().Path(), {QStringLiteral("--fault-batch-delay"), QStringLiteral("300ms")});
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        Choose(D, QStringLiteral("refund"), false);
        QTest::mouseClick(D->btnSearch, Qt::LeftButton);
        ASSERT_TRUE(WaitUntil(
            [&] { return D->StatusText(TdlgSearch::pnStatus) == QStringLiteral("Searching.."); }));
        Server.Stop();
        ASSERT_TRUE(WaitUntil([&] { return D->aSearch->isEnabled(); }, 60000));
        const QString Status = D->StatusText(TdlgSearch::pnStatus);
        EXPECT_NE(Status, QStringLiteral("Searching.."));
        EXPECT_TRUE(TVQMessageBox::Shown().contains(Status)) << qPrintable(Status);
        EXPECT_EQ(D->Job(), nullptr);
    }));
    EXPECT_EQ(Connection->JobCount(), 0);
}

// --- The form ---------------------------------------------------------------------

TEST_F(SearchDlgTest, ControlsCarryTheirNamesAndAScreenReaderCanReadThem) {
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        EXPECT_EQ(D->objectName(), QStringLiteral("dlgSearch"));
        for (const char* Name : {"RichEdit1", "cbPhraseHistory", "cbSource", "cbDestination",
                                 "rbAllOf", "rbAnyOf", "ProgressBar1", "StatusBar1"})
            EXPECT_NE(D->findChild<QWidget*>(QLatin1String(Name)), nullptr) << Name;
        for (const char* Name : {"aSearch", "aInterrupt", "aCancel", "aClearMemo", "aAddHistItem"})
            EXPECT_NE(D->findChild<QAction*>(QLatin1String(Name)), nullptr) << Name;
        EXPECT_EQ(D->aSearch->text(), QStringLiteral("&Search"));
        EXPECT_EQ(D->aSearch->toolTip(), QStringLiteral("Start search (Ctrl+Enter)"));
        EXPECT_EQ(D->aInterrupt->toolTip(), QStringLiteral("Interrupt searching and show result"));
        EXPECT_EQ(D->aCancel->text(), QStringLiteral("Ca&ncel"));
        EXPECT_EQ(D->aClearMemo->toolTip(), QStringLiteral("Clear phrase list"));
        EXPECT_EQ(D->aAddHistItem->toolTip(),
                  QStringLiteral("Add phrase from history to phrase list"));
        EXPECT_TRUE(D->btnSearch->isDefault());
        EXPECT_TRUE(D->HelpBtn->isEnabled());
        EXPECT_TRUE(D->rbAllOf->isChecked());
        EXPECT_EQ(D->RichEdit1->lineWrapMode(), QPlainTextEdit::NoWrap);
        EXPECT_EQ(D->cbSource->itemText(0), QStringLiteral("All database records"));
        EXPECT_EQ(D->cbDestination->itemText(0), QStringLiteral("Show in new window"));
        EXPECT_EQ(D->lbPhrases->buddy(), D->RichEdit1);
        EXPECT_EQ(D->lbHistory->buddy(), D->cbPhraseHistory);

        // Every control a person can reach has a name to be read out.
        for (QWidget* W : D->findChildren<QWidget*>()) {
            if (qobject_cast<QPushButton*>(W) || qobject_cast<QComboBox*>(W) ||
                qobject_cast<QPlainTextEdit*>(W) || qobject_cast<QRadioButton*>(W) ||
                qobject_cast<QProgressBar*>(W)) {
                EXPECT_FALSE(W->accessibleName().isEmpty()) << qPrintable(W->objectName());
            }
        }
        EXPECT_EQ(D->RichEdit1->accessibleName(), QStringLiteral("Phrases to find:"));
        EXPECT_EQ(D->btnInterrupt->accessibleName(), QStringLiteral("Interrupt"));

        // The pop-up menu of the phrase box.
        QStringList Items;
        for (QAction* A : D->PopupMenu1->actions())
            Items.append(A->isSeparator() ? QStringLiteral("-") : A->objectName());
        EXPECT_EQ(Items, QStringList({"aAddHistItem", "aClearMemo", "-", "aCut", "aCopy", "aPaste",
                                      "aSelectAllText", "-", "aSearch", "aInterrupt", "aCancel"}));

        // Seven panels; the counters are read with their labels.
        ASSERT_EQ(D->StatusPanels.size(), 7);
        EXPECT_EQ(D->StatusText(TdlgSearch::pnTotalLabel), QStringLiteral("Total:"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnProcessedLabel), QStringLiteral("Processed:"));
        EXPECT_EQ(D->StatusText(TdlgSearch::pnFoundLabel), QStringLiteral("Found:"));
        Screenshot(D, "search-dialog-idle");
        Choose(D, QStringLiteral("tomorrow"), false);
        SearchAndWait(D);
        const QString Found = D->SearchOptions().MediaIds().isEmpty()
                                  ? QStringLiteral("0")
                                  : QString::number(D->SearchOptions().MediaIds().size());
        EXPECT_EQ(D->StatusPanels[TdlgSearch::pnFound]->accessibleName(),
                  QStringLiteral("Found: ") + Found);
        EXPECT_EQ(D->StatusPanels[TdlgSearch::pnFound]->accessibleDescription(), Found);
        EXPECT_EQ(D->StatusPanels[TdlgSearch::pnTotal]->accessibleName(),
                  QStringLiteral("Total: ") + QString::number(Archive().Messages().size()));
        EXPECT_EQ(D->StatusPanels[TdlgSearch::pnStatus]->accessibleName(),
                  QStringLiteral("Status: Done"));
    }));
}

TEST_F(SearchDlgTest, OneDialogServesTheWholeRun) {
    TdlgSearch* First = nullptr;
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        First = D;
        D->RichEdit1->setPlainText(QStringLiteral("kept"));
    }));
    ASSERT_TRUE(WithDialog([&](TdlgSearch* D) {
        EXPECT_EQ(D, First);
        EXPECT_EQ(D->RichEdit1->toPlainText(), QStringLiteral("kept"));
        EXPECT_TRUE(D->isModal());
    }));
}
