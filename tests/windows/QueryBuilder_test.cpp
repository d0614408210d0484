// The query builder against the reference archive server: the user list
// loaded once and kept, filtered and refreshed; participants, external
// numbers and call attached data from the archive; query files; and a
// query built through the dialog, handed over, executed on the server and
// compared with what vqquery makes of the same file.
#include "BuilderTestSupport.h"
#include "LiveArchive.h"

#include "JobHandle.h"
#include "Main.h"
#include "ViewerWindows.h"

#include "CADSearchDlg.h"
#include "DialogSupport.h"
#include "ModalDriver.h"
#include "SQLMacros.h"
#include "VQFileDialog.h"
#include "VQInputBox.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QToolButton>

#include <set>

#ifndef VQQUERY_BINARY
#error "VQQUERY_BINARY names the vqquery program"
#endif

namespace {

using namespace viewer_test;

// Runs a statement on the server as a result window would, and collects
// the record ids of its rows.
class TResultCollector : public QObject {
public:
    std::set<quint32> Ids;
    QString Error;
    bool Done = false;

protected:
    bool event(QEvent* Event) override {
        if (!IsDBMessage(Event))
            return QObject::event(Event);
        const auto* Message = static_cast<const TDBMessage*>(Event);
        if (Message->Msg() == WM_DB_SELECTRESULT) {
            const auto* Result = Message->Record<IPC_DA_DBClient::TSelectResult>();
            if (Result->error.error != deSuccess)
                Error = QStringLiteral("error %1: ").arg(int(Result->error.error)) +
                        QString::fromUtf8(ErrorMessage(Result->error));
            for (quint32 I = 0; I < Result->rows.rows_len; ++I)
                Ids.insert(ColumnBytes(Result->rows.rows_val[I], 0).toUInt());
            if (!Result->hasMore || !Error.isEmpty())
                PostDBMessage(TWindowHandle(this), WM_DB_JOBDONE, 0, Message->LParam);
        } else if (Message->Msg() == WM_DB_JOBDONE) {
            DBConnection->FreeCache(Message->Cache());
            Done = true;
        }
        return true;
    }
};

QString RunVqquery(const QString& File, int ServerType) {
    QProcess Tool;
    Tool.start(QStringLiteral(VQQUERY_BINARY),
               {QStringLiteral("sql"), File, QStringLiteral("--server-type"),
                QString::number(ServerType)});
    if (!Tool.waitForFinished(30000) || Tool.exitCode() != 0)
        return QStringLiteral("vqquery failed: ") +
               QString::fromLocal8Bit(Tool.readAllStandardError());
    QString Out = QString::fromUtf8(Tool.readAllStandardOutput());
    if (Out.endsWith(QLatin1Char('\n')))
        Out.chop(1);
    return Out;
}

class QueryBuilderTest : public LiveArchiveTest {
protected:
    void SetUp() override {
        LiveArchiveTest::SetUp();
        StartServer(false, Extra(), ServerOptions());
        TVQInputBox::ClearPrompts();
        TVQFileDialog::ClearAsked();
    }
    virtual int Extra() const { return 0; }
    virtual QStringList ServerOptions() const { return {}; }

    // The dialog once its user list is there.
    std::unique_ptr<TdlgQueryBuilder> NewBuilder() {
        auto Builder = std::make_unique<TdlgQueryBuilder>(nullptr);
        EXPECT_TRUE(Builder->CreationCompleted());
        EXPECT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
        Builder->show();
        QCoreApplication::processEvents();
        return Builder;
    }

    std::set<quint32> Execute(const QString& Sql) {
        TResultCollector Window;
        EXPECT_NE(TVQArcCache::Create(TWindowHandle(&Window), opSQLExecute, Sql), nullptr);
        EXPECT_TRUE(PumpUntil([&] { return Window.Done; }));
        EXPECT_TRUE(Window.Error.isEmpty()) << qPrintable(Window.Error);
        return Window.Ids;
    }

