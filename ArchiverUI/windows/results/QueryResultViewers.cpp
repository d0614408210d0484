// The viewer side of a result window: which viewer shows the marked
// records, and the downloads that bring them: messages into the message
// view, recordings and faxes into the window's temporary file.
#include "QueryResult.h"

#include "FAXBrowser.h"
#include "JobHandle.h"
#include "MediaPlay.h"
#include "MsgView.h"
#include "ResultListView.h"
#include "SearchOptions.h"
#include "TempFile.h"

#include <QAction>
#include <QColor>
#include <QLabel>
#include <QProgressBar>
#include <QSplitter>

#include <cmath>
#include <cstring>

bool TfrmQueryResult::ViewerShown(const QWidget* Viewer) const {
    return !Panel1->isHidden() && !Viewer->isHidden();
}

// ---------------------------------------------------------------------------
// Which viewer shows what

void TfrmQueryResult::UpdateBrowse() {
    if (FBrowseList.empty()) {
        FMediaPlayer->hide();
        FMsgViewer->hide();
        lbPanel1->setVisible(FFAXBrowser->isHidden());
    } else if (aBrowseBlob->isChecked()) {
        Browse(false);
    }
}

void TfrmQueryResult::Browse(bool Refresh) {
    if (FJob->Running() && FJob->Kind() == opDownload)
        CancelCurrentJob();
    ShowMarked();
    if (Refresh) {
        BeginBrowseUpdate();
        try {
            BrowseSelection();
        } catch (...) {
            FBrowsingChanged = false;
            EndBrowseUpdate();
            throw;
        }
        FBrowsingChanged = false;
        EndBrowseUpdate();
    }
    if (ViewerShown(FMsgViewer))
        FetchMessages();
    else if (ViewerShown(FMediaPlayer))
        FMediaPlayer->Play();
    else if (ViewerShown(FFAXBrowser))
        FetchFax(this);
}

void TfrmQueryResult::ShowMarked() {
    if (aBrowseBlob->isChecked())
        ShowViewer();
    if (FBrowseList.empty())
        return;
    const int Row = int(FBrowseList.front());
    switch (FAllItems[Row].MediaType()) {
    case mtIM:
        FMsgViewer->ClearText();
        FTextRecID = -1;
        ShowMsgViewer();
        break;
    case mtCallRec:
    case mtVM: {
        FMediaPlayer->CloseMedia();
        const QString When = FAllItems.DateTimeStr(Row);
        FMediaPlayer->lbParticipants->setText(When + QStringLiteral(": ") +
                                              FAllItems.Participants(Row));
        FMediaPlayer->SetProgressCaption(QString());
        FMediaPlayer->SetDateTimeStr(When);
        ShowMediaPlayer();
        break;
    }
    case mtFax:
        FFAXBrowser->Clear();
        FFAXBrowser->lbParticipants->setText(FAllItems.DateTimeStr(Row) + QStringLiteral(": ") +
                                             FAllItems.Participants(Row));
        ShowFAXBrowser();
        break;
    default:
        break;
    }
}

void TfrmQueryResult::ShowViewer() {
    if (Panel1->isHidden()) {
        Panel1->show();
        Splitter2->show();
    }
}

void TfrmQueryResult::ShowMediaPlayer() {
    FMsgViewer->hide();
    FFAXBrowser->hide();
    lbPanel1->hide();
    ShowViewer();
    FMediaPlayer->show();
    const int Current = CurrentPosition();
    const int Row = Current >= 0 ? int(FVisibleItems[size_t(Current)]) : -1;
    const bool CallRecording = Row >= 0 && FAllItems[Row].MediaType() == mtCallRec;
    if (FMediaPlayer->pnlCAD != nullptr)
        FMediaPlayer->pnlCAD->setVisible(CallRecording);
    if (CallRecording)
        FMediaPlayer->CADQuery(FAllItems.GCID(Row));
}

void TfrmQueryResult::ShowMsgViewer() {
    FMediaPlayer->hide();
    FFAXBrowser->hide();
    lbPanel1->hide();
    ShowViewer();
    // A text search's result shows where its phrases stand.
    FMsgViewer->SetHighlight(IsSearchRes() ? FSearchOptions->Phrases() : QStringList());
    FMsgViewer->show();
}

void TfrmQueryResult::ShowFAXBrowser() {
    FMediaPlayer->hide();
    FMsgViewer->hide();
    lbPanel1->hide();
    ShowViewer();
    FFAXBrowser->show();
}

void TfrmQueryResult::ShowText() {
    ShowMsgViewer();
}

void TfrmQueryResult::CloseViewer() {
    FMediaPlayer->CloseMedia();
    Panel1->hide();
    Splitter2->hide();
}

void TfrmQueryResult::ViewerClosed() {
    CloseViewer();
    aBrowseBlob->setChecked(false);
    BrowseSelection();
}

void TfrmQueryResult::RunMediaPlayer(const QString& FileName, const QString& FileExtension) {
    ShowMediaPlayer();
    FMediaPlayer->SetSound(FileName);
    FMediaPlayer->LoadFile(FileExtension);
}

void TfrmQueryResult::RunFaxBrowser(const QString& FileName, const QString& FileExtension) {
    ShowFAXBrowser();
    FFAXBrowser->SetFax(FileName, FileExtension);
}

// ---------------------------------------------------------------------------
// Fetching

