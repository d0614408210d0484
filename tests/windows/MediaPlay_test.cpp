// The media player window against the reference server: records are really
// downloaded through the controller when the player asks for them (as the
// result window does), really played through the audio sink, saved, and
// the call attached data of a recording compared with the archive's rows.
#include "ViewerTestSupport.h"

#include "CADValues.h"
#include "LinkLabel.h"
#include "MediaPlay.h"
#include "MediaTools.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "ViewerArchive.h"
#include "WaveTrackBar.h"

#include "TestSupport.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QCheckBox>
#include <QDir>
#include <QEnterEvent>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <sys/stat.h>

using namespace viewer_test;

namespace {

QByteArray ReadFile(const QString& Name) {
    QFile F(Name);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

// The player docked in a window, and the owner's side: a download through
// the controller whenever the player asks for the record.
class MediaPlayerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Live = new TLiveConnection;
        StartError = Live->Start();
    }
    static void TearDownTestSuite() {
        delete Live;
        Live = nullptr;
    }

    void SetUp() override {
        if (Live->Skip)
            GTEST_SKIP() << qPrintable(StartError);
        ASSERT_TRUE(StartError.isEmpty()) << qPrintable(StartError);
        ASSERT_TRUE(Dir.isValid());
        TVQFileDialog::ClearAsked();
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        TempFile = Dir.filePath(QStringLiteral("vqa123.~tf"));
        Host = std::make_unique<QWidget>();
        Host->resize(320, 560);
        Player = new TfrmMediaPlayer(Host.get());
        auto* Layout = new QVBoxLayout(Host.get());
        Layout->addWidget(Player);
        Player->OnGetMedia = [this](QObject* Sender) {
            EXPECT_EQ(Sender, Player);
            ++Requests;
            ASSERT_TRUE(Downloader.Start({Record.Id}));
        };
        Host->show();
    }
    void TearDown() override {
        Host.reset();
        TVQFileDialog::ClearAsked();
    }

    // What the result window does when the download it started is done.
    bool FinishDownload() {
        if (!Downloader.Wait())
            return false;
        QFile F(TempFile);
        if (!F.open(QIODevice::WriteOnly | QIODevice::Truncate) || !Downloader.Error.isEmpty())
            return false;
        F.write(Downloader.Data[Record.Id]);
        F.close();
        Player->SetProgressCaption(QStringLiteral("Ready to play"));
        Player->SetSound(TempFile);
        Player->LoadFile(Record.Extension);
        return true;
    }

    void Choose(const QString& Extension) {
        Record = TDemoArchive::Recording(Extension);
        Player->SetDateTimeStr(QStringLiteral("12/31/2024 10:22:33"));
    }

    int DevicePosition() const {
        return Player->MCI()->Command("status %S position", Player->MCI()->DeviceName()).toInt();
    }

    static inline TLiveConnection* Live = nullptr;
    static inline QString StartError;

    QTemporaryDir Dir;
    QString TempFile;
    std::unique_ptr<QWidget> Host;
    TfrmMediaPlayer* Player = nullptr;
    TDownloadWindow Downloader;
    TDemoArchive::TRecord Record;
    int Requests = 0;
};

class PlayingTest : public MediaPlayerTest, public ::testing::WithParamInterface<const char*> {};

} // namespace

// ---------------------------------------------------------------------------
// Form

