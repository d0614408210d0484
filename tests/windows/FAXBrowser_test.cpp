// The fax browser: a fax downloaded from the reference server is copied
// beside the result window's temporary file, shown page by page, opened
// through the desktop (a seam records what would have been opened), offered
// in the desktop's file actions, and released with its folder.
#include "ViewerTestSupport.h"

#include "FAXBrowser.h"
#include "FaxPages.h"
#include "VQDesktop.h"
#include "VQFileDialog.h"
#include "ViewerArchive.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolButton>
#include <QVBoxLayout>

#include <sys/stat.h>

using namespace viewer_test;

namespace {

QByteArray ReadFile(const QString& Name) {
    QFile F(Name);
    return F.open(QIODevice::ReadOnly) ? F.readAll() : QByteArray();
}

mode_t Mode(const QString& Name) {
    struct stat St {};
    return ::lstat(QFile::encodeName(Name).constData(), &St) == 0 ? (St.st_mode & 0777) : 0;
}

// Share of pixels that are not white: a drawn page has ink on it.
double Ink(const QImage& Image) {
    if (Image.isNull())
        return 0;
    qint64 Dark = 0;
    for (int Y = 0; Y < Image.height(); ++Y)
        for (int X = 0; X < Image.width(); ++X)
            Dark += qGray(Image.pixel(X, Y)) < 200;
    return double(Dark) / (qint64(Image.width()) * Image.height());
}

class FaxBrowserTest : public ::testing::Test {
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
        ASSERT_TRUE(Dir.isValid());
        TempFile = Dir.filePath(QStringLiteral("vqa4711.~tf"));
        TVQDesktop::ClearOpened();
        TVQDesktop::SetOpener([](const QUrl&) { return true; });
        TVQFileDialog::ClearAsked();
        Host = std::make_unique<QWidget>();
        Host->resize(360, 560);
        Browser = new TfrmFaxBrowser(Host.get());
        auto* Layout = new QVBoxLayout(Host.get());
        Layout->addWidget(Browser);
        Browser->OnGetFax = [this](QObject* Sender) {
            EXPECT_EQ(Sender, Browser);
            ++Requests;
        };
        Host->show();
    }
    void TearDown() override {
        Host.reset();
        TVQDesktop::SetOpener(nullptr);
        TVQDesktop::ClearOpened();
        TVQFileDialog::ClearAsked();
    }

    // A fax of the archive, downloaded into the temporary file as the
    // result window does.
    void DownloadFax() {
        if (Live->Skip)
            GTEST_SKIP() << qPrintable(StartError);
        ASSERT_TRUE(StartError.isEmpty()) << qPrintable(StartError);
        const TRows Faxes =
            TDemoArchive::Query(QStringLiteral("SELECT Media_ID, filename FROM media WHERE "
                                               "Media_Type = 'fax' ORDER BY Media_ID LIMIT 1"));
        ASSERT_EQ(Faxes.size(), 1u);
        FaxFile = TDemoArchive::DataFile(Faxes[0][1]);
        TDownloadWindow Downloader;
        ASSERT_TRUE(Downloader.Fetch(Faxes[0][0].toUInt(), TempFile))
            << qPrintable(Downloader.Error);
        ASSERT_EQ(ReadFile(TempFile), ReadFile(FaxFile));
    }

    QString Folder() const { return Dir.filePath(QStringLiteral("vqa4711/")); }

    static inline TLiveConnection* Live = nullptr;
    static inline QString StartError;

    QTemporaryDir Dir;
    QString TempFile;
    QString FaxFile;
    std::unique_ptr<QWidget> Host;
    TfrmFaxBrowser* Browser = nullptr;
    int Requests = 0;
};

} // namespace

