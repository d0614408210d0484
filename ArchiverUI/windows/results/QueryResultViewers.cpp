// The viewer side of a result window: which viewer shows the marked
// records, and the downloads that bring them: messages into the message
// view, recordings and faxes into the window's temporary file.
#include "QueryResult.h"

#include "FAXBrowser.h"
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

namespace {

constexpr quint32 DownloadEnd = 0xFFFFFFFFu;

QByteArray SerialBlock(quint32 Serial) {
    return QByteArray(reinterpret_cast<const char*>(&Serial), sizeof Serial);
}

} // namespace

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
    if (FCache != nullptr && FCache->Job() == opDownload)
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

void TfrmQueryResult::WMDownloadProcess(const TDBMessage& Message) {
    TVQArcCache* Job = Message.Cache();
    const auto* Record = Message.Record<IPC_DA_DBClient::TDownloadProcess>();
    if (Job != FCache) {
        DropOrphanJob(Job);
        return;
    }
    if (Record == nullptr)
        return;
    FCurJob = FJobSerial;
    const TDAErrorCode Code = Record->error.error;
    if (Code == deSuccess) {
        if (Record->recId == DownloadEnd) {
            PostDBMessage(TWindowHandle(this), WM_QR_DOWNLOADDONE, FCurJob, quintptr(Job));
        } else if (Record->data.data_len > 0 && Record->data.data_val != nullptr) {
            // The record is the library's only while this message is
            // handled; the posted block is a copy.
            const quint32 Length = Record->data.data_len;
            QByteArray Block;
            Block.reserve(qsizetype(sizeof Length + Length));
            Block.append(reinterpret_cast<const char*>(&Length), sizeof Length);
            Block.append(reinterpret_cast<const char*>(Record->data.data_val), qsizetype(Length));
            PostDBMessage(TWindowHandle(this), WM_QR_DOWNLOADDATA, FCurJob, Record->recId,
                          std::move(Block));
        }
    } else if (Code != deCancelled) {
        FErrorString =
            QString::fromLocal8Bit(Record->error.msg != nullptr ? Record->error.msg : "");
        if (FErrorString.isEmpty())
            FErrorString =
                QStringLiteral("The record %1 could not be downloaded").arg(Record->recId);
        PostDBMessage(TWindowHandle(this), WM_QR_DOWNLOADERROR, Record->recId,
                      quintptr(qint32(Code)), SerialBlock(FCurJob));
    }
}

void TfrmQueryResult::WMDownloadData(const TDBMessage& Message) {
    const quint32 Serial = quint32(Message.WParam);
    const quint32 RecId = quint32(Message.LParam);
    // Data of a download that was cancelled or replaced meanwhile.
    if (!JobMessageIsCurrent(Serial, nullptr))
        return;
    quint32 Length = 0;
    if (Message.Data.size() >= qsizetype(sizeof Length))
        std::memcpy(&Length, Message.Data.constData(), sizeof Length);
    Length = quint32(qMin<qint64>(Length, Message.Data.size() - qint64(sizeof Length)));
    const char* Bytes = Message.Data.constData() + sizeof Length;
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
        if (int(RecId) != FDownloadRecID || Serial != FDownloadJob || !FTempFile) {
            FDownloadJob = Serial;
            FMediaPlayer->CloseMedia();
            FTempFile.reset();
            FTempFile = std::make_unique<TTempFileStream>(TempFileName());
            FDownloadStart.start();
            FLastProgress = -1;
        }
        FTempFile->Write(Bytes, Length);
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

void TfrmQueryResult::WMDownloadDone(const TDBMessage& Message) {
    TVQArcCache* Job = Message.Cache();
    if (!JobMessageIsCurrent(quint32(Message.WParam), Job))
        return;
    FDownloadRecID = -1;
    const qint64 Size = FTempFile ? FTempFile->Size() : -1;
    CloseTempFile();
    const quint32 First = Job->MediaIds().isEmpty() ? 0 : Job->MediaIds().first();
    const int Position = ViewItemByMediaID(First);
    int Type = -1;
    if (Position >= 0) {
        const int Row = int(FVisibleItems[size_t(Position)]);
        Type = FAllItems[Row].MediaType();
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
    }
    ReleaseJob(Job);
    SetPanel(0, QStringLiteral("Done"));
    if ((Type == mtCallRec || Type == mtVM || Type == mtFax) && Size >= 0)
        emit DownloadFinished(First, TempFileName());
}

void TfrmQueryResult::WMDownloadError(const TDBMessage& Message) {
    quint32 Serial = 0;
    if (Message.Data.size() == qsizetype(sizeof Serial))
        std::memcpy(&Serial, Message.Data.constData(), sizeof Serial);
    if (!JobMessageIsCurrent(Serial, nullptr))
        return;
    CancelCurrentJob();
    SetPanel(0, QStringLiteral("Done"));
    SetErrorText(FErrorString);
}
