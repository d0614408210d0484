#include "MediaPlay.h"

#include "CADValues.h"
#include "Conditions.h"
#include "DataCache.h"
#include "LinkLabel.h"
#include "Manual.h"
#include "MediaTools.h"
#include "SettingsStore.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "ViewerFiles.h"
#include "WaveTrackBar.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSlider>
#include <QSplitter>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

QString TimeText(qint64 Ms) {
    const qint64 Seconds = qMax<qint64>(0, Ms) / 1000;
    if (Seconds >= 3600)
        return QStringLiteral("%1:%2:%3")
            .arg(Seconds / 3600)
            .arg((Seconds / 60) % 60, 2, 10, QLatin1Char('0'))
            .arg(Seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1:%2").arg(Seconds / 60).arg(Seconds % 60, 2, 10, QLatin1Char('0'));
}

QAction* MakeAction(QWidget* Owner, const char* Name, const QString& Caption,
                    const QIcon& Icon = {}) {
    auto* A = new QAction(Icon, Caption, Owner);
    A->setObjectName(QString::fromLatin1(Name));
    A->setToolTip(QString(Caption).remove(QLatin1Char('&')));
    Owner->addAction(A);
    return A;
}

QToolButton* MakeButton(QWidget* Parent, const char* Name, QAction* Action) {
    auto* B = new QToolButton(Parent);
    B->setObjectName(QString::fromLatin1(Name));
    B->setDefaultAction(Action);
    B->setToolButtonStyle(Qt::ToolButtonIconOnly);
    B->setAutoRaise(true);
    B->setFocusPolicy(Qt::StrongFocus);
    B->setAccessibleName(Action->toolTip());
    return B;
}

} // namespace

TfrmMediaPlayer::TfrmMediaPlayer(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmMediaPlayer"));
    SetManualPage(this, QStringLiteral("player"));
    setWindowTitle(QStringLiteral("Sound Player"));
    setAccessibleName(QStringLiteral("Sound Player"));
    setMinimumSize(206, 300);
    FMCI = new TMCIPlayer(this);
    FWaveform = new TWaveformReader(this);
    FCADModel = new TCADModel(this);
    ConnectCADJob();
    CreateControls();

    connect(FWaveform, &TWaveformReader::PeaksChanged, this,
            [this] { TrackBar1->SetPeaks(FWaveform->Peaks(), FWaveform->BucketMs()); });
    connect(FMCI, &TMCIPlayer::MediaNotify, this, &TfrmMediaPlayer::MediaNotify);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(TimerInterval);
    connect(Timer1, &QTimer::timeout, this, &TfrmMediaPlayer::Timer1Timer);
    Timer1->start();
    UpdateState();
}

TfrmMediaPlayer::~TfrmMediaPlayer() {
    // The controller must not deliver to a window that is half gone.
    try {
        CancelQuery();
    } catch (const EDllException&) {
        // The job is freed here either way; the server forgets it with the
        // connection it came on.
    }
    CloseMedia();
}

