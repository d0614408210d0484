// What a result window hands over, against the reference archive server on
// a demo archive: an evidence package of a recording, a fax and a
// conversation chosen in the list (unpacked with Debian's unzip, checked
// with `sha256sum -c`, compared with the archive's files), an export
// cancelled half-way that leaves nothing, a record the server cannot
// deliver listed while the others are exported, the list as CSV read back
// by Python's csv module, and the time zone the list's times are in,
// named in the column's tool tip and the status bar.
#include "ResultsTestSupport.h"

#include "CommonData.h"
#include "DataCache.h"
#include "EvidenceProgressDlg.h"
#include "EvidenceRun.h"
#include "Main.h"
#include "QueryResult.h"
#include "ResultListView.h"
#include "ResultModels.h"
#include "SettingsStore.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "ViewerWindows.h"

#include <QAbstractItemModelTester>
#include <QAction>
#include <QDateTime>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimeZone>
#include <QToolBar>

#include <sqlite3.h>

#include <ctime>

#ifndef VQ_DEMO_DIR
#error "VQ_DEMO_DIR names the demo's query files"
#endif

namespace {

using results_test::Pump;
using results_test::TArchiveServer;
using results_test::WaitUntil;

constexpr const char* Password = "secret";

using results_test::TTestConnection;

QList<QStringList> Sqlite(const QString& Statement) {
    return live_test::SqliteRows(TArchiveServer::Archive() + "/archive.sqlite", Statement);
}

QString ArchiveFileName(quint32 MediaId) {
    const QList<QStringList> Rows =
        Sqlite(QStringLiteral("SELECT filename FROM media WHERE Media_ID = %1").arg(MediaId));
    if (Rows.isEmpty())
        return {};
    const QString Name = Rows.first().first();
    return TArchiveServer::Archive() + "/data/" + Name.left(2) + "/" + Name;
}

QByteArray FileBytes(const QString& Path) {
    QFile F(Path);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

struct TRun {
    int Status = -1;
    QString Out;
    QString Err;
};

TRun RunProgram(const QString& Program, const QStringList& Args, const QString& Folder = {},
                const QByteArray& Input = {}) {
    TRun R;
    const QString Path = QStandardPaths::findExecutable(Program);
    if (Path.isEmpty()) {
        R.Err = Program + " is not installed";
        return R;
    }
    QProcess P;
    if (!Folder.isEmpty())
        P.setWorkingDirectory(Folder);
    P.start(Path, Args);
    P.write(Input);
    P.closeWriteChannel();
    if (!P.waitForFinished(120000)) {
        P.kill();
        P.waitForFinished();
        R.Err = "timed out";
        return R;
    }
    R.Status = P.exitStatus() == QProcess::NormalExit ? P.exitCode() : -1;
    R.Out = QString::fromUtf8(P.readAllStandardOutput());
    R.Err = QString::fromUtf8(P.readAllStandardError());
    return R;
}

QStringList FilesBelow(const QString& Folder) {
    QStringList Files;
    const QDir Root(Folder);
    QStringList Pending = {Folder};
    while (!Pending.isEmpty()) {
        const QDir Dir(Pending.takeFirst());
        for (const QFileInfo& Info :
             Dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (Info.isDir())
                Pending.append(Info.filePath());
            else
                Files.append(Root.relativeFilePath(Info.filePath()));
        }
    }
    Files.sort();
    return Files;
}

// The rows of a CSV file as Python's csv module reads them (the reader
// spreadsheets' importers follow), through JSON.
QList<QStringList> PythonCsv(const QString& File, QString& Error) {
    const TRun R = RunProgram(
        QStringLiteral("python3"),
        {QStringLiteral("-c"),
         QStringLiteral("import csv, json, sys\n"
                        "with open(sys.argv[1], newline='', encoding='utf-8-sig') as f:\n"
                        "    json.dump(list(csv.reader(f, strict=True)), sys.stdout)\n"),
         File});
    QList<QStringList> Rows;
    if (R.Status != 0) {
        Error = R.Err;
        return Rows;
    }
    for (const QJsonValue& Row : QJsonDocument::fromJson(R.Out.toUtf8()).array()) {
        QStringList Fields;
        for (const QJsonValue& Field : Row.toArray())
            Fields.append(Field.toString());
        Rows.append(Fields);
    }
    return Rows;
}

// "Times in Europe/Berlin (UTC+01:00)" for this moment, made here from the
// zone database.
QString ExpectedCaption(const char* Zone) {
    const int Offset = QTimeZone(Zone).offsetFromUtc(QDateTime::currentDateTimeUtc());
    const int Minutes = std::abs(Offset) / 60;
    return QStringLiteral("Times in %1 (UTC%2%3:%4)")
        .arg(QLatin1String(Zone))
        .arg(Offset < 0 ? '-' : '+')
        .arg(Minutes / 60, 2, 10, QLatin1Char('0'))
        .arg(Minutes % 60, 2, 10, QLatin1Char('0'));
}

void SetZone(const char* Zone) {
    setenv("TZ", Zone, 1);
    tzset();
}

class QueryResultExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetZone("Europe/Berlin");
        QFile::remove(SettingsFilePath());
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        TVQFileDialog::ClearAsked();
        ASSERT_TRUE(Dir.isValid());
        Start({});
    }