    QStringList Names() const {
        QStringList Result;
        for (int I = 0; I < UserList->VisibleCount(); ++I)
            Result.append(UserList->GetVisibleItem(I)->Name());
        return Result;
    }

    const TUserData* Entry(const QString& Name) const {
        for (int I = 0; I < UserList->VisibleCount(); ++I)
            if (UserList->GetVisibleItem(I)->Name() == Name)
                return UserList->GetVisibleItem(I);
        return nullptr;
    }
};

int OpenBuilders() {
    int Count = 0;
    for (QWidget* W : QApplication::allWidgets())
        Count += qobject_cast<TdlgQueryBuilder*>(W) != nullptr ? 1 : 0;
    return Count;
}

TEST_F(QueryBuilderTest, TheUserListComesOnceFromTheArchiveWithItsNamesUnchanged) {
    ASSERT_EQ(UserList->Count(), 0);
    auto Builder = std::make_unique<TdlgQueryBuilder>(nullptr);
    // The list takes its turn with the result windows' jobs.
    EXPECT_TRUE(Builder->Busy());
    EXPECT_TRUE(TJobHandle::TurnTaken());
    QAbstractItemModelTester Tester(Builder->lvUsers->UsersModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), UserList->VisibleCount());
    EXPECT_EQ(DBConnection->JobCount(), 0);
    const QStringList All = Names();
    for (const char* Name :
         {"Bob O'Brien", "Back\\slash Carl", "Zoë Ελένη", "Dmitri Петров", "Sales 'East'",
          "Support agent Bob O'Brien", "Sales 'East' agent Zoë Ελένη"})
        EXPECT_TRUE(All.contains(QString::fromUtf8(Name))) << Name;
    const TUserData* Agent = Entry(QString::fromUtf8("Sales 'East' agent Zoë Ελένη"));
    ASSERT_NE(Agent, nullptr);
    EXPECT_EQ(Agent->Kind(), ukUserGroup);
    EXPECT_EQ(Agent->ID(), (quint64(4) << 32) | 11u);
    EXPECT_EQ(Entry(QStringLiteral("Sales 'East'"))->Kind(), ukGroup);
    // Users and agents show one image, groups another.
    const TUserListModel* Model = Builder->lvUsers->UsersModel();
    EXPECT_EQ(Model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("User list"));
    for (int Row = 0; Row < Model->rowCount(); ++Row) {
        const TUserData* Item = Model->Entry(Row);
        EXPECT_EQ(TUserListModel::ImageIndex(*Item), Item->Kind() == ukGroup ? 4 : 3);
        EXPECT_FALSE(Model->data(Model->index(Row), Qt::DecorationRole).isNull());
    }
    Builder.reset();

    // A second dialog shows the list it has, without asking the server.
    auto Again = std::make_unique<TdlgQueryBuilder>(nullptr);
    EXPECT_FALSE(Again->Busy());
    EXPECT_EQ(DBConnection->JobCount(), 0);
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
    EXPECT_EQ(Again->lvUsers->UsersModel()->rowCount(), TestArchiveListCount(0));
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
}

TEST_F(QueryBuilderTest, RefreshLoadsTheListAgainWhenNoJobRuns) {
    auto Builder = NewBuilder();
    EXPECT_TRUE(Builder->aRefreshUsers->isEnabled());
    // A result window's query.
    TJobHandle Other(nullptr);
    Other.SetTakesTurns(true);
    Other.Start(opSQLExecute, QStringLiteral("SELECT Media_ID FROM media"));
    QCoreApplication::processEvents();
    EXPECT_FALSE(Builder->aRefreshUsers->isEnabled());
    Other.Cancel();
    QCoreApplication::processEvents();
    ASSERT_TRUE(Builder->aRefreshUsers->isEnabled());
    Builder->aRefreshUsers->trigger();
    EXPECT_TRUE(Builder->Busy());
    ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), TestArchiveListCount(0));
}