TEST_F(MediaPlayerTest, TheFormHasItsControlsActionsAndMenu) {
    EXPECT_EQ(Player->windowTitle(), QStringLiteral("Sound Player"));
    EXPECT_GE(Player->minimumWidth(), 206);
    EXPECT_GE(Player->minimumHeight(), 300);
    for (const char* Name : {"pnlMediaPlayer", "lbParticipants", "lPlay", "lPause", "lStop",
                             "lSaveAs", "lbDownload", "lbRecordTime", "cbAutostart", "TrackBar1",
                             "pnlCAD", "lvCADValues", "Timer1", "PopupMenu1"})
        EXPECT_NE(Player->findChild<QObject*>(QString::fromLatin1(Name)), nullptr) << Name;
    EXPECT_EQ(Player->lPlay->text(), QStringLiteral("Play sound"));
    EXPECT_EQ(Player->lPause->text(), QStringLiteral("Pause playing"));
    EXPECT_EQ(Player->lStop->text(), QStringLiteral("Stop playing"));
    EXPECT_EQ(Player->lSaveAs->text(), QStringLiteral("Save As..."));
    EXPECT_EQ(Player->lbDownload->text(), QStringLiteral("0"));
    EXPECT_EQ(Player->lbRecordTime->text(), QStringLiteral("0 s"));
    EXPECT_FALSE(Player->lbRecordTime->isVisible());
    EXPECT_EQ(Player->Timer1->interval(), 200);
    EXPECT_TRUE(Player->Timer1->isActive());
    EXPECT_EQ(Player->TrackBar1->tickPosition(), QSlider::NoTicks);
    EXPECT_TRUE(Player->lbParticipants->wordWrap());
    EXPECT_TRUE(Player->lbParticipants->font().bold());
    EXPECT_EQ(Player->lbParticipants->palette().color(QPalette::WindowText), QColor(0, 0, 128));

    const std::vector<std::pair<QAction*, QString>> Captions = {
        {Player->aPlay, "Play"},   {Player->aPause, "Pause"},        {Player->aStop, "Stop"},
        {Player->aClose, "Close"}, {Player->aAutostart, "Autoplay"}, {Player->aSave, "Save As..."}};
    for (const auto& [Action, Caption] : Captions)
        EXPECT_EQ(Action->text(), Caption);
    EXPECT_TRUE(Player->aAutostart->isCheckable());
    QStringList Menu;
    for (QAction* A : Player->PopupMenu1->actions())
        Menu << (A->isSeparator() ? QStringLiteral("-") : A->objectName());
    EXPECT_EQ(Menu, (QStringList{"aPlay", "aPause", "aStop", "-", "aSave", "-", "aAutostart", "-",
                                 "aClose"}));

    auto* Model = Player->lvCADValues->model();
    ASSERT_NE(Model, nullptr);
    EXPECT_EQ(Model->columnCount(), 3);
    EXPECT_EQ(Model->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    EXPECT_EQ(Model->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Value"));
    EXPECT_EQ(Model->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Description"));
    EXPECT_EQ(Player->lvCADValues->editTriggers(), QAbstractItemView::NoEditTriggers);
    auto* Title = Player->pnlCAD->findChild<QLabel*>(QStringLiteral("lbCADTitle"));
    ASSERT_NE(Title, nullptr);
    EXPECT_EQ(Title->text(), QStringLiteral("Call Attached Data"));
    EXPECT_TRUE(Title->font().bold());
}

TEST_F(MediaPlayerTest, EveryControlHasAnAccessibleNameAndTheTransportTakesTheKeyboard) {
    for (QWidget* W : Player->findChildren<QWidget*>()) {
        if (W->focusPolicy() == Qt::NoFocus || !W->isVisibleTo(Player) ||
            qobject_cast<QMenu*>(W) != nullptr || W->parentWidget() == nullptr)
            continue;
        // Inner parts of composite controls speak through their owner.
        if (W->parentWidget()->inherits("QAbstractScrollArea") || W->inherits("QScrollBar") ||
            W->inherits("QHeaderView") || W->inherits("QComboBoxPrivateContainer"))
            continue;
        // A label is read as what it shows.
        if (auto* Label = qobject_cast<QLabel*>(W); Label != nullptr && Label->text().isEmpty())
            continue;
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(W)->text(QAccessible::Name).isEmpty())
            << qPrintable(W->objectName()) << " " << W->metaObject()->className();
    }
    Player->lbParticipants->setText(QStringLiteral("Anna and Bert"));
    EXPECT_EQ(
        QAccessible::queryAccessibleInterface(Player->lbParticipants)->text(QAccessible::Name),
        QStringLiteral("Anna and Bert"));
    for (QWidget* W :
         {static_cast<QWidget*>(Player->btnPlay), static_cast<QWidget*>(Player->btnPause),
          static_cast<QWidget*>(Player->btnStop), static_cast<QWidget*>(Player->TrackBar1),
          static_cast<QWidget*>(Player->lPlay)})
        EXPECT_TRUE(W->focusPolicy() & Qt::TabFocus) << qPrintable(W->objectName());
}

TEST_F(MediaPlayerTest, LinkLabelsUnderlineUnderTheMouseAndRunTheirAction) {
    Choose(QStringLiteral("wav"));
    EXPECT_FALSE(Player->lPlay->Underlined());
    QEnterEvent Enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(Player->lPlay, &Enter);
    EXPECT_TRUE(Player->lPlay->Underlined());
    QEvent Leave(QEvent::Leave);
    QApplication::sendEvent(Player->lPlay, &Leave);
    EXPECT_FALSE(Player->lPlay->Underlined());
    EXPECT_EQ(Player->lPlay->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QTest::mouseClick(Player->lPlay, Qt::LeftButton);
    EXPECT_EQ(Requests, 1);
    ASSERT_TRUE(FinishDownload());
    // Disabled with its action: no file, nothing to pause.
    Player->CloseMedia();
    EXPECT_FALSE(Player->lPause->isEnabled());
}

// ---------------------------------------------------------------------------
// Playing

TEST_P(PlayingTest, PlayDownloadsTheRecordAndPlaysIt) {
    VQ_AUDIO_OR_SKIP();
    Choose(QString::fromLatin1(GetParam()));
    ASSERT_FALSE(Player->Autostart());
    // Browsing with Autoplay off shows the player without downloading.
    Player->Play();
    EXPECT_EQ(Requests, 0);
    Player->aPlay->trigger();
    EXPECT_EQ(Requests, 1);
    ASSERT_TRUE(FinishDownload()) << qPrintable(Downloader.Error);
    EXPECT_EQ(ReadFile(TempFile), ReadFile(TDemoArchive::DataFile(Record.FileName)));
    EXPECT_EQ(Player->Sound(), TempFile);
    EXPECT_EQ(Player->ProgressCaption(), QStringLiteral("Ready to play"));
    EXPECT_EQ(Player->IsMp3(), Record.Extension != QLatin1String("wav"));
    EXPECT_TRUE(Player->MCI()->Opened());
    EXPECT_NEAR(Player->MCI()->MediaLength(), Record.Duration * 1000, 1000);
    EXPECT_EQ(Player->TrackBar1->maximum(), Player->MCI()->MediaLength());
    EXPECT_TRUE(Player->Playing());

    // The position advances; the timer moves the track bar after it and
    // counts down the remaining seconds.
    ASSERT_TRUE(PumpUntil([&] { return DevicePosition() > 700; }, 30000));
    Player->ProcessKey(Qt::Key_Space);
    ASSERT_EQ(Player->MCI()->Mode(), mciPaused);
    PumpFor(3 * TfrmMediaPlayer::TimerInterval);
    EXPECT_TRUE(Player->lbRecordTime->isVisible());
    const int Shown = Player->TrackBar1->value();
    EXPECT_NEAR(Shown, DevicePosition(), 30);
    EXPECT_EQ(Player->lbRecordTime->text(),
              QStringLiteral("%1 s").arg((Player->TrackBar1->maximum() - Shown) / 1000));
    EXPECT_TRUE(Player->lbTime->text().startsWith(QStringLiteral("0:0")))
        << qPrintable(Player->lbTime->text());
    // Elapsed and total time, and whether it plays or pauses.
    EXPECT_TRUE(Player->lbTime->text().endsWith(
        QStringLiteral("%1:%2  Paused")
            .arg(Player->MCI()->MediaLength() / 60000)
            .arg((Player->MCI()->MediaLength() / 1000) % 60, 2, 10, QLatin1Char('0'))))
        << qPrintable(Player->lbTime->text());
    Player->ProcessKey(Qt::Key_Space);
    ASSERT_TRUE(Player->Playing());

    // Space pauses, the pause holds, Space again resumes through play.
    Player->ProcessKey(Qt::Key_Space);
    EXPECT_EQ(Player->MCI()->Mode(), mciPaused);
    PumpFor(300);
    const int Held = DevicePosition();
    PumpFor(600);
    EXPECT_NEAR(DevicePosition(), Held, 30);
    Player->ProcessKey(Qt::Key_Space);
    EXPECT_TRUE(Player->Playing());
    EXPECT_GE(DevicePosition() + 50, Held);
    EXPECT_EQ(Requests, 1);

    // Right and Left skip five seconds; Backspace returns to the start.
    const int Before = DevicePosition();
    Player->ProcessKey(Qt::Key_Right);
    EXPECT_NEAR(DevicePosition(), qMin(Before + 5000, Player->MCI()->MediaLength()), 300);
    EXPECT_TRUE(Player->Playing());
    Player->ProcessKey(Qt::Key_Left);
    EXPECT_NEAR(DevicePosition(), Before, 400);
    Player->ProcessKey(Qt::Key_Backspace);
    EXPECT_LT(DevicePosition(), 300);

    // A click on the track bar seeks there and plays from there.
    const QRect Bar = Player->TrackBar1->rect();
    const QPoint At(Bar.left() + Bar.width() * 3 / 5, Bar.center().y());
    const int Wanted = Player->TrackBar1->ValueAt(At.x());
    QTest::mouseClick(Player->TrackBar1, Qt::LeftButton, {}, At);
    EXPECT_NEAR(DevicePosition(), Wanted, 100);
    PumpUntil([&] { return Player->Playing(); }, 2000);
    EXPECT_TRUE(Player->Playing());
    EXPECT_NEAR(DevicePosition(), Wanted, 100 + 500);

    // Play while playing goes on where it is; a skip while paused moves
    // without playing and stays paused.
    const int Going = DevicePosition();
    Player->aPlay->trigger();
    EXPECT_TRUE(Player->Playing());
    EXPECT_GE(DevicePosition() + 50, Going);
    Player->aPause->trigger();
    const int Paused = DevicePosition();
    Player->ProcessKey(Qt::Key_Left);
    EXPECT_EQ(Player->MCI()->Mode(), mciPaused);
    EXPECT_NEAR(DevicePosition(), qMax(0, Paused - 5000), 300);
    PumpFor(3 * TfrmMediaPlayer::TimerInterval);
    EXPECT_EQ(Player->MCI()->Mode(), mciPaused);

    // Stop goes back to the start; a skip while stopped holds through the
    // timer's ticks; after Stop, play starts from the beginning.
    Player->aStop->trigger();
    EXPECT_EQ(Player->MCI()->Mode(), mciStopped);
    Player->ProcessKey(Qt::Key_Right);
    PumpFor(3 * TfrmMediaPlayer::TimerInterval);
    EXPECT_EQ(Player->TrackBar1->value(), qMin(5000, Player->MCI()->MediaLength()));
    EXPECT_EQ(Player->MCI()->Mode(), mciStopped);
    Player->aStop->trigger();
    Player->aPlay->trigger();
    EXPECT_LT(DevicePosition(), 300);
    EXPECT_EQ(Requests, 1);
}

TEST_P(PlayingTest, AutoplayPlaysAsSoonAsTheResultWindowBrowses) {
    VQ_AUDIO_OR_SKIP();
    Choose(QString::fromLatin1(GetParam()));
    Player->cbAutostart->setChecked(true);
    EXPECT_TRUE(Player->Autostart());
    EXPECT_TRUE(Player->aAutostart->isChecked());
    Player->Play();
    EXPECT_EQ(Requests, 1);
    ASSERT_TRUE(FinishDownload());
    EXPECT_TRUE(Player->Playing());
    ASSERT_TRUE(PumpUntil([&] { return DevicePosition() > 300; }, 20000));
    // Browsing the same record again goes on where it plays, from the file
    // it has.
    Player->Play();
    EXPECT_EQ(Requests, 1);
    EXPECT_TRUE(Player->Playing());
    EXPECT_GT(DevicePosition(), 300);
}

INSTANTIATE_TEST_SUITE_P(Recordings, PlayingTest, ::testing::Values("wav", "mp3"));

TEST_F(MediaPlayerTest, TheWaveformIsDrawnFromTheDecodedAudio) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    Player->aStop->trigger();
    ASSERT_TRUE(PumpUntil([&] { return Player->Waveform()->Finished(); }, 60000));
    EXPECT_FALSE(Player->Waveform()->Failed());
    EXPECT_TRUE(Player->TrackBar1->HasPeaks());
    const QVector<float> Peaks = Player->Waveform()->Peaks();
    ASSERT_FALSE(Peaks.isEmpty());
    EXPECT_LE(Peaks.size(), TWaveformReader::MaxBuckets + 2);
    EXPECT_NEAR(double(Peaks.size()) * Player->Waveform()->BucketMs(), Player->MCI()->MediaLength(),
                2.0 * Player->Waveform()->BucketMs() + 50);
    const float Loudest = *std::max_element(Peaks.begin(), Peaks.end());
    EXPECT_GT(Loudest, 0.05f);
    EXPECT_LE(Loudest, 1.0f);
    // Drawn: the played part in the highlight colour once the bar moved.
    Player->TrackBar1->setValue(Player->TrackBar1->maximum());
    const QImage Image = Player->TrackBar1->grab().toImage();
    const QColor Highlight = Player->TrackBar1->palette().color(QPalette::Highlight);
    int Lit = 0;
    for (int Y = 0; Y < Image.height(); ++Y)
        for (int X = 0; X < Image.width(); ++X)
            Lit += QColor(Image.pixel(X, Y)) == Highlight;
    EXPECT_GT(Lit, Image.width());
}

TEST_F(MediaPlayerTest, AFileTheDeviceRefusesIsNotFetchedAgain) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(Downloader.Wait());
    QFile F(TempFile);
    ASSERT_TRUE(F.open(QIODevice::WriteOnly));
    F.write("this is no recording");
    F.close();
    Player->SetSound(TempFile);
    Player->LoadFile(QStringLiteral("wav"));
    EXPECT_EQ(Requests, 1);
    EXPECT_FALSE(Player->MCI()->Opened());
    EXPECT_EQ(Player->ProgressCaption(), QStringLiteral("The recording cannot be played"));
}

// ---------------------------------------------------------------------------
// Saving and closing

TEST_F(MediaPlayerTest, SaveAsBeforeAnyDownloadDownloadsFirstAndCopies) {
    Choose(QStringLiteral("wav"));
    const QString Target = Dir.filePath(QStringLiteral("saved.wav"));
    TVQFileDialog::SetNextAnswer(Target);
    Player->aSave->trigger();
    ASSERT_EQ(TVQFileDialog::Asked().size(), 1);
    const TFileDialogRequest Asked = TVQFileDialog::Asked().constFirst();
    EXPECT_TRUE(Asked.Save);
    EXPECT_EQ(Asked.FileName, QStringLiteral("audio 12.31.2024 10_22_33"));
    EXPECT_FALSE(Asked.FileName.contains(QLatin1Char(':')));
    EXPECT_FALSE(Asked.FileName.contains(QLatin1Char('/')));
    EXPECT_EQ(Asked.Filter, QStringLiteral("wav audio|*.wav"));
    EXPECT_EQ(Asked.DefaultExt, QStringLiteral("wav"));
    EXPECT_EQ(Requests, 1);
    EXPECT_FALSE(QFileInfo::exists(Target));
    ASSERT_TRUE(FinishDownload());
    EXPECT_EQ(ReadFile(Target), ReadFile(TDemoArchive::DataFile(Record.FileName)));
    struct stat St {};
    ASSERT_EQ(::stat(QFile::encodeName(Target).constData(), &St), 0);
    // A place the operator chose: their umask decides, as for any program.
    const mode_t Umask = ::umask(0);
    ::umask(Umask);
    EXPECT_EQ(St.st_mode & 0777, 0666u & ~Umask);
    // Saving does not play.
    EXPECT_FALSE(Player->Playing());
    EXPECT_EQ(Player->AfterLoad(), amlaPlay);

    // With the file loaded, Save As copies at once, over an older file.
    const QString Again = Dir.filePath(QStringLiteral("again.wav"));
    QFile Old(Again);
    ASSERT_TRUE(Old.open(QIODevice::WriteOnly));
    Old.write("old");
    Old.close();
    ASSERT_TRUE(Old.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    TVQFileDialog::SetNextAnswer(Again);
    Player->aSave->trigger();
    EXPECT_EQ(Requests, 1);
    EXPECT_EQ(ReadFile(Again), ReadFile(TDemoArchive::DataFile(Record.FileName)));
    // A replaced file keeps the permissions it had, and no temporary is left.
    ASSERT_EQ(::stat(QFile::encodeName(Again).constData(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0640u);
    EXPECT_EQ(QDir(Dir.path()).entryList({QStringLiteral("again.wav*")}, QDir::Files).size(), 1);
    // Cancelled: nothing happens.
    TVQFileDialog::SetNextAnswer(QString());
    Player->aSave->trigger();
    EXPECT_EQ(Requests, 1);
}

TEST_F(MediaPlayerTest, AnMp3SavedBeforeItsKindWasKnownKeepsItsOwnExtension) {
    Choose(QStringLiteral("mp3"));
    // Nothing loaded yet: the dialog proposes the wave kind.
    const QString Target = Dir.filePath(QStringLiteral("call.wav"));
    TVQFileDialog::SetNextAnswer(Target);
    Player->aSave->trigger();
    EXPECT_EQ(TVQFileDialog::Asked().constFirst().Filter, QStringLiteral("wav audio|*.wav"));
    ASSERT_TRUE(FinishDownload());
    EXPECT_FALSE(QFileInfo::exists(Target));
    EXPECT_EQ(ReadFile(Dir.filePath(QStringLiteral("call.mp3"))),
              ReadFile(TDemoArchive::DataFile(Record.FileName)));
    // Now the kind is known.
    TVQFileDialog::SetNextAnswer(Dir.filePath(QStringLiteral("next.mp3")));
    Player->aSave->trigger();
    EXPECT_EQ(TVQFileDialog::Asked().constLast().Filter, QStringLiteral("mp3 audio|*.mp3"));
    EXPECT_EQ(TVQFileDialog::Asked().constLast().DefaultExt, QStringLiteral("mp3"));
}

TEST_F(MediaPlayerTest, SavingOverALinkReplacesTheLinkNotItsTarget) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    const QString Victim = Dir.filePath(QStringLiteral("victim"));
    QFile V(Victim);
    ASSERT_TRUE(V.open(QIODevice::WriteOnly));
    V.write("keep me");
    V.close();
    const QString Link = Dir.filePath(QStringLiteral("link.wav"));
    ASSERT_TRUE(QFile::link(Victim, Link));
    TVQFileDialog::SetNextAnswer(Link);
    Player->aSave->trigger();
    EXPECT_EQ(ReadFile(Victim), QByteArray("keep me"));
    EXPECT_FALSE(QFileInfo(Link).isSymLink());
    EXPECT_EQ(ReadFile(Link), ReadFile(TDemoArchive::DataFile(Record.FileName)));
}

TEST_F(MediaPlayerTest, AFailedSaveIsReported) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    TVQFileDialog::SetNextAnswer(Dir.filePath(QStringLiteral("no/such/folder/x.wav")));
    Player->aSave->trigger();
    ASSERT_EQ(TVQMessageBox::Shown().size(), 1);
    EXPECT_TRUE(TVQMessageBox::Shown().constFirst().startsWith(
        QStringLiteral("The recording was not saved.")));
}

TEST_F(MediaPlayerTest, CloseMediaHidingAndClosingDeleteTheFile) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    EXPECT_TRUE(QFileInfo::exists(TempFile));
    EXPECT_TRUE(Player->lbRecordTime->isVisible());
    Player->CloseMedia();
    EXPECT_FALSE(QFileInfo::exists(TempFile));
    EXPECT_FALSE(Player->MCI()->Opened());
    EXPECT_FALSE(Player->lbRecordTime->isVisible());
    EXPECT_TRUE(Player->MCI()->Device()->Aliases().isEmpty());

    // Hiding the player closes its media too, but hiding the window around
    // it does not.
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    Host->hide();
    EXPECT_TRUE(QFileInfo::exists(TempFile));
    Host->show();
    Player->hide();
    EXPECT_FALSE(QFileInfo::exists(TempFile));
    EXPECT_FALSE(Player->MCI()->Opened());
    Player->show();

    // The close action tells the owner and hides the player.
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    QObject* Closed = nullptr;
    Player->OnClose = [&](QObject* Sender) { Closed = Sender; };
    Player->aClose->trigger();
    EXPECT_EQ(Closed, Player);
    EXPECT_FALSE(Player->isVisible());
    EXPECT_FALSE(QFileInfo::exists(TempFile));
}

TEST_F(MediaPlayerTest, AnotherSoundClosesTheCurrentMedia) {
    Choose(QStringLiteral("wav"));
    Player->aPlay->trigger();
    ASSERT_TRUE(FinishDownload());
    ASSERT_TRUE(Player->MCI()->Opened());
    Player->SetSound(TempFile);
    EXPECT_TRUE(Player->MCI()->Opened());
    Player->SetSound(Dir.filePath(QStringLiteral("other.~tf")));
    EXPECT_FALSE(Player->MCI()->Opened());
    EXPECT_EQ(Player->Sound(), Dir.filePath(QStringLiteral("other.~tf")));
}

// ---------------------------------------------------------------------------
// Call attached data

namespace {

using TCADRows = std::vector<std::vector<QString>>;

TCADRows Sorted(TCADRows Rows) {
    std::sort(Rows.begin(), Rows.end());
    return Rows;
}

TCADRows ModelRows(const TfrmMediaPlayer& Player) {
    TCADRows Rows;
    auto* Model = Player.lvCADValues->model();
    for (int R = 0; R < Model->rowCount(); ++R)
        Rows.push_back({Model->index(R, 0).data().toString(), Model->index(R, 1).data().toString(),
                        Model->index(R, 2).data().toString()});
    return Rows;
}

TCADRows ArchiveRows(const QString& Database, const QString& CallId) {
    QString Quoted = CallId;
    Quoted.replace(QLatin1Char('\''), QLatin1String("''"));
    TCADRows Rows = QueryArchive(
        Database, QStringLiteral(
                      "SELECT name, value, Coalesce(description, '') FROM cad WHERE call_id = '%1'")
                      .arg(Quoted));
    return Rows;
}

bool QueryDone(TfrmMediaPlayer& Player) {
    return PumpUntil([&] {
        DBConnection->TimerProc();
        return !Player.Busy();
    });
}

} // namespace

TEST_F(MediaPlayerTest, TheCallAttachedDataOfARecordingAreTheArchivesRows) {
    const TRows Calls = TDemoArchive::Query(QStringLiteral(
        "SELECT m.CALL_ID FROM media m WHERE m.Media_Type = 'callrec' AND EXISTS (SELECT 1 FROM "
        "cad c WHERE c.call_id = m.CALL_ID) ORDER BY m.Media_ID LIMIT 2"));
    ASSERT_EQ(Calls.size(), 2u);
    QAbstractItemModelTester Tester(Player->lvCADValues->model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    for (const auto& Call : Calls) {
        Player->CADQuery(Call[0]);
        EXPECT_TRUE(Player->Busy());
        ASSERT_TRUE(QueryDone(*Player));
        const TCADRows Expected = ArchiveRows(TDemoArchive::Database(), Call[0]);
        ASSERT_FALSE(Expected.empty());
        EXPECT_EQ(Sorted(ModelRows(*Player)), Sorted(Expected)) << qPrintable(Call[0]);
        EXPECT_EQ(DBConnection->JobCount(), 0);
    }
    // A call without attached data empties the list.
    Player->CADQuery(QStringLiteral("00000-00-00000-000"));
    ASSERT_TRUE(QueryDone(*Player));
    EXPECT_EQ(Player->lvCADValues->model()->rowCount(), 0);
}

TEST_F(MediaPlayerTest, CancellingAQueryLeavesNoJobAndNoLateRows) {
    const TRows Calls = TDemoArchive::Query(
        QStringLiteral("SELECT call_id FROM cad GROUP BY call_id ORDER BY count(*) DESC LIMIT 1"));
    ASSERT_EQ(Calls.size(), 1u);
    Player->CADQuery(Calls[0][0]);
    EXPECT_TRUE(Player->Busy());
    EXPECT_EQ(DBConnection->JobCount(), 1);
    Player->CancelQuery();
    EXPECT_FALSE(Player->Busy());
    EXPECT_EQ(DBConnection->JobCount(), 0);
    PumpFor(500);
    EXPECT_EQ(Player->lvCADValues->model()->rowCount(), 0);
    // A second query while one runs replaces it.
    Player->CADQuery(QStringLiteral("nothing"));
    Player->CADQuery(Calls[0][0]);
    EXPECT_EQ(DBConnection->JobCount(), 1);
    ASSERT_TRUE(QueryDone(*Player));
    EXPECT_EQ(Sorted(ModelRows(*Player)),
              Sorted(ArchiveRows(TDemoArchive::Database(), Calls[0][0])));
}

TEST(MediaPlayerOffline, WithoutAConnectionTheQueryFailsAndIsNotBusy) {
    QWidget Host;
    auto* Player = new TfrmMediaPlayer(&Host);
    {
        TDBConnection Offline;
        EXPECT_THROW(Player->CADQuery(QStringLiteral("x")), EDllException);
        EXPECT_FALSE(Player->Busy());
        EXPECT_EQ(Offline.JobCount(), 0);
    }
    // Without any controller as well.
    EXPECT_THROW(Player->CADQuery(QStringLiteral("x")), EDllException);
    EXPECT_FALSE(Player->Busy());
}

// A copy of the archive with a call id holding a quote and a backslash, on
// a server that sends rows two at a time.
class CADQuotingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Archive = Dir.filePath(QStringLiteral("archive"));
        ASSERT_TRUE(TDemoArchive::CopyTo(Archive));
        Database = Archive + QStringLiteral("/archive.sqlite");
        const TRows Calls = TDemoArchive::Query(QStringLiteral(
            "SELECT call_id FROM cad GROUP BY call_id HAVING count(*) >= 3 LIMIT 1"));
        ASSERT_EQ(Calls.size(), 1u);
        Original = Calls[0][0];
        ASSERT_TRUE(ChangeArchive(
            Database,
            QStringLiteral("UPDATE cad SET call_id = 'O''Br\\ien' WHERE call_id = '%1'; "
                           "UPDATE media SET CALL_ID = 'O''Br\\ien' WHERE CALL_ID = '%1';")
                .arg(Original)));
        const QString Error =
            Live.Start(Archive, {QStringLiteral("--batch-size"), QStringLiteral("2")});
        if (Live.Skip)
            GTEST_SKIP() << qPrintable(Error);
        ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
        Host = std::make_unique<QWidget>();
        Player = new TfrmMediaPlayer(Host.get());
    }
    QTemporaryDir Dir;
    QString Archive;
    QString Database;
    QString Original;
    TLiveConnection Live;
    std::unique_ptr<QWidget> Host;
    TfrmMediaPlayer* Player = nullptr;
};