    void Start(const QStringList& ServerOptions) {
        ASSERT_TRUE(Server.Start(Password, ServerOptions)) << qPrintable(Server.Error());
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
    }

    void TearDown() override {
        Main.reset();
        Data.reset();
        CommonData = nullptr;
        Connection.reset();
        Server.Stop();
        TVQMessageBox::SetAnswerAutomatically(false);
        SetZone("UTC");
    }

    void Restart(const QStringList& ServerOptions) {
        TearDown();
        TVQMessageBox::SetAnswerAutomatically(true);
        SetZone("Europe/Berlin");
        Start(ServerOptions);
    }

    static bool Done(const TfrmQueryResult* W) {
        return W->Cache() == nullptr && W->Operations() == 0 &&
               W->StatusText(0) == QStringLiteral("Done");
    }

    TfrmQueryResult* Run(const char* DemoFile) {
        TfrmQueryResult* W =
            Windows->OpenQueryFile(QStringLiteral(VQ_DEMO_DIR "/") + QLatin1String(DemoFile));
        EXPECT_TRUE(WaitUntil([&] { return Done(W); })) << qPrintable(W->StatusText(0));
        return W;
    }

    int PositionOfType(TfrmQueryResult* W, int Type, int Skip = 0) {
        for (int I = 0; I < int(W->VisibleItems().size()); ++I)
            if (W->AllItems()[int(W->VisibleItems()[size_t(I)])].MediaType() == Type && Skip-- == 0)
                return I;
        return -1;
    }

    quint32 IdAt(TfrmQueryResult* W, int Position) {
        return W->AllItems()[int(W->VisibleItems()[size_t(Position)])].MediaId();
    }

    void ClickRow(TfrmQueryResult* W, int Position, Qt::KeyboardModifiers Keys = {}) {
        W->lvResults->scrollTo(W->ListModel()->index(Position, 1));
        const QRect Cell = W->lvResults->visualRect(W->ListModel()->index(Position, 1));
        QTest::mouseClick(W->lvResults->viewport(), Qt::LeftButton, Keys, Cell.center());
    }

    // Chooses the file, triggers the action by its name and waits for the
    // export's end.
    bool Export(TfrmQueryResult* W, const QString& Zip, int Ms = 60000) {
        QSignalSpy Ended(W, &TfrmQueryResult::EvidenceExported);
        TVQFileDialog::SetNextAnswer(Zip);
        // The window sets its commands once the changes that led here are
        // all handled.
        QCoreApplication::processEvents();
        QAction* Action = W->findChild<QAction*>(QStringLiteral("aExportEvidence"));
        EXPECT_NE(Action, nullptr);
        if (Action == nullptr || !Action->isEnabled())
            return false;
        Action->trigger();
        return WaitUntil([&] { return Ended.count() == 1; }, Ms);
    }