TEST_F(FaxBrowserTest, TheFormStartsEmpty) {
    EXPECT_EQ(Browser->windowTitle(), QStringLiteral("Fax preview"));
    EXPECT_EQ(Browser->aOpen->text(), QStringLiteral("&Open"));
    EXPECT_EQ(Browser->aOpen->toolTip(), QStringLiteral("Open file"));
    EXPECT_EQ(Browser->aAdditional->text(), QStringLiteral("&Additional"));
    EXPECT_FALSE(Browser->aOpen->isEnabled());
    EXPECT_FALSE(Browser->aAdditional->isEnabled());
    EXPECT_EQ(Browser->ProgressCaption(), QStringLiteral("0"));
    EXPECT_TRUE(Browser->lbParticipants->wordWrap());
    EXPECT_TRUE(Browser->lbParticipants->font().bold());
    EXPECT_EQ(Browser->lbParticipants->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    EXPECT_TRUE(Browser->FAX().isEmpty());
    EXPECT_FALSE(Browser->Pages->isVisible());
    for (QWidget* W : Browser->findChildren<QWidget*>()) {
        if (W->focusPolicy() != Qt::NoFocus && W->isVisibleTo(Browser)) {
            EXPECT_FALSE(W->accessibleName().isEmpty()) << qPrintable(W->objectName());
        }
    }
}

TEST_F(FaxBrowserTest, ADownloadedFaxIsCopiedBesideTheTemporaryFileAndShown) {
    DownloadFax();
    Browser->SetProgressCaption(QStringLiteral("Ready to open"));
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    EXPECT_EQ(Browser->FAX(), Folder() + QStringLiteral("Fax.pdf"));
    EXPECT_EQ(ReadFile(Browser->FAX()), ReadFile(FaxFile));
    EXPECT_EQ(Mode(Browser->FAX()), 0600u);
    EXPECT_EQ(Mode(Folder()), 0700u);
    EXPECT_TRUE(Browser->aOpen->isEnabled());
    EXPECT_TRUE(Browser->aAdditional->isEnabled());
    // Not asked to open: nothing opened.
    EXPECT_TRUE(TVQDesktop::Opened().isEmpty());

    // The pages inside the viewer.
    ASSERT_TRUE(Browser->Pages->isVisible());
    ASSERT_GE(Browser->Pages->PageCount(), 1);
    EXPECT_EQ(Browser->Pages->Page(), 0);
    EXPECT_GT(Ink(Browser->Pages->PageImage()), 0.001);
    EXPECT_TRUE(Browser->Pages->StatusText().startsWith(QStringLiteral("Page 1 of ")));
    const QSize Fitted = Browser->Pages->PageImage().size();
    Browser->Pages->ZoomIn();
    EXPECT_FALSE(Browser->Pages->FitWidth());
    EXPECT_GT(Browser->Pages->PageImage().width(), Fitted.width());
    Browser->Pages->SetFitWidth(true);
    EXPECT_EQ(Browser->Pages->PageImage().size(), Fitted);

    // Open hands the copy to the desktop.
    Browser->aOpen->trigger();
    ASSERT_EQ(TVQDesktop::Opened().size(), 1);
    EXPECT_EQ(TVQDesktop::Opened().constFirst(), QUrl::fromLocalFile(Browser->FAX()));

    // Releasing removes the copy and its folder.
    const QString Copy = Browser->FAX();
    Browser->ReleaseFile();
    EXPECT_FALSE(QFileInfo::exists(Copy));
    EXPECT_FALSE(QFileInfo::exists(Folder()));
    EXPECT_TRUE(Browser->FAX().isEmpty());
    EXPECT_FALSE(Browser->aOpen->isEnabled());
    EXPECT_FALSE(Browser->aAdditional->isEnabled());
    EXPECT_EQ(Browser->Pages->PageCount(), 0);
    // The temporary file is the result window's: it stays.
    EXPECT_TRUE(QFileInfo::exists(TempFile));
}

TEST_F(FaxBrowserTest, AutoOpenAsksForTheFaxAndOpensItOnce) {
    DownloadFax();
    Browser->SetAutoOpen(true);
    EXPECT_EQ(Requests, 1);
    EXPECT_TRUE(Browser->AutoOpen());
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    EXPECT_FALSE(Browser->AutoOpen());
    ASSERT_EQ(TVQDesktop::Opened().size(), 1);
    EXPECT_EQ(TVQDesktop::Opened().constFirst(),
              QUrl::fromLocalFile(Folder() + QStringLiteral("Fax.pdf")));
    // The same fax again without it: not opened again.
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    EXPECT_EQ(TVQDesktop::Opened().size(), 1);
    // Clearing AutoOpen does not ask.
    Browser->SetAutoOpen(false);
    EXPECT_EQ(Requests, 1);
}

TEST_F(FaxBrowserTest, ClearHidingAndClosingReleaseTheFile) {
    DownloadFax();
    Browser->SetProgressCaption(QStringLiteral("Ready to open"));
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    Browser->Clear();
    EXPECT_TRUE(Browser->ProgressCaption().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Folder()));

    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    Host->hide();
    EXPECT_FALSE(Browser->FAX().isEmpty()) << "hiding the window around it keeps the fax";
    Host->show();
    Browser->hide();
    EXPECT_TRUE(Browser->FAX().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(Folder()));
    Browser->show();

    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    QObject* Closed = nullptr;
    Browser->OnClose = [&](QObject* Sender) { Closed = Sender; };
    Browser->close();
    EXPECT_EQ(Closed, Browser);
    EXPECT_FALSE(QFileInfo::exists(Folder()));
}

