// The text search end to end, as the operator meets it: the real search
// dialog, offscreen, against the reference archive server on a large demo
// archive, searching every instant message for two phrases (any of them),
// from pressing "Search" until a result window lists the hits. The
// reference, measured in the same run on the same machine, is
// `grep -F -i -l` over the same message texts written out one file a
// message. Also timed: how soon after "Search" the first progress shows on
// screen (the record counter while the ids are collected, and the progress
// bar once the server searches).
//
//   search_bench [--records N] [--runs N] [--dir FOLDER] [PHRASE PHRASE]
#include "SearchTestSupport.h"

#include "CommonData.h"
#include "DataCache.h"
#include "Main.h"
#include "QueryResult.h"
#include "SearchDlg.h"
#include "SearchOptions.h"
#include "VQApplication.h"
#include "VQMessageBox.h"
#include "ViewerWindows.h"

#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QMdiArea>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using search_test::TKnownArchive;
using search_test::TSearchServer;

constexpr const char* Password = "bench";

struct TOptions {
    quint32 Records = 200000;
    int Runs = 3;
    QString Dir;
    QStringList Phrases = {QStringLiteral("MÜNCHEN"), QStringLiteral("dziękuję")};
};

double Median(std::vector<double> Values) {
    std::sort(Values.begin(), Values.end());
    return Values.empty() ? 0 : Values[Values.size() / 2];
}

// Writes every instant message's text to a file of its own.
int WriteTexts(const TKnownArchive& Archive, const QString& Folder) {
    QDir().mkpath(Folder);
    int Written = 0;
    for (const QStringList& Row : search_test::SqliteRows(
             Archive.File(), QStringLiteral("SELECT m.Media_ID, t.body FROM media m JOIN messages "
                                            "t ON t.Media_ID = m.Media_ID WHERE m.Media_Type = "
                                            "'im'"))) {
        QFile F(Folder + QLatin1Char('/') + Row[0] + QStringLiteral(".txt"));
        if (!F.open(QIODevice::WriteOnly) || F.write(Row[1].toUtf8()) < 0)
            return -1;
        ++Written;
    }
    return Written;
}

// One grep over the files; its wall time in seconds and the files it named.
double Grep(const QString& Folder, const QStringList& Phrases, int& Files) {
    QStringList Args = {QStringLiteral("-F"), QStringLiteral("-i"), QStringLiteral("-l"),
                        QStringLiteral("-r")};
    for (const QString& P : Phrases)
        Args << QStringLiteral("-e") << P;
    Args << Folder;
    QProcess Process;
    QProcessEnvironment Env = QProcessEnvironment::systemEnvironment();
    Env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    Process.setProcessEnvironment(Env);
    QElapsedTimer Clock;
    Clock.start();
    Process.start(QStringLiteral("grep"), Args);
    Process.waitForFinished(-1);
    const double Seconds = double(Clock.nsecsElapsed()) / 1e9;
    Files = int(Process.readAllStandardOutput().count('\n'));
    return Seconds;
}

// Notes when a widget first paints while a condition holds: what the
// operator sees, not merely what was set.
class TPaintWatch : public QObject {
public:
    TPaintWatch(QWidget* Target, std::function<bool()> Shows, const QElapsedTimer& Clock)
        : FTarget(Target), FShows(std::move(Shows)), FClock(Clock) {
        Target->installEventFilter(this);
    }
    ~TPaintWatch() override {
        if (FTarget)
            FTarget->removeEventFilter(this);
    }
    double Seconds() const { return FSeconds; }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override {
        if (Watched == FTarget && Event->type() == QEvent::Paint && FSeconds < 0 && FShows())
            FSeconds = double(FClock.nsecsElapsed()) / 1e9;
        return false;
    }

private:
    QPointer<QWidget> FTarget;
    std::function<bool()> FShows;
    const QElapsedTimer& FClock;
    double FSeconds = -1;
};

struct TRun {
    double EndToEnd = -1;
    double FirstCounter = -1;
    double FirstProgress = -1;
    int Hits = 0;
};