    QString Unpack(const QString& Zip) {
        const QString Root = Dir.filePath(QStringLiteral("unpacked"));
        QDir(Root).removeRecursively();
        const TRun R = RunProgram(QStringLiteral("unzip"),
                                  {QStringLiteral("-q"), Zip, QStringLiteral("-d"), Root});
        EXPECT_EQ(R.Status, 0) << qPrintable(R.Err + R.Out);
        return Root;
    }

    static QString FolderOf(const QString& Root, quint32 Id) {
        for (const QString& F : QDir(Root).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (F.endsWith(QStringLiteral("_%1").arg(Id)))
                return Root + QLatin1Char('/') + F;
        return {};
    }

    QTemporaryDir Dir;
    TArchiveServer Server;
    std::unique_ptr<TTestConnection> Connection;
    std::unique_ptr<TCommonData> Data;
    std::unique_ptr<TfrmMain> Main;
    TViewerWindows* Windows = nullptr;
};

} // namespace

TEST_F(QueryResultExportTest, AMixChosenInTheListBecomesAVerifiablePackage) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    QAbstractItemModelTester Tester(W->ListModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    const int Recording = PositionOfType(W, mtCallRec);
    const int Fax = PositionOfType(W, mtFax);
    const int Message = PositionOfType(W, mtIM);
    ASSERT_TRUE(Recording >= 0 && Fax >= 0 && Message >= 0);
    ClickRow(W, Recording);
    ClickRow(W, Fax, Qt::ControlModifier);
    ClickRow(W, Message, Qt::ControlModifier);
    const QList<quint32> Ids = W->ExportRecordIds();
    for (int Position : {Recording, Fax, Message})
        EXPECT_TRUE(Ids.contains(IdAt(W, Position))) << IdAt(W, Position);

    const QString Zip = Dir.filePath(QStringLiteral("case.zip"));
    QSignalSpy Ended(W, &TfrmQueryResult::EvidenceExported);
    TVQFileDialog::SetNextAnswer(Zip);
    QCoreApplication::processEvents();
    W->findChild<QAction*>(QStringLiteral("aExportEvidence"))->trigger();
    // The save dialog was asked for a ZIP file.
    ASSERT_EQ(TVQFileDialog::Asked().size(), 1);
    EXPECT_EQ(TVQFileDialog::Asked().front().DefaultExt, QStringLiteral("zip"));
    // The progress dialog shows records and bytes while the window's job
    // counts as the server's one job.
    ASSERT_NE(W->EvidenceRun(), nullptr);
    TdlgEvidenceProgress* Progress = W->EvidenceRun()->Dialog();
    EXPECT_TRUE(Progress->isVisible());
    EXPECT_FALSE(W->aExportEvidence->isEnabled());
    bool Busy = false;
    QStringList Records, Bytes;
    ASSERT_TRUE(WaitUntil([&] {
        Busy = Busy || IsServerBusy();
        if (W->EvidenceRun() != nullptr) {
            if (!Records.contains(Progress->lbRecords->text()))
                Records.append(Progress->lbRecords->text());
            if (!Bytes.contains(Progress->lbBytes->text()))
                Bytes.append(Progress->lbBytes->text());
        }
        return Ended.count() == 1;
    }));
    EXPECT_TRUE(Busy);
    EXPECT_TRUE(Records.contains(QStringLiteral("Record 1 of %1").arg(Ids.size())))
        << qPrintable(Records.join('|'));
    EXPECT_TRUE(Records.contains(QStringLiteral("Writing the package")));
    EXPECT_GE(Bytes.filter(QStringLiteral(" received")).size(), 2) << qPrintable(Bytes.join('|'));
    EXPECT_FALSE(IsServerBusy());
    ASSERT_NE(W->LastEvidence(), nullptr);
    EXPECT_EQ(W->LastEvidence()->Status, TEvidenceResult::erWritten)
        << qPrintable(W->LastEvidence()->Error);
    EXPECT_TRUE(W->LastEvidence()->Failures.isEmpty());
    EXPECT_EQ(W->LastEvidence()->Exported, Ids);
    EXPECT_TRUE(W->aExportEvidence->isEnabled());
    // The operator is told the package's digest.
    ASSERT_FALSE(TVQMessageBox::Shown().isEmpty());
    EXPECT_TRUE(TVQMessageBox::Shown().last().contains(QString::fromLatin1(FileSha256(Zip))))
        << qPrintable(TVQMessageBox::Shown().last());

    const QString Root = Unpack(Zip);
    const TRun Check = RunProgram(QStringLiteral("sha256sum"),
                                  {QStringLiteral("-c"), QStringLiteral("manifest.sha256")}, Root);
    EXPECT_EQ(Check.Status, 0) << qPrintable(Check.Out + Check.Err);
    // The recording and the fax byte for byte, the conversation as text.
    for (int Position : {Recording, Fax}) {
        const quint32 Id = IdAt(W, Position);
        const QString Folder = FolderOf(Root, Id);
        ASSERT_FALSE(Folder.isEmpty());
        const QString Stored = ArchiveFileName(Id);
        const QString Kind =
            Position == Fax ? QStringLiteral("fax.") : QStringLiteral("recording.");
        EXPECT_TRUE(FileBytes(Folder + "/" + Kind + Stored.right(3)) == FileBytes(Stored)) << Id;
    }
    const QString Chat = FolderOf(Root, IdAt(W, Message));
    EXPECT_TRUE(QFile::exists(Chat + "/transcript.rtf"));
    EXPECT_FALSE(FileBytes(Chat + "/transcript.txt").isEmpty());
    // record.json says what the window's row says, in the window's zone.
    const QJsonObject Json =
        QJsonDocument::fromJson(FileBytes(FolderOf(Root, IdAt(W, Recording)) + "/record.json"))
            .object();
    const int Row = int(W->VisibleItems()[size_t(Recording)]);
    EXPECT_EQ(Json.value("media_id").toInteger(), IdAt(W, Recording));
    EXPECT_EQ(Json.value("global_call_id").toString(), W->AllItems().GCID(Row));
    EXPECT_EQ(Json.value("time_zone").toString(), QStringLiteral("Europe/Berlin"));
    EXPECT_EQ(Json.value("time_shown").toString(), W->AllItems().DateTimeStr(Row));
    EXPECT_EQ(
        QDateTime::fromString(Json.value("time_utc").toString(), Qt::ISODate).toSecsSinceEpoch(),
        W->AllItems()[Row].TimeStamp());
    EXPECT_FALSE(Json.value("participants").toArray().isEmpty());
    const QString Readme = QString::fromUtf8(FileBytes(Root + "/README.txt"));
    EXPECT_TRUE(Readme.contains(QStringLiteral("127.0.0.1:%1").arg(Server.Port())));
    EXPECT_TRUE(Readme.contains(QStringLiteral("vqviewer")));
}