TEST_F(FaxBrowserTest, AnExtensionThatIsNoPlainExtensionIsNotUsed) {
    DownloadFax();
    for (const QString& Bad : {QStringLiteral("/../../x"), QStringLiteral(".."),
                               QStringLiteral("p\ndf"), QString(), QStringLiteral("a/b")}) {
        Browser->SetFax(TempFile, Bad);
        EXPECT_EQ(Browser->FAX(), Folder() + QStringLiteral("Fax.dat")) << qPrintable(Bad);
        EXPECT_EQ(QDir(Folder()).entryList(QDir::Files | QDir::Hidden), QStringList{"Fax.dat"});
    }
    Browser->ReleaseFile();
    EXPECT_EQ(QDir(Dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"vqa4711.~tf"});
}

TEST_F(FaxBrowserTest, PlantedLinksAreNeitherFollowedNorUsed) {
    DownloadFax();
    QTemporaryDir Elsewhere;
    ASSERT_TRUE(Elsewhere.isValid());
    const QString Victim = Elsewhere.filePath(QStringLiteral("victim"));
    QFile V(Victim);
    ASSERT_TRUE(V.open(QIODevice::WriteOnly));
    V.write("keep me");
    V.close();
    // A link where the copy goes: replaced, its target untouched.
    ASSERT_TRUE(QDir().mkpath(Folder()));
    ::chmod(QFile::encodeName(Folder()).constData(), 0700);
    ASSERT_TRUE(QFile::link(Victim, Folder() + QStringLiteral("Fax.pdf")));
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    EXPECT_EQ(ReadFile(Victim), QByteArray("keep me"));
    EXPECT_FALSE(QFileInfo(Browser->FAX()).isSymLink());
    EXPECT_EQ(ReadFile(Browser->FAX()), ReadFile(FaxFile));
    Browser->ReleaseFile();
    EXPECT_TRUE(QFileInfo::exists(Victim));

    // A link in place of the folder: refused, nothing written through it.
    ASSERT_TRUE(QFile::link(Elsewhere.path(), Dir.filePath(QStringLiteral("vqa4711"))));
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    EXPECT_TRUE(Browser->FAX().isEmpty());
    EXPECT_TRUE(
        Browser->ProgressCaption().startsWith(QStringLiteral("The fax could not be copied.")));
    EXPECT_FALSE(QFileInfo::exists(Elsewhere.filePath(QStringLiteral("Fax.pdf"))));
    EXPECT_FALSE(Browser->aOpen->isEnabled());
}