// Lets the event loop run (without sleeping in between) until Done holds.
bool RunUntil(const std::function<bool()>& Done, int Ms) {
    QEventLoop Loop;
    QTimer Poll;
    Poll.setInterval(1);
    QObject::connect(&Poll, &QTimer::timeout, &Loop, [&] {
        if (Done())
            Loop.quit();
    });
    QTimer Limit;
    Limit.setSingleShot(true);
    bool TimedOut = false;
    QObject::connect(&Limit, &QTimer::timeout, &Loop, [&] {
        TimedOut = true;
        Loop.quit();
    });
    Poll.start();
    Limit.start(Ms);
    if (!Done())
        Loop.exec();
    return !TimedOut;
}

TRun SearchOnce(TfrmMain& Main, TViewerWindows& Windows, const QStringList& Phrases) {
    TRun Run;
    QElapsedTimer Clock;
    const int WindowsBefore = int(Windows.ResultWindows().size());
    // The frame enables "Search Messages" when it is idle; it may not have
    // been idle since the last window closed.
    Main.ActionList1Update();
    const bool Ran = search_test::WhileModal<TdlgSearch>(
        [&] { return Windows.SearchDialog(); }, [&] { Main.aSearchText->trigger(); },
        [&](TdlgSearch* D) {
            D->RichEdit1->setPlainText(Phrases.join(QLatin1Char('\n')));
            D->rbAnyOf->setChecked(true);
            D->cbSource->setCurrentIndex(ssAll);
            D->cbDestination->setCurrentIndex(sdNewForm);
            D->ActionList1Update();
            TPaintWatch Counter(
                D->StatusPanels[TdlgSearch::pnTotal],
                [D] { return D->StatusText(TdlgSearch::pnTotal) != QStringLiteral("0"); }, Clock);
            TPaintWatch Progress(
                D->ProgressBar1, [D] { return D->ProgressBar1->value() > 0; }, Clock);
            Clock.start();
            D->btnSearch->click();
            RunUntil([D] { return !D->isVisible() || D->Job() == nullptr; }, 600000);
            Run.FirstCounter = Counter.Seconds();
            Run.FirstProgress = Progress.Seconds();
            if (D->isVisible())
                std::fprintf(stderr, "search_bench: the search ended with \"%s\"\n",
                             qUtf8Printable(D->StatusText(TdlgSearch::pnStatus)));
        });
    if (!Ran || !Clock.isValid())
        return Run;
    TfrmQueryResult* W = nullptr;
    const bool Listed = RunUntil(
        [&] {
            if (Windows.ResultWindows().size() <= WindowsBefore)
                return false;
            W = Windows.ResultWindows().last();
            return W->Cache() == nullptr && W->StatusText(0) == QStringLiteral("Done") &&
                   W->ListModel() != nullptr;
        },
        600000);
    if (!Listed || W == nullptr)
        return Run;
    Run.EndToEnd = double(Clock.nsecsElapsed()) / 1e9;
    QList<quint32> Ids;
    W->GetMediaIds(Ids, mtUnknown, false);
    Run.Hits = int(Ids.size());
    // The next run opens its own window.
    W->close();
    TVQApplication::ProcessMessages();
    return Run;
}