void TfrmQueryResult::FetchMessages() {
    if (IsServerBusy()) {
        AddOperation(soText);
        return;
    }
    // Only the messages: "Mark all" may have marked other records too.
    TIDs Ids;
    const int Type = FirstMarkedType();
    for (quint32 Row : FBrowseList)
        if (FAllItems[int(Row)].MediaType() == Type && Type == mtIM)
            Ids.append(FAllItems[int(Row)].FMediaId);
    if (Ids.isEmpty())
        return;
    RunJob(opDownload, Ids);
    if (FMsgViewer->ProgressBar1 != nullptr) {
        FMsgViewer->ProgressBar1->setRange(0, int(Ids.size()));
        FMsgViewer->ProgressBar1->setValue(0);
    }
    FMsgViewer->SetLoading(true);
}

void TfrmQueryResult::FetchMedia() {
    if (IsServerBusy()) {
        AddOperation(soMedia);
        return;
    }
    if (!FBrowseList.empty())
        RunJob(opDownload, TIDs{FAllItems[int(FBrowseList.front())].FMediaId});
}

void TfrmQueryResult::FetchFax(QObject* Sender) {
    if (IsServerBusy()) {
        AddOperation(soFax);
        return;
    }
    if (FBrowseList.empty())
        return;
    if (Sender == this)
        FFAXBrowser->SetAutoOpen(false);
    RunJob(opDownload, TIDs{FAllItems[int(FBrowseList.front())].FMediaId});
}

// ---------------------------------------------------------------------------
// Downloads

void TfrmQueryResult::CloseTempFile() {
    FTempFile.reset();
}

void TfrmQueryResult::FinishText() {
    if (FTextRecID < 0)
        return;
    FTextRecID = -1;
    FTextDecoder.resetState();
    FMsgViewer->AppendText(QStringLiteral("\r\n\r\n"), Qt::black, false);
}

void TfrmQueryResult::DownloadData(quint32 RecId, const char* Bytes, quint32 Length) {
    struct TSetRecID {
        TfrmQueryResult& Form;
        quint32 Id;
        ~TSetRecID() { Form.FDownloadRecID = int(Id); }
    } SetRecID{*this, RecId};

    const int Position = ViewItemByMediaID(RecId);
    if (Position < 0)
        return;
    const int Row = int(FVisibleItems[size_t(Position)]);
    switch (FAllItems[Row].MediaType()) {
    case mtIM: {
        // A long message comes in several pieces: one heading a message.
        if (int(RecId) != FTextRecID) {
            FinishText();
            FTextRecID = int(RecId);
            FTextDecoder.resetState();
            FMsgViewer->AppendText(FAllItems.DateTimeStr(Row) + QLatin1Char(' ') +
                                       FAllItems.Caller(Row) + QStringLiteral(" said: \r"),
                                   QColor(Qt::darkBlue), true);
            if (FMsgViewer->ProgressBar1 != nullptr)
                FMsgViewer->ProgressBar1->setValue(FMsgViewer->ProgressBar1->value() + 1);
        }
        FMsgViewer->AppendText(FTextDecoder.decode(QByteArrayView(Bytes, Length)), Qt::black,
                               false);
        break;
    }
    case mtCallRec:
    case mtVM:
    case mtFax: {
        try {
            if (int(RecId) != FDownloadRecID || FDownloadBytes < 0 || !FTempFile) {
                FMediaPlayer->CloseMedia();
                FTempFile.reset();
                FTempFile = std::make_unique<TTempFileStream>(TempFileName());
                FDownloadStart.start();
                FLastProgress = -1;
            }
            FTempFile->Write(Bytes, Length);
            FDownloadBytes = FTempFile->Size();
        } catch (const ETempFileError& E) {
            // One error, and the download stops: a cut-off file is no
            // recording.
            FFailure = QString::fromLocal8Bit(E.what());
            FTempFile.reset();
            FJob->Cancel();
            return;
        }
        const qint64 Elapsed = FDownloadStart.elapsed();
        if (Elapsed >= 1000 && (FLastProgress < 0 || Elapsed - FLastProgress >= 1000)) {
            const qint64 Size = FTempFile->Size();
            const QString Text =
                QStringLiteral("%1 MB loaded (%2 KB/sec)")
                    .arg(Size / (1024 * 1024))
                    .arg(qRound64(double(Size) / 1024.0 / (double(Elapsed) / 1000.0)));
            if (FAllItems[Row].MediaType() == mtFax)
                FFAXBrowser->SetProgressCaption(Text);
            else
                FMediaPlayer->SetProgressCaption(Text);
            FLastProgress = Elapsed;
        }
        break;
    }
    default:
        break;
    }
}

void TfrmQueryResult::DownloadDone() {
    const qint64 Size = FDownloadBytes;
    CloseTempFile();
    const quint32 First = FJob->MediaIds().isEmpty() ? 0 : FJob->MediaIds().first();
    const int Position = ViewItemByMediaID(First);
    const int Row = Position >= 0 ? int(FVisibleItems[size_t(Position)]) : -1;
    const int Type = Row >= 0 ? FAllItems[Row].MediaType() : -1;
    const bool ToFile = Type == mtCallRec || Type == mtVM || Type == mtFax;
    if (ToFile && Size <= 0) {
        // The file holds an earlier record's bytes, or none: nothing to
        // hand to a viewer.
        JobFailed(QStringLiteral("The record %1 arrived without data").arg(First));
        return;
    }
    switch (Type) {
    case mtIM:
        FinishText();
        ShowText();
        break;
    case mtCallRec:
    case mtVM:
        FMediaPlayer->SetProgressCaption(QStringLiteral("Ready to play"));
        RunMediaPlayer(TempFileName(), FAllItems.FileExtension(Row));
        break;
    case mtFax:
        FFAXBrowser->SetProgressCaption(QStringLiteral("Ready to open"));
        RunFaxBrowser(TempFileName(), FAllItems.FileExtension(Row));
        break;
    default:
        break;
    }
    JobEnded(QStringLiteral("Done"));
    if (ToFile)
        emit DownloadFinished(First, TempFileName());
}