void TfrmMediaPlayer::CreateControls() {
    const QStyle* S = style();
    aPlay =
        MakeAction(this, "aPlay", QStringLiteral("Play"), S->standardIcon(QStyle::SP_MediaPlay));
    aPause =
        MakeAction(this, "aPause", QStringLiteral("Pause"), S->standardIcon(QStyle::SP_MediaPause));
    aStop =
        MakeAction(this, "aStop", QStringLiteral("Stop"), S->standardIcon(QStyle::SP_MediaStop));
    aClose = MakeAction(this, "aClose", QStringLiteral("Close"));
    aAutostart = MakeAction(this, "aAutostart", QStringLiteral("Autoplay"));
    aAutostart->setCheckable(true);
    aSave = MakeAction(this, "aSave", QStringLiteral("Save As..."),
                       S->standardIcon(QStyle::SP_DialogSaveButton));
    aSkipBack = MakeAction(this, "aSkipBack", QStringLiteral("Back 5 seconds"),
                           S->standardIcon(QStyle::SP_MediaSeekBackward));
    aSkipForward = MakeAction(this, "aSkipForward", QStringLiteral("Forward 5 seconds"),
                              S->standardIcon(QStyle::SP_MediaSeekForward));
    connect(aPlay, &QAction::triggered, this, &TfrmMediaPlayer::aPlayExecute);
    connect(aPause, &QAction::triggered, this, &TfrmMediaPlayer::aPauseExecute);
    connect(aStop, &QAction::triggered, this, &TfrmMediaPlayer::aStopExecute);
    connect(aClose, &QAction::triggered, this, &QWidget::close);
    connect(aSave, &QAction::triggered, this, &TfrmMediaPlayer::aSaveExecute);
    connect(aSkipBack, &QAction::triggered, this, [this] { Skip(-SkipMs); });
    connect(aSkipForward, &QAction::triggered, this, [this] { Skip(SkipMs); });
    aMute =
        MakeAction(this, "aMute", QStringLiteral("Mute"), S->standardIcon(QStyle::SP_MediaVolume));
    aMute->setCheckable(true);
    aMute->setShortcut(QKeySequence(Qt::Key_M));
    aMute->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    addAction(aMute);
    connect(aMute, &QAction::toggled, this, [this](bool Muted) {
        aMute->setIcon(
            style()->standardIcon(Muted ? QStyle::SP_MediaVolumeMuted : QStyle::SP_MediaVolume));
        VolumeChanged();
    });

    Splitter1 = new QSplitter(Qt::Vertical, this);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setChildrenCollapsible(false);

    pnlMediaPlayer = new QWidget(Splitter1);
    pnlMediaPlayer->setObjectName(QStringLiteral("pnlMediaPlayer"));

    lbParticipants = new QLabel(pnlMediaPlayer);
    lbParticipants->setObjectName(QStringLiteral("lbParticipants"));
    lbParticipants->setWordWrap(true);
    lbParticipants->setAccessibleDescription(QStringLiteral("Record"));
    lbParticipants->setTextInteractionFlags(Qt::TextSelectableByMouse);
    {
        QFont F = lbParticipants->font();
        F.setBold(true);
        lbParticipants->setFont(F);
        QPalette P = lbParticipants->palette();
        P.setColor(QPalette::WindowText, QColor(0, 0, 128));
        lbParticipants->setPalette(P);
    }

    lPlay = new TLinkLabel(QStringLiteral("Play sound"), aPlay, pnlMediaPlayer);
    lPlay->setObjectName(QStringLiteral("lPlay"));
    lPause = new TLinkLabel(QStringLiteral("Pause playing"), aPause, pnlMediaPlayer);
    lPause->setObjectName(QStringLiteral("lPause"));
    lStop = new TLinkLabel(QStringLiteral("Stop playing"), aStop, pnlMediaPlayer);
    lStop->setObjectName(QStringLiteral("lStop"));
    lSaveAs = new TLinkLabel(QStringLiteral("Save As..."), aSave, pnlMediaPlayer);
    lSaveAs->setObjectName(QStringLiteral("lSaveAs"));

    lbDownload = new QLabel(QStringLiteral("0"), pnlMediaPlayer);
    lbDownload->setObjectName(QStringLiteral("lbDownload"));
    lbDownload->setAlignment(Qt::AlignRight | Qt::AlignTop);
    lbDownload->setWordWrap(true);
    lbDownload->setAccessibleDescription(QStringLiteral("Download progress"));

    TrackBar1 = new TWaveTrackBar(pnlMediaPlayer);
    TrackBar1->setObjectName(QStringLiteral("TrackBar1"));
    TrackBar1->setAccessibleName(QStringLiteral("Position"));
    TrackBar1->setToolTip(QStringLiteral("Position: click to play from there"));
    TrackBar1->setRange(0, 0);
    connect(TrackBar1, &QSlider::valueChanged, this, &TfrmMediaPlayer::TrackBar1Change);
    connect(TrackBar1, &TWaveTrackBar::KeyReleased, this, &TfrmMediaPlayer::ProcessKey);

    lbTime = new QLabel(QStringLiteral("0:00 / 0:00"), pnlMediaPlayer);
    lbTime->setObjectName(QStringLiteral("lbTime"));
    lbTime->setAccessibleDescription(QStringLiteral("Elapsed and total time"));
    lbRecordTime = new QLabel(QStringLiteral("0 s"), pnlMediaPlayer);
    lbRecordTime->setObjectName(QStringLiteral("lbRecordTime"));
    lbRecordTime->setAccessibleDescription(QStringLiteral("Remaining time"));
    lbRecordTime->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    btnSkipBack = MakeButton(pnlMediaPlayer, "btnSkipBack", aSkipBack);
    btnPlay = MakeButton(pnlMediaPlayer, "btnPlay", aPlay);
    btnPause = MakeButton(pnlMediaPlayer, "btnPause", aPause);
    btnStop = MakeButton(pnlMediaPlayer, "btnStop", aStop);
    btnSkipForward = MakeButton(pnlMediaPlayer, "btnSkipForward", aSkipForward);

    cbSpeed = new QComboBox(pnlMediaPlayer);
    cbSpeed->setObjectName(QStringLiteral("cbSpeed"));
    cbSpeed->setAccessibleName(QStringLiteral("Playback speed"));
    cbSpeed->setToolTip(QStringLiteral("Playback speed"));
    for (const int Speed : {500, 750, 1000, 1250, 1500, 2000})
        cbSpeed->addItem(QStringLiteral("%1x").arg(Speed / 1000.0), Speed);
    cbSpeed->setCurrentIndex(2);
    connect(cbSpeed, &QComboBox::currentIndexChanged, this,
            [this] { FMCI->SetSpeed(cbSpeed->currentData().toInt()); });

    btnMute = MakeButton(pnlMediaPlayer, "btnMute", aMute);
    tbVolume = new QSlider(Qt::Horizontal, pnlMediaPlayer);
    tbVolume->setObjectName(QStringLiteral("tbVolume"));
    tbVolume->setAccessibleName(QStringLiteral("Volume"));
    tbVolume->setToolTip(QStringLiteral("Volume"));
    tbVolume->setRange(0, 100);
    tbVolume->setPageStep(10);
    tbVolume->setMaximumWidth(90);
    {
        // The operator's last volume; a damaged setting falls back to full.
        quint32 Volume = 100;
        bool Muted = false;
        try {
            ReadPlayerVolume(Volume, Muted);
        } catch (const ERegistryException&) {
            Volume = 100;
            Muted = false;
        }
        tbVolume->setValue(static_cast<int>(Volume));
        aMute->setChecked(Muted);
        FMCI->SetVolume(static_cast<int>(Volume), Muted);
    }
    connect(tbVolume, &QSlider::valueChanged, this, [this](int) { VolumeChanged(); });

    cbAutostart = new QCheckBox(aAutostart->text(), pnlMediaPlayer);
    cbAutostart->setObjectName(QStringLiteral("cbAutostart"));
    cbAutostart->setAccessibleName(aAutostart->text());
    connect(cbAutostart, &QCheckBox::toggled, aAutostart, &QAction::setChecked);
    connect(aAutostart, &QAction::toggled, cbAutostart, &QCheckBox::setChecked);

    auto* Links = new QGridLayout;
    Links->setHorizontalSpacing(12);
    Links->addWidget(lPlay, 0, 0);
    Links->addWidget(lPause, 0, 1);
    Links->addWidget(lStop, 1, 0);
    Links->addWidget(lSaveAs, 1, 1);
    Links->addWidget(lbDownload, 0, 2, 2, 1);
    Links->setColumnStretch(2, 1);

    auto* Times = new QHBoxLayout;
    Times->addWidget(lbTime);
    Times->addStretch(1);
    Times->addWidget(lbRecordTime);

    auto* Transport = new QHBoxLayout;
    Transport->setSpacing(2);
    for (QWidget* W : {static_cast<QWidget*>(btnSkipBack), static_cast<QWidget*>(btnPlay),
                       static_cast<QWidget*>(btnPause), static_cast<QWidget*>(btnStop),
                       static_cast<QWidget*>(btnSkipForward)})
        Transport->addWidget(W);
    Transport->addStretch(1);
    Transport->addWidget(btnMute);
    Transport->addWidget(tbVolume);
    Transport->addWidget(cbSpeed);

    auto* Upper = new QVBoxLayout(pnlMediaPlayer);
    Upper->setContentsMargins(6, 6, 6, 4);
    Upper->addWidget(lbParticipants);
    Upper->addLayout(Links);
    Upper->addWidget(TrackBar1);
    Upper->addLayout(Times);
    Upper->addLayout(Transport);
    Upper->addWidget(cbAutostart);
    Upper->addStretch(1);

    pnlCAD = new QWidget(Splitter1);
    pnlCAD->setObjectName(QStringLiteral("pnlCAD"));
    auto* Title = new QLabel(QStringLiteral("Call Attached Data"), pnlCAD);
    Title->setObjectName(QStringLiteral("lbCADTitle"));
    {
        QFont F = Title->font();
        F.setBold(true);
        Title->setFont(F);
    }
    lvCADValues = new QTreeView(pnlCAD);
    lvCADValues->setObjectName(QStringLiteral("lvCADValues"));
    lvCADValues->setAccessibleName(QStringLiteral("Call Attached Data"));
    lvCADValues->setModel(FCADModel);
    lvCADValues->setRootIsDecorated(false);
    lvCADValues->setUniformRowHeights(true);
    lvCADValues->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvCADValues->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvCADValues->setAlternatingRowColors(true);
    lvCADValues->header()->setStretchLastSection(true);
    lvCADValues->header()->resizeSection(0, 90);
    lvCADValues->header()->resizeSection(1, 90);
    Title->setBuddy(lvCADValues);
    auto* Lower = new QVBoxLayout(pnlCAD);
    Lower->setContentsMargins(6, 4, 6, 6);
    Lower->addWidget(Title);
    Lower->addWidget(lvCADValues, 1);

    Splitter1->addWidget(pnlMediaPlayer);
    Splitter1->addWidget(pnlCAD);
    Splitter1->setStretchFactor(0, 0);
    Splitter1->setStretchFactor(1, 1);
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->addWidget(Splitter1);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(aPlay);
    PopupMenu1->addAction(aPause);
    PopupMenu1->addAction(aStop);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aSave);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aAutostart);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aClose);

    setTabOrder(TrackBar1, btnSkipBack);
    setTabOrder(btnSkipBack, btnPlay);
    setTabOrder(btnPlay, btnPause);
    setTabOrder(btnPause, btnStop);
    setTabOrder(btnStop, btnSkipForward);
    setTabOrder(btnSkipForward, cbSpeed);
    setTabOrder(cbSpeed, cbAutostart);
    setTabOrder(cbAutostart, lvCADValues);
}

