// The result list at its largest: a query of about a hundred thousand
// records from a 200,000-record demo archive, served by vqarchived and
// listed by a result window (record limit 100,000), against the sqlite3
// shell running the same SELECT on the same archive file, in one run.
// Then the memory the window holds per row, sorting by each column and
// switching views.
//
//   result_list_bench [--archive DIR] [--records N] [--target N]
//
// The archive is made once in DIR (default: result-list-archive in the
// working folder; about 20 s in a release build) and reused.
#include "CommonData.h"
#include "DataCache.h"
#include "JobHandle.h"
#include "Main.h"
#include "QueryResult.h"
#include "ResultListView.h"
#include "ResultModels.h"
#include "SettingsStore.h"
#include "VQApplication.h"
#include "VQDateTime.h"
#include "VQQuery.h"
#include "ViewerWindows.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QTreeView>

#include <malloc.h>
#include <sys/prctl.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifndef VQARCHIVED_BINARY
#error "VQARCHIVED_BINARY names the vqarchived program"
#endif

namespace {

struct TOptions {
    QString Archive = QStringLiteral("result-list-archive");
    int Records = 200000;
    // Records the query should list; the record limit stands at 100,000.
    int Target = 99000;
};

qint64 HeapBytes() {
    const struct mallinfo2 Info = mallinfo2();
    return qint64(Info.uordblks) + qint64(Info.hblkhd);
}

// Runs the event loop as the program does, sleeping while nothing comes,
// until Done holds or Ms milliseconds passed.
template <typename TDone> bool WaitUntil(TDone Done, int Ms) {
    QEventLoop Loop;
    QTimer Check;
    QElapsedTimer Clock;
    Clock.start();
    bool Met = Done();
    QObject::connect(&Check, &QTimer::timeout, &Loop, [&] {
        Met = Done();
        if (Met || Clock.elapsed() > Ms)
            Loop.quit();
    });
    Check.start(10);
    if (!Met)
        Loop.exec();
    return Met;
}

// Lets everything queued (painting included) run.
void Settle() {
    for (int I = 0; I < 5; ++I)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

// Notes when the first result reaches the GUI thread and when the window is
// done with the last one. The results come to the controller's own object
// as posted events of its own type (the only user events while the job
// runs), and on to the window through its job handle.
class TProbe : public QObject {
public:
    bool eventFilter(QObject* Target, QEvent* Event) override {
        if (Event->type() < QEvent::User || Target->isWidgetType() || !Watching)
            return false;
        if (!Clock.isValid())
            Clock.start();
        const qint64 Start = Clock.nsecsElapsed();
        Target->event(Event);
        Handling += Clock.nsecsElapsed() - Start;
        return true;
    }
    void Row() {
        ++Results;
        LastRow = Clock.nsecsElapsed();
    }
    bool Watching = true;
    QElapsedTimer Clock;
    qint64 LastRow = 0;
    // Time the GUI thread spent on the results, the window's listing included.
    qint64 Handling = 0;
    int Results = 0;
};

// Between the library and the controller: how long each hand-over to the
// window takes, and how long the library's thread waits for the next result.
class TTimingListener : public TDBListener {
public:
    explicit TTimingListener(TDBListener& Next) : FNext(Next) { Clock.start(); }
    void SelectResult(const IPC_DA_DBClient::TSelectResult* res) override {
        const qint64 Start = Clock.nsecsElapsed();
        if (Last > 0)
            Between += Start - Last;
        FNext.SelectResult(res);
        Last = Clock.nsecsElapsed();
        InHandOver += Last - Start;
    }
    void DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res) override {
        FNext.DeleteComplete(res);
    }
    void DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res) override {
        FNext.DownloadProcess(res);
    }
    void SearchProcess(const IPC_DA_DBClient::TSearchProcess* res) override {
        FNext.SearchProcess(res);
    }
    QElapsedTimer Clock;
    std::atomic<qint64> InHandOver{0};
    std::atomic<qint64> Between{0};
    std::atomic<qint64> Last{0};

private:
    TDBListener& FNext;
};