TEST_F(QueryBuilderTest, AScreenReadersToggleRunsTheCommandAsAClickDoes) {
    auto Builder = NewBuilder();
    Builder->show();
    QToolButton* Button = nullptr;
    for (QToolButton* B : Builder->findChildren<QToolButton*>())
        if (B->defaultAction() == Builder->aInstantMessages)
            Button = B;
    ASSERT_NE(Button, nullptr);
    QAccessibleInterface* Face = QAccessible::queryAccessibleInterface(Button);
    ASSERT_TRUE(Face != nullptr && Face->actionInterface() != nullptr);
    EXPECT_TRUE(Face->state().checkable);
    EXPECT_EQ(Face->text(QAccessible::Name), QStringLiteral("Instant Messages"));
    const QString Before = Builder->Query().BuildQuery(3);
    const bool Checked = Button->isChecked();
    Face->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    QCoreApplication::processEvents();
    EXPECT_NE(Builder->Query().BuildQuery(3), Before);
    EXPECT_NE(Button->isChecked(), Checked);
    EXPECT_EQ(Face->state().checked, Button->isChecked());
}

TEST_F(QueryBuilderTest, TheFilterMatchesLettersInAnyCaseAnywhereAndTakesEveryCharacterAsIs) {
    auto Builder = NewBuilder();
    auto Filtered = [&](const QString& Filter) {
        Builder->edFilter->setText(Filter);
        EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), UserList->VisibleCount());
        QStringList Shown = Names();
        Shown.sort();
        return Shown;
    };
    EXPECT_EQ(
        Filtered(QStringLiteral("o'B")),
        (QStringList{QStringLiteral("Bob O'Brien"), QStringLiteral("Support agent Bob O'Brien")}));
    EXPECT_EQ(Filtered(QStringLiteral("\\")), QStringList{QStringLiteral("Back\\slash Carl")});
    EXPECT_EQ(Filtered(QString::fromUtf8("ΕΛΈΝΗ")).size(), 2);
    EXPECT_EQ(Filtered(QStringLiteral("ale")),
              (QStringList{QStringLiteral("Sales 'East'"),
                           QString::fromUtf8("Sales 'East' agent Zoë Ελένη")}));
    EXPECT_TRUE(Filtered(QStringLiteral(".*")).isEmpty());
    EXPECT_TRUE(Filtered(QStringLiteral("[a-z]")).isEmpty());
    EXPECT_EQ(Filtered(QString()).size(), TestArchiveListCount(0));

    // Opening the dialog applies its own (empty) filter, whatever the list
    // was left with.
    UserList->ApplyFilter(QStringLiteral("zzz"));
    auto Next = std::make_unique<TdlgQueryBuilder>(nullptr);
    Next->show();
    EXPECT_EQ(UserList->VisibleCount(), TestArchiveListCount(0));
    EXPECT_EQ(Next->lvUsers->UsersModel()->rowCount(), TestArchiveListCount(0));
}