QString TfrmMediaPlayer::Sound() const {
    return FFileName;
}

void TfrmMediaPlayer::SetSound(const QString& FileName) {
    if (FileName == FFileName)
        return;
    FWaveform->Stop();
    FMCI->Close();
    FFileName = FileName;
    UpdateState();
}

void TfrmMediaPlayer::LoadFile(const QString& FileExtension) {
    const bool Opened = FMCI->Open(FFileName, FileExtension);
    FMP3 = FileExtension != QLatin1String("wav");
    if (Opened) {
        const int Speed = cbSpeed->currentData().toInt();
        if (Speed != 1000)
            FMCI->SetSpeed(Speed);
        FSeekEnabled = false;
        TrackBar1->setMaximum(FMCI->MediaLength());
        TrackBar1->setValue(0);
        FSeekEnabled = true;
        TrackBar1->ClearPeaks();
        FWaveform->Start(FFileName, FMCI->MediaLength());
    }
    UpdateState();
    if (FAfterLoad == amlaPlay) {
        // A file the device cannot open would be fetched again by the play
        // action, and again, without end.
        if (Opened)
            aPlay->trigger();
        else
            lbDownload->setText(QStringLiteral("The recording cannot be played"));
    } else {
        CopyToSaveTarget(FileExtension);
    }
}