TEST_F(CADQuotingTest, ACallIdWithAQuoteFindsItsRowsInEveryBatch) {
    ASSERT_EQ(DBConnection->GetServerType(), 3);
    const QString Id = QStringLiteral("O'Br\\ien");
    const TCADRows Expected = ArchiveRows(Database, Id);
    ASSERT_GE(Expected.size(), 3u);
    Player->CADQuery(Id);
    ASSERT_TRUE(QueryDone(*Player));
    // Sent in batches of two, all of them are listed.
    EXPECT_EQ(Sorted(ModelRows(*Player)), Sorted(Expected));
}

TEST_F(CADQuotingTest, ACallIdCannotChangeTheQuery) {
    for (const QString& Id :
         {QStringLiteral("x' OR '1'='1"), QStringLiteral("x'; DROP TABLE cad; --"),
          QStringLiteral("#F_LENGTH(call_id)"), QStringLiteral("'")}) {
        Player->CADQuery(Id);
        ASSERT_TRUE(QueryDone(*Player)) << qPrintable(Id);
        EXPECT_EQ(Player->lvCADValues->model()->rowCount(), 0) << qPrintable(Id);
    }
    // The table is still there and the quoted id still found.
    Player->CADQuery(QStringLiteral("O'Br\\ien"));
    ASSERT_TRUE(QueryDone(*Player));
    EXPECT_GE(Player->lvCADValues->model()->rowCount(), 3);
}

