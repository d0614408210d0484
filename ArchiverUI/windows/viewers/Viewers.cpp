// Placeholders with the viewers' interfaces, so that the result window can
// dock them; the viewers' own change replaces this file.
#include "FAXBrowser.h"
#include "MediaPlay.h"
#include "MsgView.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QTextBrowser>
#include <QVBoxLayout>

TfrmMediaPlayer::TfrmMediaPlayer(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmMediaPlayer"));
    auto* Layout = new QVBoxLayout(this);
    lbParticipants = new QLabel(this);
    pnlCAD = new QWidget(this);
    aPlay = new QAction(QStringLiteral("Play"), this);
    Layout->addWidget(lbParticipants);
    Layout->addWidget(pnlCAD);
}
TfrmMediaPlayer::~TfrmMediaPlayer() = default;
QString TfrmMediaPlayer::Sound() const {
    return {};
}
void TfrmMediaPlayer::SetSound(const QString&) {}
void TfrmMediaPlayer::LoadFile(const QString&) {}
void TfrmMediaPlayer::Play() {}
void TfrmMediaPlayer::CloseMedia() {}
void TfrmMediaPlayer::SetProgressCaption(const QString&) {}
void TfrmMediaPlayer::SetDateTimeStr(const QString&) {}
bool TfrmMediaPlayer::Autostart() const {
    return false;
}
bool TfrmMediaPlayer::Playing() const {
    return false;
}
void TfrmMediaPlayer::ProcessKey(int) {}
void TfrmMediaPlayer::CADQuery(const QString&) {}
void TfrmMediaPlayer::CancelQuery() {}
bool TfrmMediaPlayer::Busy() const {
    return false;
}

TfrmFaxBrowser::TfrmFaxBrowser(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmFaxBrowser"));
    auto* Layout = new QVBoxLayout(this);
    lbParticipants = new QLabel(this);
    Layout->addWidget(lbParticipants);
}
TfrmFaxBrowser::~TfrmFaxBrowser() = default;
void TfrmFaxBrowser::SetFax(const QString&, const QString&) {}
QString TfrmFaxBrowser::FAX() const {
    return {};
}
void TfrmFaxBrowser::Clear() {}
void TfrmFaxBrowser::ReleaseFile() {}
bool TfrmFaxBrowser::AutoOpen() const {
    return false;
}
void TfrmFaxBrowser::SetAutoOpen(bool) {}
void TfrmFaxBrowser::SetProgressCaption(const QString&) {}

TfrmMessageView::TfrmMessageView(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmMessageView"));
    auto* Layout = new QVBoxLayout(this);
    RichEdit1 = new QTextBrowser(this);
    ProgressBar1 = new QProgressBar(this);
    Layout->addWidget(RichEdit1);
    Layout->addWidget(ProgressBar1);
}
TfrmMessageView::~TfrmMessageView() = default;
void TfrmMessageView::ClearText() {
    RichEdit1->clear();
}
void TfrmMessageView::AppendText(const QString& Text, const QColor&, bool) {
    RichEdit1->insertPlainText(Text);
}
QString TfrmMessageView::PlainText() const {
    return RichEdit1->toPlainText();
}
bool TfrmMessageView::SessionMode() const {
    return true;
}
int TfrmMessageView::SessionDuration() const {
    return 10;
}
bool TfrmMessageView::Loading() const {
    return false;
}
void TfrmMessageView::SetLoading(bool) {}