TEST_F(QueryBuilderTest, ParticipantsFromTheArchiveFindTheirRecords) {
    auto Builder = NewBuilder();
    Builder->lbQuery->SetItemIndex(0);
    SelectUsers(*Builder, {QStringLiteral("Support agent Bob O'Brien")});
    QCoreApplication::processEvents();
    ASSERT_TRUE(Builder->aPartipiants->isEnabled());
    Builder->aPartipiants->trigger();
    const QString Sql = ExpandSQLMacros(3, Builder->Query().BuildQuery(3));
    EXPECT_TRUE(Sql.contains(QStringLiteral("(User_Id = 2 AND  Group_Id = 10)")));
    EXPECT_EQ(Execute(Sql), (std::set<quint32>{CallRecord}));

    // A double click on a user adds that user after the selected line.
    Builder->lbQuery->SetItemIndex(LineOf(*Builder, ckValue));
    SelectUsers(*Builder, {QStringLiteral("Back\\slash Carl")});
    const QModelIndex Carl = Builder->lvUsers->selectionModel()->selectedRows().value(0);
    ASSERT_TRUE(Carl.isValid());
    const QRect Where = Builder->lvUsers->visualRect(Carl);
    Builder->lvUsers->clearSelection();
    // A double click is a click and a second press.
    QTest::mouseClick(Builder->lvUsers->viewport(), Qt::LeftButton, Qt::NoModifier, Where.center());
    QTest::mouseDClick(Builder->lvUsers->viewport(), Qt::LeftButton, Qt::NoModifier,
                       Where.center());
    const int Second = LineOf(*Builder, ckValue) + 1;
    ASSERT_EQ(Builder->Query().GetCondition(Second)->Caption(), QStringLiteral("Back\\slash Carl"));
    const QString Either = ExpandSQLMacros(3, Builder->Query().BuildQuery(3));
    EXPECT_EQ(Execute(Either), (std::set<quint32>{CallRecord, FaxRecord}));
}

TEST_F(QueryBuilderTest, AnExternalNumberWithAQuoteAndABackslashIsQuotedAndFindsItsRecord) {
    auto Builder = NewBuilder();
    TVQInputBox::SetNextAnswer(QStringLiteral("  ") + QString::fromUtf8(BackslashExternal) +
                               QStringLiteral(" "));
    Builder->aExternalNumber->trigger();
    EXPECT_EQ(TVQInputBox::Prompts(), QStringList{QStringLiteral("External number equals to ")});
    const int Line = LineOf(*Builder, ckValue);
    ASSERT_GT(Line, 0);
    const TAQCondition* Number = Builder->Query().GetCondition(Line);
    EXPECT_EQ(Number->Caption(), QString::fromUtf8(BackslashExternal));
    EXPECT_EQ(Number->UserKind(), ukExternalAddress);
    EXPECT_EQ(Number->Tag(), 0u);
    const QString Sql = ExpandSQLMacros(3, Builder->Query().BuildQuery(3));
    EXPECT_TRUE(Sql.contains(QStringLiteral("External_Address = 'O''Neil \\ fax'")))
        << qPrintable(Sql);
    EXPECT_EQ(Execute(Sql), (std::set<quint32>{FaxRecord}));
    // MariaDB reads backslashes in literals: there they are doubled.
    EXPECT_TRUE(Builder->Query().BuildQuery(2).contains(QStringLiteral("'O''Neil \\\\ fax'")));

    // Cancelled or blank: nothing is added.
    TVQInputBox::SetNextAnswer(std::nullopt);
    Builder->aExternalNumber->trigger();
    TVQInputBox::SetNextAnswer(QStringLiteral("   "));
    Builder->aExternalNumber->trigger();
    EXPECT_EQ(Builder->Query().FindKind(KindSet({ckValue}), 0, Line + 1), -1);
}