TEST_F(QueryResultExportTest, CancelHalfWayLeavesNoFile) {
    // Slow pieces, so that the export is still receiving when it is stopped.
    Restart({QStringLiteral("--piece-size"), QStringLiteral("1024"),
             QStringLiteral("--fault-batch-delay"), QStringLiteral("5ms")});
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int First = PositionOfType(W, mtCallRec);
    ClickRow(W, First);
    for (int Skip = 1; Skip < 6; ++Skip)
        ClickRow(W, PositionOfType(W, mtCallRec, Skip), Qt::ControlModifier);
    ASSERT_GE(W->ExportRecordIds().size(), 6);
    // A package that was there before stays as it was.
    const QString Zip = Dir.filePath(QStringLiteral("stopped.zip"));
    {
        QFile Old(Zip);
        ASSERT_TRUE(Old.open(QIODevice::WriteOnly));
        Old.write("an older file");
    }
    QSignalSpy Ended(W, &TfrmQueryResult::EvidenceExported);
    TVQFileDialog::SetNextAnswer(Zip);
    QCoreApplication::processEvents();
    W->aExportEvidence->trigger();
    ASSERT_NE(W->EvidenceRun(), nullptr);
    TdlgEvidenceProgress* Progress = W->EvidenceRun()->Dialog();
    // Once the first record is in, half-way through the second.
    ASSERT_TRUE(WaitUntil([&] {
        return Ended.count() == 0 && Progress->ProgressBar1->value() >= 1 &&
               Progress->lbBytes->text() != QStringLiteral("Nothing received yet");
    }));
    QTest::mouseClick(Progress->btnCancel, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return Ended.count() == 1; }));
    ASSERT_NE(W->LastEvidence(), nullptr);
    EXPECT_EQ(W->LastEvidence()->Status, TEvidenceResult::erCancelled);
    // Nothing but the older file, unchanged; no job left with the server.
    EXPECT_EQ(FilesBelow(Dir.path()), QStringList{QStringLiteral("stopped.zip")});
    EXPECT_EQ(FileBytes(Zip), QByteArray("an older file"));
    EXPECT_TRUE(WaitUntil([&] { return !IsServerBusy() && Connection->JobCount() == 0; }));

    // Closing the window while it exports stops the export too.
    QFile::remove(Zip);
    TVQFileDialog::SetNextAnswer(Zip);
    QCoreApplication::processEvents();
    W->aExportEvidence->trigger();
    ASSERT_TRUE(WaitUntil([&] {
        return W->EvidenceRun() != nullptr &&
               W->EvidenceRun()->Dialog()->ProgressBar1->value() >= 1;
    }));
    W->close();
    Pump(200);
    EXPECT_TRUE(FilesBelow(Dir.path()).isEmpty()) << qPrintable(FilesBelow(Dir.path()).join(' '));
}