void TfrmMediaPlayer::Play() {
    if (Autostart())
        aPlay->trigger();
}

void TfrmMediaPlayer::CloseMedia() {
    FWaveform->Stop();
    FMCI->Close();
    if (!FFileName.isEmpty() && QFileInfo::exists(FFileName))
        viewer_files::RemoveFile(FFileName);
    FSeekEnabled = false;
    TrackBar1->setRange(0, 0);
    TrackBar1->ClearPeaks();
    FSeekEnabled = true;
    UpdateState();
}

void TfrmMediaPlayer::SetProgressCaption(const QString& Value) {
    lbDownload->setText(Value);
}

QString TfrmMediaPlayer::ProgressCaption() const {
    return lbDownload->text();
}

void TfrmMediaPlayer::SetDateTimeStr(const QString& Value) {
    FDateTimeStr = Value;
}

bool TfrmMediaPlayer::Autostart() const {
    return aAutostart->isChecked();
}

void TfrmMediaPlayer::SetAutostart(bool Value) {
    aAutostart->setChecked(Value);
}

bool TfrmMediaPlayer::Playing() const {
    return FMCI->Mode() == mciPlaying;
}

void TfrmMediaPlayer::ProcessKey(int Key) {
    switch (Key) {
    case Qt::Key_Backspace: {
        const bool WasPlaying = FMCI->Mode() == mciPlaying;
        FMCI->SetPosition(0);
        if (WasPlaying)
            FMCI->Play();
        Timer1Timer();
        break;
    }
    case Qt::Key_Space:
        if (FMCI->Mode() == mciPlaying)
            aPause->trigger();
        else
            aPlay->trigger();
        break;
    case Qt::Key_Left:
        Skip(-SkipMs);
        break;
    case Qt::Key_Right:
        Skip(SkipMs);
        break;
    default:
        break;
    }
}