QString SqliteValue(const QString& File, const QString& Sql) {
    QProcess P;
    P.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), File, Sql});
    P.waitForFinished(-1);
    return QString::fromUtf8(P.readAllStandardOutput()).trimmed();
}

// The shell running the statement, output thrown away; seconds.
double SqliteShell(const QString& File, const QString& Sql) {
    QProcess P;
    P.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer Clock;
    Clock.start();
    P.start(QStringLiteral("sqlite3"), {QStringLiteral("-readonly"), File});
    P.write(Sql.toUtf8() + ";\n");
    P.closeWriteChannel();
    P.waitForFinished(-1);
    return double(Clock.nsecsElapsed()) / 1e9;
}

TDateTime LocalDateTime(qint64 Seconds) {
    const QDateTime Local = QDateTime::fromSecsSinceEpoch(Seconds, Qt::LocalTime);
    return EncodeDateTime(Local.date(), Local.time());
}

const char* Verdict(bool Met) {
    return Met ? "met" : "MISSED";
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QTemporaryDir Config;
    setenv("XDG_CONFIG_HOME", Config.path().toLocal8Bit().constData(), 1);
    setenv("TMPDIR", Config.path().toLocal8Bit().constData(), 1);
    TVQApplication App(argc, argv);
    TOptions Options;
    const QStringList Args = QCoreApplication::arguments();
    for (qsizetype I = 1; I + 1 < Args.size(); I += 2) {
        if (Args[I] == u"--archive")
            Options.Archive = Args[I + 1];
        else if (Args[I] == u"--records")
            Options.Records = Args[I + 1].toInt();
        else if (Args[I] == u"--target")
            Options.Target = Args[I + 1].toInt();
    }
    const QString Database = Options.Archive + QStringLiteral("/archive.sqlite");
    if (!QFile::exists(Database)) {
        std::printf("making a demo archive of %d records in %s...\n", Options.Records,
                    qPrintable(Options.Archive));
        std::fflush(stdout);
        QProcess Demo;
        Demo.setProcessChannelMode(QProcess::ForwardedChannels);
        Demo.start(QStringLiteral(VQARCHIVED_BINARY),
                   {QStringLiteral("--create-demo"), Options.Archive, QStringLiteral("--records"),
                    QString::number(Options.Records)});
        if (!Demo.waitForFinished(-1) || Demo.exitCode() != 0) {
            std::fprintf(stderr, "the demo archive could not be made\n");
            return 1;
        }
    }

    // Messages and faxes up to the time that gives the wanted record count.
    const QString Cut = SqliteValue(
        Database, QStringLiteral("SELECT Timestamp FROM media WHERE media_type IN ('im','fax') "
                                 "ORDER BY Timestamp LIMIT 1 OFFSET %1")
                      .arg(Options.Target - 1));
    const QString First = SqliteValue(
        Database,
        QStringLiteral("SELECT MIN(Timestamp) FROM media WHERE media_type IN ('im','fax')"));
    if (Cut.isEmpty() || First.isEmpty()) {
        std::fprintf(stderr, "the archive has too few messages and faxes\n");
        return 1;
    }

    QProcess Server;
    Server.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    Server.start(QStringLiteral(VQARCHIVED_BINARY),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--listen"),
                  QStringLiteral("127.0.0.1"), QStringLiteral("--password"),
                  QStringLiteral("bench"), Options.Archive});
    if (!Server.waitForReadyRead(60000)) {
        std::fprintf(stderr, "vqarchived did not start\n");
        return 1;
    }
    // "vqarchived: listening on 127.0.0.1:PORT (...)"
    const QString Line = QString::fromUtf8(Server.readLine());
    const quint32 Port =
        Line.section(QLatin1Char(':'), 2, 2).section(QLatin1Char(' '), 0, 0).toUInt();

    auto Controller = std::make_unique<TDBConnection>();
    Controller->SetHost(QStringLiteral("127.0.0.1"));
    Controller->SetPort(Port);
    Controller->SetPassword(QStringLiteral("bench"));
    Controller->SetMaxRecords(100000);
    auto Main = std::make_unique<TfrmMain>();
    TViewerWindows* Windows = InstallViewerWindows(*Main);
    auto Data = std::make_unique<TCommonData>();
    CommonData = Data.get();
    Main->AssignImages(Data->ActionGlyphs);
    Main->resize(1280, 900);
    Main->show();
    Controller->ConnectionOK();

    TfrmQueryResult* W = Windows->NewResultWindow();
    TVQQuery& Query = W->Query();
    Query.AddDeleteMediaType(ckIM, 0);
    Query.AddDeleteMediaType(ckFaxes, 0);
    TAQCondition* Span = Query.AddTimeSpan(0);
    Span->SetDTStart(LocalDateTime(First.toLongLong() - 1));
    Span->SetDTEnd(LocalDateTime(Cut.toLongLong()));
    Query.SetTitle(QStringLiteral("Benchmark"));
    Settle();

    TTimingListener Timing(*Controller);
    TDBInterface::GetInstance().SetListener(&Timing);
    TProbe Probe;
    App.installEventFilter(&Probe);
    const qint64 HeapBefore = HeapBytes();
    QElapsedTimer Total;
    Total.start();
    W->ExecuteQuery();
    if (W->Cache() == nullptr) {
        std::fprintf(stderr, "the query did not start: %s\n", qPrintable(W->StatusText(3)));
        return 1;
    }
    const QString Statement = W->Cache()->StringData();
    for (TJobHandle* Job : W->findChildren<TJobHandle*>())
        QObject::connect(Job, &TJobHandle::Rows, &Probe, [&Probe] { Probe.Row(); });
    const bool Finished = WaitUntil(
        [&] {
            return W->Cache() == nullptr && W->StatusText(0) != QStringLiteral("Waiting for data");
        },
        600000);
    const double WindowDone = double(Total.nsecsElapsed()) / 1e9;
    Probe.Watching = false;
    Settle();
    malloc_trim(0);
    const qint64 HeapAfter = HeapBytes();
    if (!Finished) {
        std::fprintf(stderr, "the query did not finish\n");
        return 1;
    }
    if (Probe.Results == 0) {
        std::fprintf(stderr, "no result reached the window\n");
        return 1;
    }
    const double Listed = double(Probe.LastRow) / 1e9;
    const int Records = W->ListModel()->rowCount();
    const int Rows = W->AllItems().Count();
    qint64 TextChars = 0;
    for (int Row = 0; Row < Rows; ++Row)
        TextChars += W->AllItems().Name(Row).size() + W->AllItems().GCID(Row).size() +
                     W->AllItems().FileExtension(Row).size();

    // The shell twice, the second run with a warm cache like the server's.
    SqliteShell(Database, Statement);
    const double Shell = SqliteShell(Database, Statement);

    std::printf("\nresult list benchmark: %s-record archive, record limit %d\n",
                qPrintable(SqliteValue(Database, QStringLiteral("SELECT COUNT(*) FROM media"))),
                Controller->MaxRecords());
    std::printf("query: messages and faxes in a time span: %d records, %d rows, %d result "
                "packets\n",
                Records, Rows, Probe.Results);
    std::printf("\n%-44s %9s %11s %7s %8s\n", "measure", "result", "reference", "ratio", "goal");
    std::printf("%-44s %8.3fs %10.3fs %7.2f %8s  %s\n", "first select result -> last row listed",
                Listed, Shell, Listed / Shell, "<= 1.5", Verdict(Listed / Shell <= 1.5));
    std::printf("%-44s %8.3fs\n", "  (of which the GUI thread handling results)",
                double(Probe.Handling) / 1e9);
    std::printf("%-44s %8.3fs\n", "  (library thread waiting for the window)",
                double(Timing.InHandOver) / 1e9);
    std::printf("%-44s %8.3fs\n", "  (library thread waiting for the server)",
                double(Timing.Between) / 1e9);
    std::printf("%-44s %8.3fs %10.3fs %7.2f %8s  %s\n", "execute -> sorted and done, whole job",
                WindowDone, Shell, WindowDone / Shell, "<= 1.5",
                Verdict(WindowDone / Shell <= 1.5));

    // The texts are kept once each (names, file extensions) or once a
    // record (call ids); what a row costs beyond them is the goal's measure.
    const double PerRow = double(HeapAfter - HeapBefore) / Rows;
    const double PoolPerRow = double(W->AllItems().TextBytes()) / Rows;
    const double CharsPerRow = double(TextChars) / Rows;
    const double PerRecord = double(HeapAfter - HeapBefore) / Records;
    std::printf("%-44s %8.0fB %10s %7s %8s  %s\n", "memory per row beyond its texts",
                PerRow - PoolPerRow, "", "", "<= 300", Verdict(PerRow - PoolPerRow <= 300));
    std::printf("%-44s %8.0fB\n", "  (heap per row, texts included)", PerRow);
    std::printf("%-44s %8.0fB\n", "  (text storage per row)", PoolPerRow);
    std::printf("%-44s %8.1f\n", "  (characters of the texts a row shows)", CharsPerRow);
    std::printf("%-44s %8.0fB\n", "  (heap per listed record)", PerRecord);

    auto Timed = [](auto Step) {
        QElapsedTimer Clock;
        Clock.start();
        Step();
        Settle();
        return double(Clock.nsecsElapsed()) / 1e6;
    };
    const char* Columns[] = {"date and time", "participants", "global call id"};
    for (int Column : {1, 2, 0}) {
        const double Ms = Timed([&] { W->ColumnClick(Column); });
        // Again in the same direction: the sort on its own, without the
        // repaint the click brings.
        QElapsedTimer Alone;
        Alone.start();
        W->SortItems();
        std::printf("  (sort %s alone: %.0f ms)\n", Columns[Column], Alone.nsecsElapsed() / 1e6);
        const double Goal = Column == 0 ? 150 : 600;
        std::printf("sort %-39s %7.0fms %11s %7s %6.0fms  %s\n", Columns[Column], Ms, "", "", Goal,
                    Verdict(Ms < Goal));
    }
    // Into a media view and back to all, each with its view memory.
    const TViewNode* All = nullptr;
    const TViewNode* Messages = nullptr;
    const TViewNode* Faxes = nullptr;
    for (const TViewNode* Node : W->TreeModel()->Nodes()) {
        if (Node->ImageIndex == 16)
            All = Node;
        else if (Node->ImageIndex == ckIM)
            Messages = Node;
        else if (Node->ImageIndex == ckFaxes)
            Faxes = Node;
    }
    W->SelectRows({10, 20, 30});
    W->BrowseSelection();
    for (const auto& [Name, Node] :
         {std::pair{"view: instant messages", Messages}, std::pair{"view: faxes", Faxes},
          std::pair{"view: all", All}}) {
        if (Node == nullptr)
            continue;
        const double Ms = Timed([&] { W->SelectNode(Node); });
        std::printf("%-44s %7.0fms %11s %7s %6.0fms  %s   (%d rows)\n", Name, Ms, "", "", 150.0,
                    Verdict(Ms < 150), W->ListModel()->rowCount());
    }
    std::printf("\n");

    Main.reset();
    Data.reset();
    CommonData = nullptr;
    Controller.reset();
    Server.kill();
    Server.waitForFinished(10000);
    return 0;
}