bool ParseOptions(const QStringList& Args, TOptions& Options) {
    QStringList Phrases;
    for (int I = 1; I < Args.size(); ++I) {
        const QString& A = Args[I];
        const bool HasValue = I + 1 < Args.size();
        if (A == QStringLiteral("--records") && HasValue)
            Options.Records = Args[++I].toUInt();
        else if (A == QStringLiteral("--runs") && HasValue)
            Options.Runs = qMax(1, Args[++I].toInt());
        else if (A == QStringLiteral("--dir") && HasValue)
            Options.Dir = Args[++I];
        else if (A.startsWith(QStringLiteral("--")))
            return false;
        else
            Phrases.append(A);
    }
    if (!Phrases.isEmpty())
        Options.Phrases = Phrases;
    return Options.Records > 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The viewer's settings and download files stay out of the user's.
    QTemporaryDir Private;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(Private.path()));
    TVQApplication App(argc, argv);
    TOptions Options;
    if (!ParseOptions(App.arguments(), Options)) {
        std::fprintf(stderr, "usage: search_bench [--records N] [--runs N] [--dir FOLDER] "
                             "[PHRASE...]\n");
        return 2;
    }
    const QString Parent = Options.Dir.isEmpty() ? QDir::tempPath() : Options.Dir;

    std::printf("search_bench: making a demo archive of %u records...\n", Options.Records);
    std::fflush(stdout);
    TKnownArchive Archive;
    if (!Archive.Make(Options.Records, {}, Parent)) {
        std::fprintf(stderr, "search_bench: %s\n", qUtf8Printable(Archive.Error()));
        return 1;
    }
    const QString Texts = Archive.Path() + QStringLiteral("/../texts");
    const int Files = WriteTexts(Archive, Texts);
    if (Files <= 0) {
        std::fprintf(stderr, "search_bench: the message texts could not be written\n");
        return 1;
    }

    TSearchServer Server;
    if (!Server.Start(Archive.Path(), QLatin1String(Password))) {
        std::fprintf(stderr, "search_bench: %s\n", qUtf8Printable(Server.Error()));
        return 1;
    }
    auto Connection = std::make_unique<TDBConnection>();
    Connection->SetHost(QStringLiteral("127.0.0.1"));
    Connection->SetPort(Server.Port());
    Connection->SetPassword(QLatin1String(Password));
    auto Data = std::make_unique<TCommonData>();
    CommonData = Data.get();
    auto Main = std::make_unique<TfrmMain>();
    TViewerWindows& Windows = *InstallViewerWindows(*Main);
    Main->AssignImages(Data->ActionGlyphs);
    Main->resize(1280, 900);
    Main->show();
    TVQMessageBox::SetAnswerAutomatically(true);

    // Each side once unmeasured, so that both read warm files.
    int GrepFiles = 0;
    Grep(Texts, Options.Phrases, GrepFiles);
    const TRun Warm = SearchOnce(*Main, Windows, Options.Phrases);
    if (Warm.EndToEnd < 0) {
        std::fprintf(stderr, "search_bench: the search did not complete (%s)\n",
                     qUtf8Printable(TVQMessageBox::Shown().join(QStringLiteral(" | "))));
        return 1;
    }

    std::vector<double> GrepTimes, EndToEnd, FirstCounter, FirstProgress;
    int Hits = Warm.Hits;
    for (int I = 0; I < Options.Runs; ++I) {
        GrepTimes.push_back(Grep(Texts, Options.Phrases, GrepFiles));
        const TRun R = SearchOnce(*Main, Windows, Options.Phrases);
        if (R.EndToEnd < 0) {
            std::fprintf(stderr, "search_bench: run %d did not complete\n", I + 1);
            return 1;
        }
        EndToEnd.push_back(R.EndToEnd);
        FirstCounter.push_back(R.FirstCounter);
        FirstProgress.push_back(R.FirstProgress);
        Hits = R.Hits;
    }

    const double Reference = Median(GrepTimes);
    const double Measured = Median(EndToEnd);
    std::printf("search_bench: %u records, %d instant messages, phrases", Options.Records, Files);
    for (const QString& P : Options.Phrases)
        std::printf(" \"%s\"", qUtf8Printable(P));
    std::printf(" (any of), median of %d runs\n", Options.Runs);
    std::printf("  hits: viewer %d, grep %d%s\n", Hits, GrepFiles,
                Hits == GrepFiles ? "" : "  << MISMATCH");
    std::printf("  reference  grep -F -i -l over %d files:           %8.3f s\n", Files, Reference);
    std::printf("  end to end \"Search\" -> result window lists hits:  %8.3f s   ratio %.2fx "
                "(goal <= 3x)\n",
                Measured, Reference > 0 ? Measured / Reference : 0.0);
    std::printf("  first counter on screen after \"Search\":          %8.3f s   (goal <= 0.5 s)\n",
                Median(FirstCounter));
    std::printf("  first progress bar step on screen:               %8.3f s\n",
                Median(FirstProgress));

    Main.reset();
    Data.reset();
    CommonData = nullptr;
    Connection.reset();
    Server.Stop();
    return Hits == GrepFiles ? 0 : 1;
}