void TfrmMediaPlayer::Skip(int Ms) {
    if (!FMCI->Opened())
        return;
    const TMCIMode Mode = FMCI->Mode();
    const int Current =
        Mode == mciPlaying || Mode == mciPaused ? FMCI->Position() : TrackBar1->value();
    const int Target = qBound(0, Current + Ms, FMCI->MediaLength());
    FMCI->SetPosition(Target);
    // A seek stops the device: playing goes on from the new place, paused
    // stays paused without a sound, stopped stays stopped there.
    if (Mode == mciPlaying)
        FMCI->Play();
    else if (Mode == mciPaused)
        FMCI->Pause();
    SetTrackBar(Target);
    UpdateState();
}

void TfrmMediaPlayer::aPlayExecute() {
    FAfterLoad = amlaPlay;
    if (!FMCI->Opened() && OnGetMedia) {
        OnGetMedia(this);
        return;
    }
    if (FMCI->Failed()) {
        ShowUnplayable();
        return;
    }
    const TMCIMode Mode = FMCI->Mode();
    if (Mode == mciPaused) {
        FMCI->Resume();
    } else if (Mode != mciPlaying) {
        // Stopped: from the start, or from where the operator moved the
        // position while it stood still. Play while playing goes on where
        // it is, so the operator never loses their place.
        const int From = TrackBar1->value() < FMCI->MediaLength() ? TrackBar1->value() : 0;
        FSeekEnabled = false;
        TrackBar1->setMaximum(FMCI->MediaLength());
        TrackBar1->setValue(From);
        FSeekEnabled = true;
        FMCI->SetPosition(From);
        FMCI->Play();
    }
    UpdateState();
}

void TfrmMediaPlayer::aPauseExecute() {
    FMCI->SetPaused(!FMCI->Paused());
    UpdateState();
}

void TfrmMediaPlayer::aStopExecute() {
    FMCI->Stop();
    FMCI->SetPosition(0);
    SetTrackBar(0);
    UpdateState();
}

void TfrmMediaPlayer::SetTrackBar(int Value) {
    FSeekEnabled = false;
    TrackBar1->setValue(Value);
    FSeekEnabled = true;
}

void TfrmMediaPlayer::MediaNotify() {
    if (FMCI->Failed()) {
        ShowUnplayable();
        return;
    }
    // The end: back at the start, ready to play again.
    if (FMCI->Mode() == mciStopped)
        SetTrackBar(0);
    Timer1Timer();
}

void TfrmMediaPlayer::ShowUnplayable() {
    // The back end could not decode what the device opened (a damaged
    // file): the same as a file that cannot be opened. The file stays, so
    // Save As can still keep it.
    FWaveform->Stop();
    FMCI->Close();
    SetTrackBar(0);
    lbDownload->setText(QStringLiteral("The recording cannot be played"));
    UpdateState();
}