TEST_F(FaxBrowserTest, TheDesktopsFileActionsOpenAtTheirPlaces) {
    // Without a fax nothing opens, whatever asks.
    QContextMenuEvent Key(QContextMenuEvent::Keyboard, QPoint(0, 0),
                          Browser->mapToGlobal(QPoint(0, 0)));
    QApplication::sendEvent(Browser, &Key);
    EXPECT_EQ(Browser->FileMenu(), nullptr);

    DownloadFax();
    Browser->SetFax(TempFile, QStringLiteral("pdf"));
    // The context-menu key: at the participants label's top-left corner.
    QApplication::sendEvent(Browser, &Key);
    ASSERT_NE(Browser->FileMenu(), nullptr);
    EXPECT_EQ(Browser->FileMenu()->pos(), Browser->lbParticipants->mapToGlobal(QPoint(0, 0)));
    QStringList Items;
    for (QAction* A : Browser->FileMenu()->actions())
        if (!A->isSeparator())
            Items << A->objectName();
    const bool Chooser = TfrmFaxBrowser::DesktopOffersChooser();
    QStringList Expected{"miOpen"};
    if (Chooser)
        Expected << "miOpenWith";
    Expected << "miOpenFolder"
             << "miCopyPath"
             << "miSaveCopy";
    EXPECT_EQ(Items, Expected);
    EXPECT_EQ(Browser->FileMenu()->defaultAction()->objectName(), QStringLiteral("miOpen"));
    Browser->FileMenu()->close();
    QApplication::processEvents();

    // A right click on the form: at the mouse.
    const QPoint Global = Browser->mapToGlobal(QPoint(30, 40));
    QContextMenuEvent Mouse(QContextMenuEvent::Mouse, QPoint(30, 40), Global);
    QApplication::sendEvent(Browser, &Mouse);
    ASSERT_NE(Browser->FileMenu(), nullptr);
    EXPECT_EQ(Browser->FileMenu()->pos(), Global);

    // The actions.
    Browser->FileMenu()->findChild<QAction*>(QStringLiteral("miOpen"))->trigger();
    Browser->FileMenu()->findChild<QAction*>(QStringLiteral("miOpenFolder"))->trigger();
    ASSERT_EQ(TVQDesktop::Opened().size(), 2);
    EXPECT_EQ(TVQDesktop::Opened().at(0), QUrl::fromLocalFile(Browser->FAX()));
    EXPECT_EQ(QDir::cleanPath(TVQDesktop::Opened().at(1).toLocalFile()), QDir::cleanPath(Folder()));
    Browser->FileMenu()->findChild<QAction*>(QStringLiteral("miCopyPath"))->trigger();
    EXPECT_EQ(QApplication::clipboard()->text(), Browser->FAX());
    const QString Saved = Dir.filePath(QStringLiteral("kept.pdf"));
    TVQFileDialog::SetNextAnswer(Saved);
    Browser->FileMenu()->findChild<QAction*>(QStringLiteral("miSaveCopy"))->trigger();
    ASSERT_EQ(TVQFileDialog::Asked().size(), 1);
    EXPECT_EQ(TVQFileDialog::Asked().constFirst().Filter,
              QStringLiteral("PDF documents|*.pdf|All files|*"));
    EXPECT_EQ(ReadFile(Saved), ReadFile(FaxFile));
    Browser->FileMenu()->close();
    QApplication::processEvents();

    // The Additional action: at the bottom-right corner of its button.
    Browser->aAdditional->trigger();
    ASSERT_NE(Browser->FileMenu(), nullptr);
    EXPECT_EQ(Browser->FileMenu()->pos(),
              Browser->btnAdditional->mapToGlobal(Browser->btnAdditional->rect().bottomRight()));
    // Releasing the fax closes its menu.
    Browser->ReleaseFile();
    QApplication::processEvents();
    EXPECT_TRUE(Browser->FileMenu() == nullptr || !Browser->FileMenu()->isVisible());
}