TEST_F(QueryBuilderTest, ACallAttachedDataConditionComesFromTheArchivesFieldNames) {
    auto Builder = NewBuilder();
    WhenModal([this](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return !Dialog->Busy(); }));
        EXPECT_EQ(Dialog->windowTitle(), QStringLiteral("Call Attached Data"));
        Dialog->cbFieldName->setCurrentIndex(
            Dialog->cbFieldName->findText(QStringLiteral("O'Reilly key")));
        Dialog->cbOperators->setCurrentIndex(1);
        Dialog->edValue->setText(QStringLiteral("'"));
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    Builder->aCAD->trigger();
    const int Line = LineOf(*Builder, ckCAD);
    ASSERT_GT(Line, 0);
    EXPECT_EQ(Sentences(*Builder)[Line],
              QStringLiteral("Call Attached Data: O'Reilly key Contains \"'\""));
    const QString Sql = ExpandSQLMacros(3, Builder->Query().BuildQuery(3));
    EXPECT_EQ(Execute(Sql), (std::set<quint32>{CallRecord}));

    // Its value reopens the dialog with the field chosen.
    WhenModal([this](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return !Dialog->Busy(); }));
        EXPECT_EQ(Dialog->cbFieldName->currentText(), QStringLiteral("O'Reilly key"));
        Dialog->cbFieldName->setCurrentIndex(
            Dialog->cbFieldName->findText(QStringLiteral("back\\slash")));
        Dialog->cbOperators->setCurrentIndex(0);
        Dialog->edValue->setText(QStringLiteral("v\\w"));
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_EQ(Builder->Query().GetCondition(Line)->CADName(), QStringLiteral("back\\slash"));
    EXPECT_EQ(Execute(ExpandSQLMacros(3, Builder->Query().BuildQuery(3))),
              (std::set<quint32>{VoiceRecord}));
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
}

