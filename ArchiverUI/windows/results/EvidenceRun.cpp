#include "EvidenceRun.h"

#include "EvidenceProgressDlg.h"
#include "QueryResult.h"
#include "VQMessageBox.h"
#include "VersionInfo.h"
#include "WindowEvidenceSource.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

namespace {

// The failures a box lists before it refers to the package's README.
constexpr int ListedFailures = 15;

QString FailureLines(const QList<TEvidenceFailure>& Failures) {
    QStringList Lines;
    for (const TEvidenceFailure& F : Failures) {
        if (Lines.size() == ListedFailures) {
            Lines.append(QStringLiteral("... and %1 more").arg(Failures.size() - ListedFailures));
            break;
        }
        Lines.append(QStringLiteral("%1: %2").arg(F.MediaId).arg(F.Reason));
    }
    return Lines.join(QLatin1Char('\n'));
}

QString ProgramName() {
    const QString Version = GetVersionInfoValue(QStringLiteral("ProductVersion"));
    return Version == QStringLiteral("N/A") ? QStringLiteral("vqviewer")
                                            : QStringLiteral("vqviewer ") + Version;
}

} // namespace

TEvidenceRun::TEvidenceRun(TfrmQueryResult& Window, QHash<quint32, TEvidenceRecord> Records,
                           const QString& FileName)
    : FWindow(Window), FFileName(FileName) {
    FSource = std::make_unique<TWindowEvidenceSource>(Window, std::move(Records));
    FDialog = std::make_unique<TdlgEvidenceProgress>(&Window, FileName);
    FDialog->OnCancel = [this] { Cancel(); };
    FPackTimer = new QTimer(this);
    FPackTimer->setInterval(100);
    connect(FPackTimer, &QTimer::timeout, this, [this] {
        if (FExport)
            FDialog->ShowProgress(FExport->Progress());
    });

    TEvidenceExport::TOptions Options;
    Options.Target = FileName;
    Options.Info.Program = ProgramName();
    if (DBConnection != nullptr) {
        Options.Info.Server =
            QStringLiteral("%1:%2").arg(DBConnection->Host()).arg(DBConnection->Port());
        Options.MaxRecords = DBConnection->MaxRecords();
        try {
            if (DBConnection->Connected())
                Options.Info.ServerType = DBConnection->GetServerType();
        } catch (const EDllException&) {
            // The README then names no server type.
        }
    }
    Options.OnProgress = [this](const TEvidenceProgress& Progress) {
        FDialog->ShowProgress(Progress);
    };
    Options.OnFinished = [this](const TEvidenceResult& Result) { Finish(Result); };
    Options.RunPacking = [this](std::function<void()> Work, std::function<void()> Then) {
        FPacker.reset(QThread::create(std::move(Work)));
        FPacker->setObjectName(QStringLiteral("EvidencePacker"));
        connect(FPacker.get(), &QThread::finished, this, [this, Then = std::move(Then)] {
            FPackTimer->stop();
            Then();
        });
        FPackTimer->start();
        FPacker->start();
    };
    FExport = std::make_unique<TEvidenceExport>(*FSource, std::move(Options));
}

TEvidenceRun::~TEvidenceRun() {
    if (FPacker && FPacker->isRunning()) {
        // libzip asks between its steps whether to go on: the ZIP's
        // temporary file is removed and the thread ends soon.
        FExport->Cancel();
        FPacker->wait();
    }
    FExport.reset();
    FSource.reset();
    FDialog.reset();
}

void TEvidenceRun::Start(const QList<quint32>& Ids) {
    FDialog->show();
    try {
        FExport->Start(Ids);
    } catch (...) {
        FDialog->hide();
        throw;
    }
}

void TEvidenceRun::Cancel() {
    if (FExport && !FFinished)
        FExport->Cancel();
}

void TEvidenceRun::Resume() {
    FSource->Resume();
}

bool TEvidenceRun::JobRunning() const {
    return FSource && FSource->JobRunning();
}

QString TEvidenceRun::Summary(const TEvidenceResult& Result) {
    switch (Result.Status) {
    case TEvidenceResult::erCancelled:
        return QString();
    case TEvidenceResult::erFailed: {
        QString Text = QStringLiteral("The evidence package was not written: %1").arg(Result.Error);
        if (!Result.Failures.isEmpty())
            Text += QStringLiteral("\n\n") + FailureLines(Result.Failures);
        return Text;
    }
    case TEvidenceResult::erWritten:
        break;
    }
    QString Text =
        QStringLiteral("The evidence package \"%1\" holds %2 record(s).\n\n"
                       "SHA-256 of the package:\n%3\n"
                       "SHA-256 of its manifest:\n%4\n\n"
                       "Note these values when you hand the package over; README.txt in the "
                       "package says how to verify it.")
            .arg(Result.File)
            .arg(Result.Exported.size())
            .arg(QString::fromLatin1(Result.PackageSha256),
                 QString::fromLatin1(Result.ManifestSha256));
    if (!Result.Failures.isEmpty())
        Text += QStringLiteral("\n\n%1 record(s) could not be exported:\n%2")
                    .arg(Result.Failures.size())
                    .arg(FailureLines(Result.Failures));
    return Text;
}

void TEvidenceRun::Finish(const TEvidenceResult& Result) {
    FResult = Result;
    FFinished = true;
    FDialog->hide();
    // Told from inside the export: the box and the window's clean-up come
    // once it has returned.
    QTimer::singleShot(0, this, [this] {
        // The box waits for the operator; the window may go meanwhile.
        const QPointer<TEvidenceRun> Self(this);
        const QPointer<TfrmQueryResult> Window(&FWindow);
        const QString Text = Summary(FResult);
        if (!Text.isEmpty()) {
            const QMessageBox::Icon Icon = FResult.Status != TEvidenceResult::erWritten
                                               ? QMessageBox::Critical
                                           : FResult.Failures.isEmpty() ? QMessageBox::Information
                                                                        : QMessageBox::Warning;
            TVQMessageBox::Show(&FWindow, Icon, QStringLiteral("Export evidence"), Text);
        }
        if (Self && Window)
            FWindow.EvidenceFinished();
    });
}
