// The message view: a transcript of instant messages downloaded from the
// reference server written as the result window writes it, links opened
// through the desktop seam, the options, the loading state, and export as
// rich text (read back by a second reader) and as plain text.
#include "ViewerTestSupport.h"

#include "MsgView.h"
#include "SecondReader.h"
#include "VQDesktop.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "VQSpinEdit.h"
#include "ViewerArchive.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include <sys/stat.h>

using namespace viewer_test;

namespace {

const QColor Navy(0, 0, 128);

QByteArray ReadFile(const QString& Name) {
    QFile F(Name);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

// One received message as the result window writes it.
void WriteMessage(TfrmMessageView& View, const QString& When, const QString& Caller,
                  const QString& Text) {
    View.AppendText(When + QLatin1Char(' ') + Caller + QStringLiteral(" said: \r"), Navy, true);
    View.AppendText(Text + QStringLiteral("\r\n\r\n"), Qt::black, false);
}

// The format of the character at Position of the view's document.
QTextCharFormat FormatAt(const TfrmMessageView& View, int Position) {
    QTextCursor C(View.RichEdit1->document());
    C.setPosition(Position + 1);
    return C.charFormat();
}

class MessageViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        TVQDesktop::ClearOpened();
        TVQDesktop::SetOpener([](const QUrl&) { return true; });
        TVQFileDialog::ClearAsked();
        Host = std::make_unique<QWidget>();
        Host->resize(420, 500);
        View = new TfrmMessageView(Host.get());
        auto* Layout = new QVBoxLayout(Host.get());
        Layout->addWidget(View);
        View->OnOptionsChanged = [this](QObject* Sender) {
            EXPECT_EQ(Sender, View);
            ++OptionsChanged;
        };
        View->OnCancelLoading = [this](QObject*) { ++Cancels; };
        Host->show();
    }
    void TearDown() override {
        Host.reset();
        TVQDesktop::SetOpener(nullptr);
        TVQFileDialog::ClearAsked();
    }
    QTemporaryDir Dir;
    std::unique_ptr<QWidget> Host;
    TfrmMessageView* View = nullptr;
    int OptionsChanged = 0;
    int Cancels = 0;
};

} // namespace