TEST_F(QueryResultExportTest, ARecordThatFailsIsListedAndTheOthersExported) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const int Lost = PositionOfType(W, mtCallRec);
    const int Fax = PositionOfType(W, mtFax);
    ASSERT_TRUE(Lost >= 0 && Fax >= 0);
    // The recording's data file is gone from the archive (put back at the
    // end: the archive serves the other tests of this program too).
    const QString Stored = ArchiveFileName(IdAt(W, Lost));
    const QString Aside = Stored + QStringLiteral(".aside");
    ASSERT_TRUE(QFile::rename(Stored, Aside));
    struct TPutBack {
        QString From, To;
        ~TPutBack() { QFile::rename(From, To); }
    } PutBack{Aside, Stored};

    ClickRow(W, Lost);
    ClickRow(W, Fax, Qt::ControlModifier);
    const QString Zip = Dir.filePath(QStringLiteral("partial.zip"));
    ASSERT_TRUE(Export(W, Zip));
    ASSERT_NE(W->LastEvidence(), nullptr);
    EXPECT_EQ(W->LastEvidence()->Status, TEvidenceResult::erWritten);
    ASSERT_EQ(W->LastEvidence()->Failures.size(), 1);
    EXPECT_EQ(W->LastEvidence()->Failures.front().MediaId, IdAt(W, Lost));
    EXPECT_FALSE(W->LastEvidence()->Failures.front().Reason.isEmpty());
    EXPECT_EQ(W->LastEvidence()->Exported, QList<quint32>{IdAt(W, Fax)});
    // The operator reads which one, and why.
    ASSERT_FALSE(TVQMessageBox::Shown().isEmpty());
    EXPECT_TRUE(TVQMessageBox::Shown().last().contains(
        QStringLiteral("%1: %2")
            .arg(IdAt(W, Lost))
            .arg(W->LastEvidence()->Failures.front().Reason)))
        << qPrintable(TVQMessageBox::Shown().last());

    const QString Root = Unpack(Zip);
    EXPECT_EQ(RunProgram(QStringLiteral("sha256sum"),
                         {QStringLiteral("-c"), QStringLiteral("manifest.sha256")}, Root)
                  .Status,
              0);
    EXPECT_TRUE(FolderOf(Root, IdAt(W, Lost)).isEmpty());
    EXPECT_FALSE(FolderOf(Root, IdAt(W, Fax)).isEmpty());
    EXPECT_TRUE(QString::fromUtf8(FileBytes(Root + "/README.txt"))
                    .contains(QStringLiteral("%1: ").arg(IdAt(W, Lost))));
}

