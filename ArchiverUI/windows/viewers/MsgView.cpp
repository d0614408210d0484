#include "MsgView.h"

#include "DataCache.h"
#include "Manual.h"
#include "RtfDocument.h"
#include "TextMarks.h"
#include "VQDesktop.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "VQSpinEdit.h"
#include "ViewerFiles.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTextBrowser>
#include <QTextCursor>
#include <QToolButton>
#include <QToolTip>
#include <QVBoxLayout>

namespace {

// Web addresses as people write them in messages.
const QRegularExpression& LinkPattern() {
    static const QRegularExpression Pattern(
        QStringLiteral("(?:\\b(?:https?|ftp)://|\\bwww\\.|\\bmailto:)[^\\s<>\"]+"),
        QRegularExpression::CaseInsensitiveOption);
    return Pattern;
}

// Punctuation that ends the sentence, not the address.
int TrimmedLength(const QString& Link) {
    int Length = static_cast<int>(Link.size());
    while (Length > 0) {
        const QChar Last = Link.at(Length - 1);
        if (QStringLiteral(".,;:!?'").contains(Last)) {
            --Length;
        } else if (Last == QLatin1Char(')') && Link.left(Length).count(QLatin1Char('(')) <
                                                   Link.left(Length).count(QLatin1Char(')'))) {
            --Length;
        } else {
            break;
        }
    }
    return Length;
}

QString LinkTarget(const QString& Text) {
    if (Text.startsWith(QLatin1String("www."), Qt::CaseInsensitive))
        return QStringLiteral("http://") + Text;
    return Text;
}

} // namespace

TfrmMessageView::TfrmMessageView(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmMessageView"));
    SetManualPage(this, QStringLiteral("message-view"));
    setWindowTitle(QStringLiteral("Message viewer"));
    setAccessibleName(QStringLiteral("Message viewer"));

    aExport = new QAction(QStringLiteral("Ex&port"), this);
    aExport->setObjectName(QStringLiteral("aExport"));
    aExport->setToolTip(QStringLiteral("Save text to file"));
    aClose = new QAction(QStringLiteral("Close"), this);
    aClose->setObjectName(QStringLiteral("aClose"));
    aClose->setToolTip(QStringLiteral("Close this window"));
    aCopy = new QAction(QStringLiteral("&Copy"), this);
    aCopy->setObjectName(QStringLiteral("aCopy"));
    aCopy->setShortcut(QKeySequence::Copy);
    aSelectAll = new QAction(QStringLiteral("Select &All"), this);
    aSelectAll->setObjectName(QStringLiteral("aSelectAll"));
    aSelectAll->setShortcut(QKeySequence::SelectAll);
    connect(aExport, &QAction::triggered, this, &TfrmMessageView::aExportExecute);
    connect(aClose, &QAction::triggered, this, &QWidget::close);

    cbIncludeMsgs = new QCheckBox(QStringLiteral("Include all messages within"), this);
    cbIncludeMsgs->setObjectName(QStringLiteral("cbIncludeMsgs"));
    cbIncludeMsgs->setAccessibleName(QStringLiteral("Include all messages within"));
    cbIncludeMsgs->setChecked(true);
    connect(cbIncludeMsgs, &QCheckBox::clicked, this, &TfrmMessageView::OptionsChanged);
    // The viewer panel may be narrow; the option's text is never cut, the
    // panel keeps the room it needs instead.
    cbIncludeMsgs->setMinimumWidth(cbIncludeMsgs->sizeHint().width());

    seDuration = new TVQSpinEdit(this);
    seDuration->setObjectName(QStringLiteral("seDuration"));
    seDuration->SetMinMax(1, 60000);
    seDuration->SetMaxLength(11);
    seDuration->SetValue(10);
    seDuration->setAccessibleName(QStringLiteral("Minutes"));
    seDuration->Edit()->setAccessibleName(QStringLiteral("Minutes"));
    seDuration->setFixedWidth(72);
    seDuration->OnChange = [this](QObject*) { OptionsChanged(); };

    lbMinutes = new QLabel(QStringLiteral("minutes"), this);
    lbMinutes->setObjectName(QStringLiteral("lbMinutes"));
    lbMinutes->setBuddy(seDuration->Edit());

    RichEdit1 = new QTextBrowser(this);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setAccessibleName(QStringLiteral("Messages"));
    RichEdit1->setReadOnly(true);
    RichEdit1->setOpenLinks(false);
    RichEdit1->setOpenExternalLinks(false);
    RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    RichEdit1->setContextMenuPolicy(Qt::CustomContextMenu);
    {
        QPalette P = RichEdit1->palette();
        P.setColor(QPalette::Base, QToolTip::palette().color(QPalette::ToolTipBase));
        RichEdit1->setPalette(P);
    }
    connect(RichEdit1, &QTextBrowser::anchorClicked, this,
            [](const QUrl& Url) { TVQDesktop::Open(Url); });
    connect(aCopy, &QAction::triggered, RichEdit1, &QTextBrowser::copy);
    connect(aSelectAll, &QAction::triggered, RichEdit1, &QTextBrowser::selectAll);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setAccessibleName(QStringLiteral("Loading messages"));
    ProgressBar1->setVisible(false);

    btnExport = new QToolButton(this);
    btnExport->setObjectName(QStringLiteral("btnExport"));
    btnExport->setDefaultAction(aExport);
    btnExport->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btnExport->setFocusPolicy(Qt::StrongFocus);
    btnExport->setAccessibleName(QStringLiteral("Export"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(aExport);
    PopupMenu1->addAction(aCopy);
    PopupMenu1->addAction(aSelectAll);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aClose);
    connect(RichEdit1, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
        aCopy->setEnabled(RichEdit1->textCursor().hasSelection());
        PopupMenu1->popup(RichEdit1->viewport()->mapToGlobal(At));
    });

    auto* Options = new QHBoxLayout;
    Options->addWidget(cbIncludeMsgs);
    Options->addWidget(seDuration);
    Options->addWidget(lbMinutes);
    Options->addStretch(1);
    auto* Bottom = new QHBoxLayout;
    Bottom->addWidget(ProgressBar1, 1);
    Bottom->addStretch(0);
    Bottom->addWidget(btnExport);
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(4, 4, 4, 4);
    Layout->addLayout(Options);
    Layout->addWidget(RichEdit1, 1);
    Layout->addLayout(Bottom);
    setTabOrder(cbIncludeMsgs, seDuration->Edit());
    setTabOrder(seDuration->Edit(), RichEdit1);
    setTabOrder(RichEdit1, btnExport);
}