void TfrmMediaPlayer::VolumeChanged() {
    FMCI->SetVolume(tbVolume->value(), aMute->isChecked());
    try {
        WritePlayerVolume(static_cast<quint32>(tbVolume->value()), aMute->isChecked());
    } catch (const ERegistryException&) {
        // The setting is only remembered; the volume itself has changed.
    }
}

QString TfrmMediaPlayer::ProposedFileName() const {
    QString Name = QStringLiteral("audio ") + FDateTimeStr;
    Name.replace(QLatin1Char(':'), QLatin1Char('_'));
    Name.replace(QLatin1Char('/'), QLatin1Char('.'));
    return Name;
}

void TfrmMediaPlayer::aSaveExecute() {
    TFileDialogRequest Request;
    Request.Title = QStringLiteral("Save As");
    Request.FileName = ProposedFileName();
    if (FMP3) {
        Request.Filter = QStringLiteral("mp3 audio|*.mp3");
        Request.DefaultExt = QStringLiteral("mp3");
    } else {
        Request.Filter = QStringLiteral("wav audio|*.wav");
        Request.DefaultExt = QStringLiteral("wav");
    }
    const QString Chosen = TVQFileDialog::GetSaveFileName(this, Request);
    if (Chosen.isEmpty())
        return;
    FAfterLoad = amlaSaveAs;
    FSaveFileName = Chosen;
    FSaveDefaultExt = Request.DefaultExt;
    if ((FMCI->Opened() || !OnGetMedia) && !FFileName.isEmpty() && QFileInfo::exists(FFileName))
        CopyToSaveTarget(FMP3 ? QStringLiteral("mp3") : QStringLiteral("wav"));
    else if (OnGetMedia)
        OnGetMedia(this);
}

void TfrmMediaPlayer::CopyToSaveTarget(const QString& FileExtension) {
    QString Target = FSaveFileName;
    FSaveFileName.clear();
    FAfterLoad = amlaPlay;
    if (Target.isEmpty())
        return;
    // The dialog proposed the kind of the last loaded recording; when this
    // one turns out to be the other kind, the proposed extension follows it.
    const QString Actual = viewer_files::SafeExtension(FileExtension, QString()).toLower();
    const QFileInfo Info(Target);
    if (!Actual.isEmpty() && Info.suffix() == FSaveDefaultExt && Actual != FSaveDefaultExt)
        Target =
            Info.path() + QLatin1Char('/') + Info.completeBaseName() + QLatin1Char('.') + Actual;
    QString Error;
    if (!viewer_files::CopyToUserFile(FFileName, Target, &Error))
        TVQMessageBox::ShowError(this,
                                 QStringLiteral("The recording was not saved. %1").arg(Error));
}

void TfrmMediaPlayer::Timer1Timer() {
    // Stopped, the device reads 0: the bar keeps the place the operator
    // chose (the start after Stop and at the end).
    if (FMCI->Opened() && FMCI->Mode() != mciStopped)
        SetTrackBar(FMCI->Position());
    lbRecordTime->setText(
        QStringLiteral("%1 s").arg(qMax(0, TrackBar1->maximum() - TrackBar1->value()) / 1000));
    UpdateState();
}

void TfrmMediaPlayer::TrackBar1Change(int Value) {
    if (!FSeekEnabled)
        return;
    FMCI->SetPosition(Value);
    PostDBMessage(TWindowHandle(this), WM_PLAY_AFTER_SEEK);
}

void TfrmMediaPlayer::AdjustUpperPanel() {
    // The splitter knows nothing of wrapped labels: the upper panel is kept
    // as high as its texts need at its width.
    QLayout* Layout = pnlMediaPlayer->layout();
    const int Needed = Layout->hasHeightForWidth()
                           ? Layout->totalHeightForWidth(pnlMediaPlayer->width())
                           : Layout->totalMinimumSize().height();
    if (Needed > 0 && pnlMediaPlayer->minimumHeight() != Needed)
        pnlMediaPlayer->setMinimumHeight(Needed);
}