TEST_F(QueryResultExportTest, TheListAsCsvInItsCurrentOrder) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    // Sorted by the call id, descending: the file follows the list.
    QHeaderView* Header = W->lvResults->horizontalHeader();
    for (int Click = 0; Click < 2 && !(W->LastSortedColumn() == 2 && !W->SortAscending()); ++Click)
        QTest::mouseClick(Header->viewport(), Qt::LeftButton, {},
                          QPoint(Header->sectionViewportPosition(2) + 10, 5));
    const QString File = Dir.filePath(QStringLiteral("list.csv"));
    TVQFileDialog::SetNextAnswer(File);
    QCoreApplication::processEvents();
    W->findChild<QAction*>(QStringLiteral("aExportList"))->trigger();
    ASSERT_EQ(TVQFileDialog::Asked().size(), 1);
    EXPECT_EQ(TVQFileDialog::Asked().front().DefaultExt, QStringLiteral("csv"));

    QString Error;
    const QList<QStringList> Rows = PythonCsv(File, Error);
    ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
    ASSERT_EQ(Rows.size(), int(W->VisibleItems().size()) + 1);
    EXPECT_EQ(Rows[0], (QStringList{"Date and time (local)", "Time zone", "UTC offset",
                                    "Date and time (UTC)", "Participants", "Global Call ID",
                                    "Media type", "Media ID", "File extension"}));
    const QTimeZone Berlin("Europe/Berlin");
    for (int I = 1; I < Rows.size(); ++I) {
        const QStringList& R = Rows[I];
        ASSERT_EQ(R.size(), 9) << I;
        const int Row = int(W->VisibleItems()[size_t(I - 1)]);
        const TViewItem& Item = W->AllItems()[Row];
        EXPECT_EQ(R[7], QString::number(Item.MediaId())) << I;
        const QDateTime Utc = QDateTime::fromSecsSinceEpoch(Item.TimeStamp(), Qt::UTC);
        EXPECT_EQ(R[3], Utc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        EXPECT_EQ(R[0], Utc.toTimeZone(Berlin).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        EXPECT_EQ(R[1], QStringLiteral("Europe/Berlin"));
        const int Offset = Berlin.offsetFromUtc(Utc);
        EXPECT_EQ(R[2], Offset == 7200 ? QStringLiteral("UTC+02:00") : QStringLiteral("UTC+01:00"));
        // A call id that begins like a formula is kept as text.
        const QString CallId = W->AllItems().GCID(Row);
        EXPECT_TRUE(R[5] == CallId || R[5] == QLatin1Char('\'') + CallId) << qPrintable(R[5]);
        EXPECT_EQ(R[8], W->AllItems().FileExtension(Row));
        EXPECT_FALSE(R[4].isEmpty());
        EXPECT_FALSE(R[6].isEmpty());
    }
    // The rows follow the list's descending call ids.
    for (int I = 2; I < Rows.size(); ++I)
        EXPECT_GE(W->AllItems()
                      .GCID(int(W->VisibleItems()[size_t(I - 2)]))
                      .compare(W->AllItems().GCID(int(W->VisibleItems()[size_t(I - 1)])),
                               Qt::CaseInsensitive),
                  0);

    // Cancelled in the save dialog: no file.
    QFile::remove(File);
    TVQFileDialog::SetNextAnswer(QString());
    QCoreApplication::processEvents();
    W->aExportList->trigger();
    EXPECT_FALSE(QFile::exists(File));
}

TEST_F(QueryResultExportTest, TheZoneOfTheTimesIsNamedInTheColumnAndTheStatusBar) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    const QString Berlin = ExpectedCaption("Europe/Berlin");
    EXPECT_EQ(
        W->ListModel()->headerData(TResultListModel::colDateTime, Qt::Horizontal, Qt::ToolTipRole),
        Berlin);
    EXPECT_EQ(W->StatusText(4), Berlin);
    EXPECT_EQ(W->StatusPanels[4]->accessibleName(), Berlin);
    // The panel shows the whole text.
    EXPECT_GE(W->StatusPanels[4]->width(),
              W->StatusPanels[4]->fontMetrics().horizontalAdvance(Berlin));

    // Another zone: the panel follows when it next looks.
    SetZone("Asia/Kolkata");
    W->UpdateZonePanel();
    EXPECT_EQ(W->StatusText(4), QStringLiteral("Times in Asia/Kolkata (UTC+05:30)"));
    EXPECT_EQ(W->ListModel()
                  ->headerData(TResultListModel::colDateTime, Qt::Horizontal, Qt::ToolTipRole)
                  .toString(),
              QStringLiteral("Times in Asia/Kolkata (UTC+05:30)"));
    SetZone("UTC");
    W->UpdateZonePanel();
    EXPECT_EQ(W->StatusText(4), QStringLiteral("Times in UTC (UTC+00:00)"));
}