TEST_F(QueryBuilderTest, AQueryBuiltInTheDialogIsHandedOverAndMatchesVqquery) {
    const QString File = Folder.path() + QStringLiteral("/built query.vqq");
    TVQQuery Received;
    QString Caption;
    auto Steps = WhenModal([&](QWidget* Top) {
        auto* Builder = qobject_cast<TdlgQueryBuilder*>(Top);
        ASSERT_NE(Builder, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
        // The media types through the heading's menu.
        WhenModal([](QWidget* Menu) { ChooseMenuItem(Menu, "MI2"); });
        ClickPart(*Builder, 0, TPart::Value);
        WhenModal([](QWidget* Menu) { ChooseMenuItem(Menu, "MI3"); });
        ClickPart(*Builder, 0, TPart::Value);
        // Two users, joined by "and".
        Builder->lbQuery->SetItemIndex(0);
        SelectUsers(*Builder, {QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien")});
        QCoreApplication::processEvents();
        Builder->aPartipiants->trigger();
        ClickPart(*Builder, LineOf(*Builder, ckValue), TPart::Operator);
        Builder->aTimeSpan->trigger();
        Builder->aTimeFrame->trigger();
        TVQFileDialog::SetNextAnswer(File);
        Builder->aSave->trigger();
        Caption = Builder->windowTitle();
        QCoreApplication::processEvents();
        EXPECT_TRUE(Builder->aExecute->isEnabled());
        QTest::keyClick(Builder->lbQuery, Qt::Key_Return);
    });
    const bool HandedOver = RunQueryBuilder(nullptr, QStringLiteral("Query 1"), Received);
    ASSERT_TRUE(*Steps);
    ASSERT_TRUE(HandedOver);
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
    EXPECT_EQ(Caption, QStringLiteral("Query builder [built query]"));
    EXPECT_EQ(Received.Title(), QStringLiteral("Query 1"));
    const QString Sql = ExpandSQLMacros(3, Received.BuildQuery(3));
    EXPECT_TRUE(Sql.contains(QStringLiteral("m.media_type in ('im' ,'callrec')")))
        << qPrintable(Sql);
    EXPECT_EQ(Sql, RunVqquery(File, 3));
    EXPECT_EQ(ExpandSQLMacros(2, Received.BuildQuery(2)), RunVqquery(File, 2));
    // Anna and Bob met in one instant message; the call has Bob only.
    EXPECT_EQ(Execute(Sql), (std::set<quint32>{ImRecord}));
    // The dialog goes once control is back in the message loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(OpenBuilders(), 0);
}

TEST_F(QueryBuilderTest, EditQueryShowsTheQueryAndHandsBackOnlyAConfirmedChange) {
    TVQQuery Query;
    Query.AddDeleteMediaType(ckIM, 0);
    Query.SetTitle(QStringLiteral("Query 7"));
    WhenModal([](QWidget* Top) {
        auto* Builder = qobject_cast<TdlgQueryBuilder*>(Top);
        ASSERT_NE(Builder, nullptr);
        EXPECT_EQ(Builder->Edit3->text(), QStringLiteral("Query 7"));
        EXPECT_EQ(Builder->Query().Count(), 3);
        Builder->aFaxes->trigger();
        Builder->Edit3->setText(QStringLiteral("Messages and faxes"));
        QCoreApplication::processEvents();
        Builder->aExecute->trigger();
    });
    ASSERT_TRUE(EditQuery(nullptr, Query));
    EXPECT_TRUE(Query.MediaTypeExists(ckFaxes, 0));
    EXPECT_EQ(Query.Title(), QStringLiteral("Messages and faxes"));

    WhenModal([](QWidget* Top) {
        auto* Builder = qobject_cast<TdlgQueryBuilder*>(Top);
        ASSERT_NE(Builder, nullptr);
        Builder->aClear->trigger();
        Builder->aClose->trigger();
    });
    EXPECT_FALSE(EditQuery(nullptr, Query));
    EXPECT_EQ(Query.Count(), 4);
}

TEST_F(QueryBuilderTest, QueryFilesLoadAndAFileThatFailsLeavesTheQueryAsItWas) {
    auto Builder = NewBuilder();
    Builder->aFaxes->trigger();
    Builder->aGCID->trigger();
    const QString Good = Folder.path() + QStringLiteral("/faxes.vqq");
    TVQFileDialog::SetNextAnswer(Good);
    Builder->aSave->trigger();
    const QList<TFileDialogRequest> Asked = TVQFileDialog::Asked();
    ASSERT_EQ(Asked.size(), 1);
    EXPECT_EQ(Asked[0].Title, QStringLiteral("Save query"));
    EXPECT_EQ(Asked[0].Filter, QStringLiteral("VQ query file (*.vqq)|*.vqq"));
    EXPECT_EQ(Asked[0].DefaultExt, QStringLiteral(".vqq"));
    const QString Saved = Builder->Query().BuildQuery(3);

    Builder->aClear->trigger();
    EXPECT_EQ(Builder->Query().Count(), 2);
    EXPECT_EQ(Builder->windowTitle(), QStringLiteral("Query builder [faxes]"));
    Builder->aInstantMessages->trigger();
    const QString Before = Builder->Query().BuildQuery(3);

    for (const QByteArray& Damaged :
         {QByteArray("not a query file"),
          QByteArray("TPF0\x0dTQueryStorage\x00\x05Items\x0e\x01", 25)}) {
        const QString Bad = Folder.path() + QStringLiteral("/damaged.vqq");
        QFile Out(Bad);
        ASSERT_TRUE(Out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        Out.write(Damaged);
        Out.close();
        Errors.clear();
        TVQFileDialog::SetNextAnswer(Bad);
        Builder->aLoad->trigger();
        ASSERT_EQ(Errors.size(), 1);
        EXPECT_FALSE(Errors[0].isEmpty());
        EXPECT_EQ(Builder->Query().BuildQuery(3), Before);
        EXPECT_EQ(Builder->windowTitle(), QStringLiteral("Query builder [faxes]"));
        EXPECT_EQ(Builder->Query().FileName(), Good);
    }
    EXPECT_EQ(Errors[0], QStringLiteral("Stream read error"));

    TVQFileDialog::SetNextAnswer(Good);
    Builder->aLoad->trigger();
    EXPECT_EQ(Builder->Query().BuildQuery(3), Saved);
    EXPECT_EQ(Builder->windowTitle(), QStringLiteral("Query builder [faxes]"));
    EXPECT_EQ(TVQFileDialog::Asked().last().Title, QStringLiteral("Load query"));
    // A cancelled dialog changes nothing.
    TVQFileDialog::SetNextAnswer(QString());
    Builder->aLoad->trigger();
    EXPECT_EQ(Builder->Query().BuildQuery(3), Saved);
}

TEST_F(QueryBuilderTest, AnErrorFromTheServerClearsTheListAndSaysSo) {
    auto Builder = NewBuilder();
    ASSERT_EQ(UserList->Count(), TestArchiveListCount(0));
    ASSERT_TRUE(ChangeArchive(Archive, "ALTER TABLE groups RENAME TO groups_gone"));
    QCoreApplication::processEvents();
    Builder->aRefreshUsers->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
    EXPECT_EQ(UserList->Count(), 0);
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), 0);
    EXPECT_EQ(Errors.size(), 1);
    EXPECT_EQ(DBConnection->JobCount(), 0);

    ASSERT_TRUE(ChangeArchive(Archive, "ALTER TABLE groups_gone RENAME TO groups"));
    QCoreApplication::processEvents();
    Builder->aRefreshUsers->trigger();
    ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy(); }));
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
}