TEST(FaxPages, AMultiPageTiffShowsPageByPage) {
    const QString Convert = QStandardPaths::findExecutable(QStringLiteral("convert"));
    if (Convert.isEmpty())
        GTEST_SKIP() << "imagemagick's convert is not installed";
    QTemporaryDir Dir;
    ASSERT_TRUE(Dir.isValid());
    const QString Tiff = Dir.filePath(QStringLiteral("fax.tif"));
    // Two fax pages at fax resolution, the second nearly black.
    QProcess Make;
    Make.start(Convert,
               {QStringLiteral("-units"), QStringLiteral("PixelsPerInch"),
                QStringLiteral("-density"), QStringLiteral("204x98"), QStringLiteral("-size"),
                QStringLiteral("1728x1100"), QStringLiteral("xc:white"), QStringLiteral("-size"),
                QStringLiteral("1728x1100"), QStringLiteral("xc:black"),
                QStringLiteral("-compress"), QStringLiteral("Group4"), Tiff});
    ASSERT_TRUE(Make.waitForFinished(60000));
    ASSERT_EQ(Make.exitCode(), 0) << Make.readAllStandardError().constData();
    TFaxPages Pages;
    Pages.resize(400, 500);
    Pages.show();
    ASSERT_TRUE(Pages.Load(Tiff, QStringLiteral("tif"))) << qPrintable(Pages.ErrorText());
    EXPECT_EQ(Pages.PageCount(), 2);
    EXPECT_LT(Ink(Pages.PageImage()), 0.01);
    EXPECT_FALSE(Pages.btnPrior->isEnabled());
    EXPECT_TRUE(Pages.btnNext->isEnabled());
    // Fax resolution is not square: the page keeps its real proportions.
    const QImage First = Pages.PageImage();
    EXPECT_NEAR(double(First.height()) / First.width(), (1100.0 / 98) / (1728.0 / 204), 0.05)
        << First.width() << "x" << First.height();
    Pages.btnNext->click();
    EXPECT_EQ(Pages.Page(), 1);
    EXPECT_GT(Ink(Pages.PageImage()), 0.9);
    EXPECT_FALSE(Pages.btnNext->isEnabled());
    EXPECT_EQ(Pages.StatusText().left(12), QStringLiteral("Page 2 of 2,"));
    Pages.SetPage(99);
    EXPECT_EQ(Pages.Page(), 1);
    // Zoom stays within its bounds.
    for (int I = 0; I < 40; ++I)
        Pages.ZoomIn();
    EXPECT_LE(Pages.Zoom(), TFaxPages::MaxZoom);
    EXPECT_LE(Pages.PageImage().width(), 4000);
    for (int I = 0; I < 40; ++I)
        Pages.ZoomOut();
    EXPECT_GE(Pages.Zoom(), TFaxPages::MinZoom);
}

TEST(FaxPages, AFileThatIsNoFaxSaysSoInPlaceOfThePage) {
    QTemporaryDir Dir;
    const QString Name = Dir.filePath(QStringLiteral("broken.pdf"));
    QFile F(Name);
    ASSERT_TRUE(F.open(QIODevice::WriteOnly));
    F.write("%PDF-1.4 this is not really one");
    F.close();
    TFaxPages Pages;
    EXPECT_FALSE(Pages.Load(Name, QStringLiteral("pdf")));
    EXPECT_EQ(Pages.PageCount(), 0);
    EXPECT_FALSE(Pages.ErrorText().isEmpty());
    EXPECT_FALSE(Pages.btnNext->isEnabled());
    EXPECT_FALSE(Pages.Load(Name, QStringLiteral("tif")));
    EXPECT_FALSE(Pages.Load(Dir.filePath(QStringLiteral("missing.pdf")), QStringLiteral("pdf")));
}