TEST_F(QueryResultExportTest, TheCommandsCarryTheirNamesKeysAndPlaces) {
    TfrmQueryResult* W = Run("Every media type.vqq");
    QAction* Evidence = W->findChild<QAction*>(QStringLiteral("aExportEvidence"));
    QAction* List = W->findChild<QAction*>(QStringLiteral("aExportList"));
    ASSERT_NE(Evidence, nullptr);
    ASSERT_NE(List, nullptr);
    EXPECT_EQ(Evidence->text(), QStringLiteral("Export evidence..."));
    EXPECT_EQ(List->text(), QStringLiteral("Export list..."));
    EXPECT_EQ(Evidence->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_E));
    EXPECT_TRUE(W->PopupMenu1->actions().contains(Evidence));
    EXPECT_TRUE(W->PopupMenu1->actions().contains(List));
    for (QAction* A : {Evidence, List}) {
        QWidget* Button = W->ToolBar1->widgetForAction(A);
        ASSERT_NE(Button, nullptr);
        EXPECT_EQ(Button->accessibleName(), A->text());
        EXPECT_FALSE(A->icon().isNull());
    }
    // Nothing chosen: nothing to export.
    W->aUnmarkAll->trigger();
    W->lvResults->clearSelection();
    Pump(50);
    QCoreApplication::processEvents();
    EXPECT_TRUE(W->ExportRecordIds().isEmpty());
    EXPECT_FALSE(Evidence->isEnabled());
    EXPECT_TRUE(List->isEnabled());

    // Ctrl+E in the list starts the export of the chosen row.
    ClickRow(W, PositionOfType(W, mtFax));
    QCoreApplication::processEvents();
    ASSERT_TRUE(Evidence->isEnabled());
    const QString Zip = Dir.filePath(QStringLiteral("key.zip"));
    QSignalSpy Ended(W, &TfrmQueryResult::EvidenceExported);
    TVQFileDialog::SetNextAnswer(Zip);
    W->lvResults->setFocus();
    QTest::keyClick(W->lvResults, Qt::Key_E, Qt::ControlModifier);
    ASSERT_TRUE(WaitUntil([&] { return Ended.count() == 1; }));
    EXPECT_EQ(W->LastEvidence()->Status, TEvidenceResult::erWritten);
    EXPECT_TRUE(QFile::exists(Zip));

    // The progress dialog's controls are named for a screen reader.
    TVQFileDialog::SetNextAnswer(Dir.filePath(QStringLiteral("again.zip")));
    QCoreApplication::processEvents();
    Evidence->trigger();
    ASSERT_NE(W->EvidenceRun(), nullptr);
    TdlgEvidenceProgress* Dialog = W->EvidenceRun()->Dialog();
    EXPECT_EQ(Dialog->btnCancel->accessibleName(), QStringLiteral("Cancel"));
    EXPECT_EQ(Dialog->ProgressBar1->accessibleName(), QStringLiteral("Export progress"));
    EXPECT_EQ(Dialog->lbRecords->accessibleName(), Dialog->lbRecords->text());
    if (const char* Shots = std::getenv("VQ_SCREENSHOT_DIR")) {
        // The dialog goes with the export: taken first, while it runs.
        Dialog->grab().save(QString::fromLocal8Bit(Shots) + "/evidence-progress.png");
        W->resize(1100, 640);
        Pump(200);
        W->grab().save(QString::fromLocal8Bit(Shots) + "/result-window-export.png");
    }
    ASSERT_TRUE(WaitUntil([&] { return W->EvidenceRun() == nullptr; }));
}
