// vqviewer: the archive viewer program. Start-up and shutdown follow a fixed
// order that the windows rely on: library binding, connection controller,
// main window, shared images; and back.
//
//   vqviewer [--connect] [FILE.vqq ...]
//   vqviewer --help | --version
//
// Each query file given opens a result window that runs the query, so that
// a saved query opens from a file manager or a script.
#include "CommonData.h"
#include "DataCache.h"
#include "Main.h"
#include "QueryResult.h"
#include "UserList.h"
#include "VQApplication.h"
#include "VQMessageBox.h"
#include "ViewerWindows.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT close the main window like its Exit command, so that
// a session manager or a script stopping the viewer gets the same orderly
// shutdown. The handler only writes to a pipe; the GUI thread does the rest.
struct TStopPipe {
    int Fd[2] = {-1, -1};
    ~TStopPipe() {
        for (int F : Fd)
            if (F >= 0)
                close(F);
    }
} StopPipe;

void OnStopSignal(int) {
    const char Byte = 1;
    [[maybe_unused]] const ssize_t Written = write(StopPipe.Fd[1], &Byte, 1);
}

// Closes the main window when the program is asked to stop (or quits when
// the window is not there yet).
std::unique_ptr<QSocketNotifier> WatchStopSignals(const QPointer<QWidget>& Target) {
    if (pipe2(StopPipe.Fd, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    struct sigaction Action = {};
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &Action, nullptr);
    sigaction(SIGINT, &Action, nullptr);
    auto Notifier = std::make_unique<QSocketNotifier>(StopPipe.Fd[0], QSocketNotifier::Read);
    QObject::connect(Notifier.get(), &QSocketNotifier::activated, [&Target] {
        char Bytes[16];
        while (read(StopPipe.Fd[0], Bytes, sizeof Bytes) > 0) {
        }
        // The notice is read in the message loop, where the window exists.
        if (!Target.isNull())
            Target->close();
        else
            QCoreApplication::quit();
    });
    return Notifier;
}

// The query files among the arguments: whatever is not an option. Qt has
// taken its own options (-geometry and the like) out already.
QStringList QueryFiles() {
    QStringList Files;
    const QStringList Args = QCoreApplication::arguments();
    for (qsizetype I = 1; I < Args.size(); ++I)
        if (!Args[I].startsWith(QLatin1Char('-')))
            Files.append(Args[I]);
    return Files;
}

const char* const Usage =
    "usage: vqviewer [--connect] [FILE.vqq ...]\n"
    "       vqviewer --help | --version\n"
    "\n"
    "The VQarchive viewer. Each query file given opens a result window that\n"
    "runs the query; --connect connects to the archive server at start instead\n"
    "of on the first query. The settings live in $XDG_CONFIG_HOME/Tovrin/vqviewer.\n"
    "Qt's own options (-platform, -style, -geometry, ...) apply as well.\n";

// --help and --version are answered before the application object exists,
// which needs a display: they must work over ssh and in package scripts.
// The usage wins over the version, as it tells of --version too.
std::optional<int> AnswerQuestion(int argc, char** argv) {
    bool Help = false;
    bool Version = false;
    for (int I = 1; I < argc; ++I) {
        Help = Help || std::strcmp(argv[I], "--help") == 0 || std::strcmp(argv[I], "-h") == 0;
        Version = Version || std::strcmp(argv[I], "--version") == 0;
    }
    if (!Help && !Version)
        return std::nullopt;
    std::fputs(Help ? Usage : "vqviewer " VQ_VERSION "\n", stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> Answered = AnswerQuestion(argc, argv))
        return *Answered;
    // Qt's application object must exist before anything that takes events
    // (the controller's notification window among them), so it is built
    // first; it is set up with its title at its own step below.
    TVQApplication Application(argc, argv);
    // From here on a stop request waits for the message loop.
    QPointer<QWidget> StopTarget;
    auto StopSignals = WatchStopSignals(StopTarget);

    // 1. The binding starts the library and registers the five callbacks;
    //    it is freed last, at program exit, which stops the library.
    TDBInterface::GetInstance();
    // 2. Nothing to initialise for the shell functions on this platform.
    // 3. The query builder's shared user list, kept between dialogs.
    auto Users = std::make_unique<TUserList>();
    UserList = Users.get();
    // 4. The controller reads host and port and shows "Not connected"; it
    //    opens no connection. It lives until the program ends.
    auto* Controller = new TDBConnection;
    // 5.
    TVQApplication::SetTitle(QStringLiteral("VQarchive Viewer"));
    Application.setWindowIcon(TCommonData::ApplicationIcon());
    // 6. The main window, then the data module whose images it shows. The
    //    window areas are wired together through the main window's
    //    go-between: its actions reach the query builder, the search and the
    //    result windows.
    auto MainWindow = std::make_unique<TfrmMain>();
    TViewerWindows* Windows = InstallViewerWindows(*MainWindow);
    StopTarget = MainWindow.get();
    auto Data = std::make_unique<TCommonData>();
    CommonData = Data.get();
    MainWindow->AssignImages(CommonData->ActionGlyphs);
    // A query file opens its window and runs; one that cannot be read says so.
    const auto OpenFile = [Window = MainWindow.get(), Windows](const QString& File) {
        try {
            Windows->OpenQueryFile(File);
        } catch (...) {
            Window->AppException(std::current_exception());
        }
    };
    // File > Open query... runs a saved query as a file given here does.
    QObject::connect(MainWindow.get(), &TfrmMain::OpenQueryRequested, MainWindow.get(), OpenFile);
    MainWindow->show();
    // Settings that could not be read are reported once the window is up;
    // their defaults apply meanwhile, and the file is not touched.
    if (!Controller->SettingsProblems().isEmpty())
        QTimer::singleShot(0, MainWindow.get(), [Window = MainWindow.get(), Controller] {
            TVQMessageBox::ShowError(
                Window, Controller->SettingsProblems().join(QLatin1Char('\n')) +
                            QStringLiteral("\n\nThe settings file stays as it is until the "
                                           "settings are saved."));
        });
    // Normally the first query connects. With --connect the viewer connects
    // as soon as its loop runs (the demo uses it); a failure shows in the
    // status bar and in the error box like any other.
    if (QCoreApplication::arguments().contains(QStringLiteral("--connect")))
        QTimer::singleShot(0, MainWindow.get(), [Controller] { Controller->ConnectionOK(); });
    // Each query file given opens; the first runs at once, the others wait
    // for it in turn.
    if (const QStringList Files = QueryFiles(); !Files.isEmpty())
        QTimer::singleShot(0, MainWindow.get(), [Files, OpenFile] {
            for (const QString& File : Files)
                OpenFile(File);
        });
    // 7.
    const int Result = Application.exec();

    // The child windows go with the main window (each result window cancels
    // its jobs), then the data module; the library's threads must no longer
    // wait for this thread before the binding stops the library at exit.
    StopSignals.reset();
    MainWindow.reset();
    Data.reset();
    UserList = nullptr;
    Users.reset();
    Controller->Shutdown();
    return Result;
}