void TfrmMediaPlayer::resizeEvent(QResizeEvent* Event) {
    QWidget::resizeEvent(Event);
    AdjustUpperPanel();
}

void TfrmMediaPlayer::UpdateState() {
    AdjustUpperPanel();
    const bool Opened = FMCI->Opened();
    lbRecordTime->setVisible(Opened);
    aPause->setEnabled(Opened);
    aStop->setEnabled(Opened);
    aSkipBack->setEnabled(Opened);
    aSkipForward->setEnabled(Opened);
    TrackBar1->setEnabled(Opened);
    QString Time = Opened ? TimeText(TrackBar1->value()) + QStringLiteral(" / ") +
                                TimeText(FMCI->MediaLength())
                          : QStringLiteral("0:00 / 0:00");
    const TMCIMode Mode = Opened ? FMCI->Mode() : mciStopped;
    if (Mode == mciPlaying)
        Time += QStringLiteral("  Playing");
    else if (Mode == mciPaused)
        Time += QStringLiteral("  Paused");
    lbTime->setText(Time);
}

// ---------------------------------------------------------------------------
// Call attached data

void TfrmMediaPlayer::CADQuery(const QString& GcId) {
    CancelQuery();
    if (DBConnection == nullptr)
        throw EConnectionException(QStringLiteral("Not connected"));
    // The id comes from the archive's data: a quote in it must not end the
    // literal.
    const QString Sql =
        QStringLiteral("SELECT name, value, description FROM cad WHERE call_id = ") +
        QuotedSQL(GcId, DBConnection->GetServerType());
    FCADModel->Clear();
    FCADFirstBatch = true;
    FCADJob->Start(opSQLExecute, Sql);
}

void TfrmMediaPlayer::ConnectCADJob() {
    FCADJob = new TJobHandle(this);
    connect(FCADJob, &TJobHandle::Rows, this, &TfrmMediaPlayer::AddCADRows);
    // A copy restarted after a reconnect brings every row again.
    connect(FCADJob, &TJobHandle::Replaced, this, [this] { FCADFirstBatch = true; });
    connect(FCADJob, &TJobHandle::Failed, this, [this] {
        FCADModel->Clear();
        SetScreenCursor(crDefault);
    });
    connect(FCADJob, &TJobHandle::Finished, this, [] { SetScreenCursor(crDefault); });
}

void TfrmMediaPlayer::CancelQuery() {
    FCADJob->Cancel();
}

bool TfrmMediaPlayer::Busy() const {
    return FCADJob->Running();
}

void TfrmMediaPlayer::AddCADRows(const IPC_DA_DBClient::TSelectResult& Result) {
    lvCADValues->setUpdatesEnabled(false);
    if (FCADFirstBatch) {
        FCADModel->Clear();
        FCADFirstBatch = false;
    }
    QList<TCADItem> Items;
    const auto Rows = Result.rows;
    for (quint32 R = 0; R < Rows.rows_len; ++R) {
        const auto Cols = Rows.rows_val[R].cols;
        auto Column = [&](quint32 C) {
            return C < Cols.cols_len && Cols.cols_val[C].value != nullptr
                       ? QString::fromUtf8(Cols.cols_val[C].value)
                       : QString();
        };
        Items.append({Column(0), Column(1), Column(2)});
    }
    FCADModel->Append(Items);
    lvCADValues->setUpdatesEnabled(true);
}

bool TfrmMediaPlayer::event(QEvent* Event) {
    if (static_cast<int>(Event->type()) != WM_PLAY_AFTER_SEEK)
        return QWidget::event(Event);
    FMCI->Play();
    UpdateState();
    return true;
}

void TfrmMediaPlayer::hideEvent(QHideEvent* Event) {
    QWidget::hideEvent(Event);
    // Hidden itself, not just with the window around it.
    if (isHidden())
        CloseMedia();
}

void TfrmMediaPlayer::closeEvent(QCloseEvent* Event) {
    Event->accept();
    if (OnClose)
        OnClose(this);
}

void TfrmMediaPlayer::contextMenuEvent(QContextMenuEvent* Event) {
    PopupMenu1->popup(Event->globalPos());
    Event->accept();
}