TEST_F(QueryBuilderTest, AListCutOffOnTheWayIsLoadedWholeNextTime) {
    // Another window's job holds the server, so the list waits behind it.
    QObject Other;
    ASSERT_NE(TVQArcCache::Create(TWindowHandle(&Other), opSQLExecute,
                                  QStringLiteral("SELECT Media_ID FROM media")),
              nullptr);
    {
        TdlgQueryBuilder Closed(nullptr);
        EXPECT_TRUE(Closed.Busy());
        EXPECT_EQ(DBConnection->JobCount(), 2);
    }
    // Closing the dialog dropped its job and the list it had begun.
    EXPECT_EQ(DBConnection->JobCount(), 1);
    EXPECT_EQ(UserList->Count(), 0);

    auto Dropped = std::make_unique<TdlgQueryBuilder>(nullptr);
    ASSERT_TRUE(Dropped->Busy());
    // The connection goes: every job is dropped without its last result.
    DBConnection->SetConnected(false);
    EXPECT_TRUE(PumpUntil([&] { return !Dropped->Busy(); }));
    EXPECT_EQ(UserList->Count(), 0);
    EXPECT_EQ(DBConnection->JobCount(), 0);
    Dropped.reset();

    ASSERT_TRUE(DBConnection->ConnectionOK());
    auto Builder = NewBuilder();
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
}

TEST_F(QueryBuilderTest, AfterAReconnectTheListComesFromTheRestartedJob) {
    // A query of another window runs first; the list waits behind it.
    TResultCollector Other;
    ASSERT_NE(TVQArcCache::Create(TWindowHandle(&Other), opSQLExecute,
                                  QStringLiteral("SELECT Media_ID FROM media")),
              nullptr);
    auto Builder = std::make_unique<TdlgQueryBuilder>(nullptr);
    ASSERT_TRUE(Builder->Busy());
    // The server goes and comes back on its port; the next state poll
    // reconnects and starts both jobs again.
    ASSERT_EQ(Server->Restart(), TLiveServer::TStart::Serving) << qPrintable(Server->Error());
    DBConnection->StatusString();
    ASSERT_TRUE(PumpUntil([&] { return !DBConnection->Reconnecting(); }));
    ASSERT_TRUE(DBConnection->Connected());
    ASSERT_TRUE(PumpUntil([&] { return !Builder->Busy() && DBConnection->JobCount() == 0; }));
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(0));
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), TestArchiveListCount(0));
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
}

TEST_F(QueryBuilderTest, TheMainWindowsCommandOpensTheDialogTitledAfterTheOpenWindows) {
    TfrmMain Main;
    InstallViewerWindows(Main);
    Main.show();
    auto* Child = new QWidget;
    Child->setWindowTitle(QStringLiteral("query 1"));
    Main.AddChild(Child);
    QString Title;
    QWidget* Parent = nullptr;
    WhenModal([&](QWidget* Top) {
        auto* Builder = qobject_cast<TdlgQueryBuilder*>(Top);
        ASSERT_NE(Builder, nullptr);
        Title = Builder->Edit3->text();
        Parent = Builder->parentWidget();
        QTest::keyClick(Builder, Qt::Key_Escape);
    });
    ASSERT_TRUE(Main.aNewQuery->isEnabled());
    Main.aNewQuery->trigger();
    EXPECT_EQ(Title, QStringLiteral("Query 2"));
    EXPECT_EQ(Parent, &Main);
}