TEST_F(MessageViewTest, TheFormHasItsControls) {
    EXPECT_EQ(View->windowTitle(), QStringLiteral("Message viewer"));
    EXPECT_EQ(View->cbIncludeMsgs->text(), QStringLiteral("Include all messages within"));
    EXPECT_TRUE(View->cbIncludeMsgs->isChecked());
    EXPECT_TRUE(View->SessionMode());
    EXPECT_EQ(View->seDuration->MinValue(), 1);
    EXPECT_EQ(View->seDuration->MaxValue(), 60000);
    EXPECT_EQ(View->seDuration->MaxLength(), 11);
    EXPECT_EQ(View->SessionDuration(), 10);
    EXPECT_EQ(View->lbMinutes->text(), QStringLiteral("minutes"));
    EXPECT_TRUE(View->RichEdit1->isReadOnly());
    EXPECT_EQ(View->RichEdit1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_FALSE(View->ProgressBar1->isVisible());
    EXPECT_FALSE(View->Loading());
    EXPECT_EQ(View->aExport->text(), QStringLiteral("Ex&port"));
    EXPECT_EQ(View->aExport->toolTip(), QStringLiteral("Save text to file"));
    EXPECT_EQ(View->aClose->text(), QStringLiteral("Close"));
    EXPECT_EQ(View->aClose->toolTip(), QStringLiteral("Close this window"));
    QStringList Menu;
    for (QAction* A : View->PopupMenu1->actions())
        Menu << (A->isSeparator() ? QStringLiteral("-") : A->objectName());
    EXPECT_EQ(Menu, (QStringList{"aExport", "aCopy", "aSelectAll", "-", "aClose"}));
    EXPECT_EQ(View->aCopy->shortcut(), QKeySequence(QKeySequence::Copy));
    EXPECT_EQ(View->aSelectAll->shortcut(), QKeySequence(QKeySequence::SelectAll));
    for (QWidget* W : View->findChildren<QWidget*>()) {
        if (W->focusPolicy() != Qt::NoFocus && W->isVisibleTo(View) &&
            !W->parentWidget()->inherits("QAbstractScrollArea") && !W->inherits("QScrollBar")) {
            EXPECT_FALSE(W->accessibleName().isEmpty()) << qPrintable(W->objectName());
        }
    }
}

TEST_F(MessageViewTest, ATranscriptOfDownloadedMessagesAppearsInItsFormat) {
    TLiveConnection Live;
    const QString Error = Live.Start();
    if (Live.Skip)
        GTEST_SKIP() << qPrintable(Error);
    ASSERT_TRUE(Error.isEmpty()) << qPrintable(Error);
    const TRows Messages = TDemoArchive::Query(QStringLiteral(
        "SELECT m.Media_ID, x.body FROM media m JOIN messages x ON x.Media_ID = m.Media_ID WHERE "
        "m.Media_Type = 'im' ORDER BY m.Media_ID LIMIT 4"));
    ASSERT_EQ(Messages.size(), 4u);
    TIDs Ids;
    for (const auto& M : Messages)
        Ids << M[0].toUInt();
    TDownloadWindow Downloader;
    View->ProgressBar1->setRange(0, static_cast<int>(Ids.size()));
    View->ProgressBar1->setValue(0);
    View->SetLoading(true);
    ASSERT_TRUE(Downloader.Start(Ids));
    ASSERT_TRUE(Downloader.Wait()) << qPrintable(Downloader.Error);
    QString Expected;
    int Number = 0;
    for (const quint32 Id : Downloader.Order) {
        const QString Text = QString::fromUtf8(Downloader.Data[Id]);
        const QString Caller = QStringLiteral("Caller %1").arg(++Number);
        WriteMessage(*View, QStringLiteral("01/02/2025 10:0%1:00").arg(Number), Caller, Text);
        View->ProgressBar1->setValue(View->ProgressBar1->value() + 1);
        QString Body = Text;
        Body.replace(QLatin1String("\r\n"), QLatin1String("\n"))
            .replace(QLatin1Char('\r'), QLatin1Char('\n'));
        Expected += QStringLiteral("01/02/2025 10:0%1:00 %2 said: \n").arg(Number).arg(Caller) +
                    Body + QStringLiteral("\n\n");
    }
    View->SetLoading(false);
    ASSERT_EQ(Number, 4);
    for (const auto& M : Messages)
        EXPECT_EQ(Downloader.Data[M[0].toUInt()], M[1].toUtf8());
    EXPECT_EQ(View->PlainText(), Expected);

    // Heads navy bold, texts black regular.
    const QString Plain = View->PlainText();
    const int Head = static_cast<int>(Plain.indexOf(QStringLiteral("Caller 2 said:")));
    ASSERT_GE(Head, 0);
    EXPECT_EQ(FormatAt(*View, Head).foreground().color(), Navy);
    EXPECT_EQ(FormatAt(*View, Head).fontWeight(), QFont::Bold);
    const int Text = Head + static_cast<int>(QStringLiteral("Caller 2 said: \n").size());
    EXPECT_EQ(FormatAt(*View, Text).foreground().color(), QColor(Qt::black));
    EXPECT_EQ(FormatAt(*View, Text).fontWeight(), QFont::Normal);

    View->ClearText();
    EXPECT_TRUE(View->PlainText().isEmpty());
}

TEST_F(MessageViewTest, SearchedPhrasesAreMarkedOnceTheTranscriptIsLoaded) {
    View->SetHighlight({QStringLiteral("refund"), QStringLiteral("  "), QStringLiteral("Late")});
    View->SetLoading(true);
    WriteMessage(*View, QStringLiteral("01/02/2025 10:00:00"), QStringLiteral("Anna"),
                 QStringLiteral("The REFUND is late"));
    WriteMessage(*View, QStringLiteral("01/02/2025 10:01:00"), QStringLiteral("Bert"),
                 QStringLiteral("refund sent"));
    View->SetLoading(false);
    EXPECT_EQ(View->MarkedCount(), 3);
    // The text itself is not changed, and no phrases means no marks.
    EXPECT_FALSE(View->PlainText().contains(QStringLiteral("<")));
    View->SetHighlight({});
    EXPECT_EQ(View->MarkedCount(), 0);
    EXPECT_TRUE(View->RichEdit1->extraSelections().isEmpty());
}

TEST_F(MessageViewTest, WebAddressesBecomeLinksThatOpenThroughTheDesktop) {
    WriteMessage(
        *View, QStringLiteral("01/02/2025 10:00:00"), QStringLiteral("Anna"),
        QStringLiteral("see https://example.org/a?b=1, and www.example.com. Or (http://x.org/p)"));
    const QString Plain = View->PlainText();
    const int At = static_cast<int>(Plain.indexOf(QStringLiteral("https://")));
    ASSERT_GE(At, 0);
    const QTextCharFormat Link = FormatAt(*View, At);
    EXPECT_TRUE(Link.isAnchor());
    EXPECT_EQ(Link.anchorHref(), QStringLiteral("https://example.org/a?b=1"));
    EXPECT_TRUE(Link.fontUnderline());
    const QTextCharFormat Www =
        FormatAt(*View, static_cast<int>(Plain.indexOf(QStringLiteral("www."))));
    EXPECT_EQ(Www.anchorHref(), QStringLiteral("http://www.example.com"));
    const QTextCharFormat Paren =
        FormatAt(*View, static_cast<int>(Plain.indexOf(QStringLiteral("http://x"))));
    EXPECT_EQ(Paren.anchorHref(), QStringLiteral("http://x.org/p"));
    // The text around stays plain.
    EXPECT_FALSE(FormatAt(*View, At - 2).isAnchor());
    EXPECT_FALSE(
        FormatAt(*View, static_cast<int>(Plain.indexOf(QStringLiteral(", and")))).isAnchor());

    // A click on the link opens it with the desktop.
    QTextCursor C(View->RichEdit1->document());
    C.setPosition(At + 4);
    const QPoint Where = View->RichEdit1->cursorRect(C).center();
    QTest::mouseClick(View->RichEdit1->viewport(), Qt::LeftButton, {}, Where);
    ASSERT_EQ(TVQDesktop::Opened().size(), 1);
    EXPECT_EQ(TVQDesktop::Opened().constFirst(), QUrl(QStringLiteral("https://example.org/a?b=1")));
    // A click on plain text opens nothing.
    C.setPosition(2);
    QTest::mouseClick(View->RichEdit1->viewport(), Qt::LeftButton, {},
                      View->RichEdit1->cursorRect(C).center());
    EXPECT_EQ(TVQDesktop::Opened().size(), 1);
}

TEST_F(MessageViewTest, TheOptionsReportTheirChanges) {
    View->cbIncludeMsgs->click();
    EXPECT_EQ(OptionsChanged, 1);
    EXPECT_FALSE(View->SessionMode());
    View->seDuration->SetValue(30);
    EXPECT_GE(OptionsChanged, 2);
    EXPECT_EQ(View->SessionDuration(), 30);
    // The minutes stay within 1 to 60000; "-" cannot be typed.
    View->seDuration->Edit()->setFocus();
    View->seDuration->SetText(QString());
    QTest::keyClicks(View->seDuration->Edit(), QStringLiteral("-5"));
    EXPECT_EQ(View->seDuration->Text(), QStringLiteral("5"));
    View->seDuration->SetText(QStringLiteral("999999"));
    EXPECT_EQ(View->SessionDuration(), 60000);
    View->seDuration->SetText(QStringLiteral("0"));
    EXPECT_EQ(View->SessionDuration(), 1);
}

TEST_F(MessageViewTest, WhileLoadingExportIsCancel) {
    View->SetLoading(true);
    EXPECT_TRUE(View->Loading());
    EXPECT_TRUE(View->ProgressBar1->isVisible());
    EXPECT_EQ(View->aExport->text(), QStringLiteral("&Cancel"));
    EXPECT_EQ(View->aExport->toolTip(), QStringLiteral("Cancel loading"));
    EXPECT_EQ(View->btnExport->accessibleName(), QStringLiteral("Cancel"));
    View->btnExport->click();
    EXPECT_EQ(Cancels, 1);
    EXPECT_TRUE(TVQFileDialog::Asked().isEmpty());
    // The result window ends the loading state when it cancels.
    View->SetLoading(false);
    EXPECT_FALSE(View->ProgressBar1->isVisible());
    EXPECT_EQ(View->aExport->text(), QStringLiteral("Ex&port"));
    EXPECT_EQ(View->aExport->toolTip(), QStringLiteral("Save text to file"));
}

TEST_F(MessageViewTest, ExportWritesRichOrPlainTextAndTheViewKeepsItsFormatting) {
    WriteMessage(*View, QStringLiteral("01/02/2025 10:00:00"), QStringLiteral("Anna"),
                 QString::fromUtf8("Grüße {aus} C:\\Temp — 你好, see www.example.org"));
    WriteMessage(*View, QStringLiteral("01/02/2025 10:01:00"), QStringLiteral("Bert"),
                 QStringLiteral("second line one\r\nsecond line two"));
    const QString Plain = View->PlainText();

    // The dialog as the form sets it up.
    const QString Rtf = Dir.filePath(QStringLiteral("talk.rtf"));
    TVQFileDialog::SetNextAnswer(Rtf, 1);
    View->aExport->trigger();
    ASSERT_EQ(TVQFileDialog::Asked().size(), 1);
    const TFileDialogRequest Asked = TVQFileDialog::Asked().constFirst();
    EXPECT_TRUE(Asked.Save);
    EXPECT_EQ(Asked.Filter,
              QStringLiteral("Reach Text Format files (*.rtf)|*.rtf|Text Files (*.txt)|*.txt"));
    EXPECT_EQ(Asked.DefaultExt, QStringLiteral("*.rtf"));
    const QByteArray RtfBytes = ReadFile(Rtf);
    EXPECT_TRUE(RtfBytes.startsWith("{\\rtf1"));
    struct stat St {};
    ASSERT_EQ(::stat(QFile::encodeName(Rtf).constData(), &St), 0);
    const mode_t Umask = ::umask(0);
    ::umask(Umask);
    EXPECT_EQ(St.st_mode & 0777, 0666u & ~Umask);
    if (HaveUnrtf()) {
        const QString Read = UnrtfText(Rtf);
        for (const QString& Line : Plain.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            EXPECT_TRUE(Read.contains(Line.trimmed())) << qPrintable(Line) << "\nin\n"
                                                       << qPrintable(Read);
    }

    // Plain text: the view's text without any formatting.
    const QString Txt = Dir.filePath(QStringLiteral("talk.txt"));
    TVQFileDialog::SetNextAnswer(Txt, 2);
    View->aExport->trigger();
    const QByteArray TxtBytes = ReadFile(Txt);
    EXPECT_EQ(QString::fromUtf8(TxtBytes), Plain);
    EXPECT_FALSE(TxtBytes.contains("\\rtf"));
    EXPECT_FALSE(TxtBytes.contains('<'));

    // The view kept its formatting.
    const int Head = static_cast<int>(Plain.indexOf(QStringLiteral("Bert said:")));
    EXPECT_EQ(FormatAt(*View, Head).foreground().color(), Navy);
    EXPECT_EQ(FormatAt(*View, Head).fontWeight(), QFont::Bold);
    EXPECT_TRUE(
        FormatAt(*View, static_cast<int>(Plain.indexOf(QStringLiteral("www.")))).isAnchor());
    EXPECT_EQ(View->PlainText(), Plain);

    // Cancelled: nothing written. A folder that is not there: an error box.
    TVQFileDialog::SetNextAnswer(QString());
    View->aExport->trigger();
    TVQMessageBox::SetAnswerAutomatically(true);
    TVQMessageBox::ClearShown();
    EXPECT_FALSE(View->ExportTo(Dir.filePath(QStringLiteral("none/x.txt")), 2));
    TVQFileDialog::SetNextAnswer(Dir.filePath(QStringLiteral("none/x.txt")), 2);
    View->aExport->trigger();
    ASSERT_EQ(TVQMessageBox::Shown().size(), 1);
    EXPECT_TRUE(
        TVQMessageBox::Shown().constFirst().startsWith(QStringLiteral("The text was not saved.")));
}

TEST_F(MessageViewTest, CloseTellsTheOwner) {
    QObject* Closed = nullptr;
    View->OnClose = [&](QObject* Sender) { Closed = Sender; };
    View->aClose->trigger();
    EXPECT_EQ(Closed, View);
    EXPECT_FALSE(View->isVisible());
}