TfrmMessageView::~TfrmMessageView() {
    // The spin edit reports its last changes while it goes away.
    seDuration->OnChange = nullptr;
}

void TfrmMessageView::ClearText() {
    RichEdit1->clear();
}

void TfrmMessageView::InsertWithLinks(QTextCursor& Cursor, const QString& Line,
                                      const QTextCharFormat& Format) {
    qsizetype At = 0;
    auto Matches = LinkPattern().globalMatch(Line);
    while (Matches.hasNext()) {
        const QRegularExpressionMatch Match = Matches.next();
        const QString Link = Match.captured().left(TrimmedLength(Match.captured()));
        if (Link.isEmpty() || Link.endsWith(QLatin1String("://")))
            continue;
        Cursor.insertText(Line.mid(At, Match.capturedStart() - At), Format);
        QTextCharFormat LinkFormat = Format;
        LinkFormat.setAnchor(true);
        LinkFormat.setAnchorHref(LinkTarget(Link));
        LinkFormat.setForeground(QColor(Qt::blue));
        LinkFormat.setFontUnderline(true);
        LinkFormat.setToolTip(LinkTarget(Link));
        Cursor.insertText(Link, LinkFormat);
        At = Match.capturedStart() + Link.size();
    }
    Cursor.insertText(Line.mid(At), Format);
}

void TfrmMessageView::AppendText(const QString& Text, const QColor& Color, bool Bold) {
    QString Normal = Text;
    Normal.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    Normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QTextCursor Cursor(RichEdit1->document());
    Cursor.movePosition(QTextCursor::End);
    QTextCharFormat Format;
    Format.setForeground(Color);
    Format.setFontWeight(Bold ? QFont::Bold : QFont::Normal);
    const QStringList Lines = Normal.split(QLatin1Char('\n'));
    for (qsizetype I = 0; I < Lines.size(); ++I) {
        if (I > 0)
            Cursor.insertBlock();
        InsertWithLinks(Cursor, Lines.at(I), Format);
    }
}

QString TfrmMessageView::PlainText() const {
    return RichEdit1->toPlainText();
}

bool TfrmMessageView::SessionMode() const {
    return cbIncludeMsgs->isChecked();
}

int TfrmMessageView::SessionDuration() const {
    return seDuration->Value();
}

bool TfrmMessageView::Loading() const {
    return !ProgressBar1->isHidden();
}

void TfrmMessageView::SetLoading(bool Value) {
    ProgressBar1->setVisible(Value);
    if (Value) {
        aExport->setText(QStringLiteral("&Cancel"));
        aExport->setToolTip(QStringLiteral("Cancel loading"));
        btnExport->setAccessibleName(QStringLiteral("Cancel"));
    } else {
        aExport->setText(QStringLiteral("Ex&port"));
        aExport->setToolTip(QStringLiteral("Save text to file"));
        btnExport->setAccessibleName(QStringLiteral("Export"));
        // Marked once the whole transcript is there.
        FMarked = MarkPhrases(RichEdit1, FPhrases);
    }
}

void TfrmMessageView::SetHighlight(const QStringList& Phrases) {
    FPhrases = Phrases;
    FMarked = MarkPhrases(RichEdit1, FPhrases);
}

void TfrmMessageView::OptionsChanged() {
    if (OnOptionsChanged)
        OnOptionsChanged(this);
}

bool TfrmMessageView::ExportTo(const QString& FileName, int FilterIndex, QString* Error) {
    // Plain text is what the view shows without its formatting; the view
    // itself keeps its formatting.
    const QByteArray Data = FilterIndex == 2
                                ? PlainText().toUtf8()
                                : TRtfWriter::Write(RtfDocumentOf(*RichEdit1->document()));
    return viewer_files::SaveUserFile(FileName, Data, Error);
}

void TfrmMessageView::aExportExecute() {
    if (Loading()) {
        if (OnCancelLoading)
            OnCancelLoading(this);
        return;
    }
    TFileDialogRequest Request;
    Request.Title = QStringLiteral("Save As");
    Request.Filter =
        QStringLiteral("Reach Text Format files (*.rtf)|*.rtf|Text Files (*.txt)|*.txt");
    Request.DefaultExt = QStringLiteral("*.rtf");
    int FilterIndex = 1;
    const QString FileName = TVQFileDialog::GetSaveFileName(this, Request, &FilterIndex);
    if (FileName.isEmpty())
        return;
    SetScreenCursor(crHourGlass);
    QString Error;
    const bool Written = ExportTo(FileName, FilterIndex, &Error);
    SetScreenCursor(crDefault);
    if (!Written)
        TVQMessageBox::ShowError(this, QStringLiteral("The text was not saved. %1").arg(Error));
}

void TfrmMessageView::closeEvent(QCloseEvent* Event) {
    Event->accept();
    if (OnClose)
        OnClose(this);
}