TEST_F(QueryBuilderTest, WithoutAServerNoDialogOpensAndTheFailureIsRaised) {
    Server->Kill();
    DBConnection->SetConnected(false);
    DBConnection->SetPort(TLiveServer::FreePort());
    bool Opened = false;
    WhenModal(
        [&](QWidget* Top) {
            Opened = true;
            Top->close();
        },
        500);
    TVQQuery Query;
    EXPECT_THROW(RunQueryBuilder(nullptr, QStringLiteral("Query 1"), Query), EConnectionException);
    EXPECT_THROW(EditQuery(nullptr, Query), EConnectionException);
    QTest::qWait(600);
    EXPECT_FALSE(Opened);
    EXPECT_EQ(OpenBuilders(), 0);
}

// A list that arrives slowly, two names at a time.
class QueryBuilderSlowListTest : public QueryBuilderTest {
protected:
    int Extra() const override { return 40; }
    QStringList ServerOptions() const override {
        return {QStringLiteral("--batch-size"), QStringLiteral("2"),
                QStringLiteral("--fault-batch-delay"), QStringLiteral("50ms")};
    }
};

TEST_F(QueryBuilderSlowListTest, AConnectionLostWhileTheListLoadsIsToldAndNoPartOfItShown) {
    auto Builder = std::make_unique<TdlgQueryBuilder>(nullptr);
    Builder->show();
    ASSERT_TRUE(PumpUntil([&] { return UserList->Count() >= 4; }));
    ASSERT_TRUE(Builder->Busy());
    EXPECT_TRUE(Builder->pbUsers->isVisible());
    Server->Kill();
    // The main window's timer asks for the server's state, which finds the
    // connection gone.
    ASSERT_TRUE(PumpUntil([&] {
        DBConnection->StatusString();
        return !Builder->Busy();
    }));
    EXPECT_EQ(UserList->Count(), 0);
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), 0);
    EXPECT_EQ(Builder->lblUsers->text(),
              QStringLiteral("The user list could not be loaded: The connection to the server "
                             "was lost"));
    EXPECT_EQ(Errors, QStringList{QStringLiteral("The connection to the server was lost")});
}

// Thousands of names: the list stays a virtual one and the filter finds
// exactly the names that contain its letters.
class QueryBuilderLargeListTest : public QueryBuilderTest {
protected:
    int Extra() const override { return 3000; }
};

TEST_F(QueryBuilderLargeListTest, ThousandsOfNamesAreListedAndFiltered) {
    auto Builder = NewBuilder();
    EXPECT_EQ(UserList->Count(), TestArchiveListCount(3000));
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), TestArchiveListCount(3000));
    EXPECT_TRUE(Builder->lvUsers->uniformRowHeights());
    Builder->edFilter->setText(QStringLiteral("EXTRA user 0001"));
    EXPECT_EQ(Builder->lvUsers->UsersModel()->rowCount(), 10);
    Builder->edFilter->setText(QStringLiteral("user 02999"));
    ASSERT_EQ(Builder->lvUsers->UsersModel()->rowCount(), 1);
    Builder->lvUsers->selectAll();
    Builder->lbQuery->SetItemIndex(0);
    QCoreApplication::processEvents();
    Builder->aPartipiants->trigger();
    const TAQCondition* Added = Builder->Query().GetCondition(LineOf(*Builder, ckValue));
    EXPECT_EQ(Added->Tag(), quint64(ExtraUserBase + 2999));
}

} // namespace