// The same on MariaDB, where a backslash in a literal is an escape.
TEST(CADQuotingMariaDB, ABackslashBeforeTheClosingQuoteDoesNotOpenTheStatement) {
    VQ_MYSQL_OR_SKIP();
    vqtest::TempMysqlDatabase Db;
    QProcess Demo;
    Demo.start(QStringLiteral(VQARCHIVED_BINARY),
               {QStringLiteral("--create-demo"), QString::fromStdString(Db.url()),
                QStringLiteral("--records"), QStringLiteral("60")});
    ASSERT_TRUE(Demo.waitForFinished(180000));
    ASSERT_EQ(Demo.exitCode(), 0) << Demo.readAllStandardError().constData();
    Db.run(
        "UPDATE cad SET call_id = 'Q\\'x\\\\' WHERE call_id = (SELECT c FROM (SELECT call_id AS c "
        "FROM cad GROUP BY call_id ORDER BY count(*) DESC LIMIT 1) AS t)");
    TLiveConnection Live;
    const QString Error = Live.Start(QString::fromStdString(Db.url()));
    if (Live.Skip)
        GTEST_SKIP() << qPrintable(Error);
    ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
    ASSERT_EQ(DBConnection->GetServerType(), 2);
    QWidget Host;
    auto* Player = new TfrmMediaPlayer(&Host);
    // The id ends in a backslash: doubled, it cannot swallow the quote.
    Player->CADQuery(QStringLiteral("Q'x\\"));
    ASSERT_TRUE(QueryDone(*Player));
    EXPECT_GE(Player->lvCADValues->model()->rowCount(), 1);
    Player->CADQuery(QStringLiteral("\\' OR 1=1 -- "));
    ASSERT_TRUE(QueryDone(*Player));
    EXPECT_EQ(Player->lvCADValues->model()->rowCount(), 0);
}
