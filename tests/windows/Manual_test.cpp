// The user manual: the pages shipped with the program, their links, the
// search, and F1 beside a modal dialog.
#include "ViewerTestSupport.h"

#include "DTDialog.h"
#include "DialogSupport.h"
#include "Manual.h"
#include "ModalDriver.h"

#include <QAbstractItemModel>
#include <QAbstractItemModelTester>
#include <QLineEdit>
#include <QListView>
#include <QPointer>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextDocument>

namespace {

using viewer_test::WhenModal;

TEST(Manual, EveryPageHasATitleAndItsLinksLeadToPagesOfTheManual) {
    TfrmManual Manual;
    QAbstractItemModelTester Tester(Manual.lvContents->model());
    EXPECT_EQ(Manual.lvContents->model()->rowCount(), ManualPages().size());
    for (const QString& Page : ManualPages()) {
        ASSERT_TRUE(Manual.ShowPage(Page)) << qPrintable(Page);
        EXPECT_EQ(Manual.CurrentPage(), Page);
        const QTextDocument* Doc = Manual.tbPage->document();
        EXPECT_GT(Doc->characterCount(), 500) << qPrintable(Page);
        EXPECT_EQ(Doc->firstBlock().blockFormat().headingLevel(), 1) << qPrintable(Page);
        for (QTextBlock Block = Doc->begin(); Block.isValid(); Block = Block.next())
            for (auto It = Block.begin(); !It.atEnd(); ++It) {
                const QString Link = It.fragment().charFormat().anchorHref();
                if (Link.isEmpty() || Link.startsWith(QLatin1String("http")))
                    continue;
                const QString Target = Link.section(QLatin1Char('#'), 0, 0);
                EXPECT_TRUE(Target.endsWith(QLatin1String(".md")) &&
                            ManualPages().contains(Target.chopped(3)))
                    << qPrintable(Page) << ": " << qPrintable(Link);
            }
    }
    // A page the manual lacks shows the first one.
    EXPECT_FALSE(Manual.ShowPage(QStringLiteral("no-such-page")));
    EXPECT_EQ(Manual.CurrentPage(), QStringLiteral("index"));
}

TEST(Manual, SearchNarrowsTheContentsMarksThePlacesAndLinksTurnThePage) {
    TfrmManual Manual;
    Manual.show();
    QTest::keyClicks(Manual.edSearch, QStringLiteral("ctrl+e"));
    const int Found = Manual.lvContents->model()->rowCount();
    EXPECT_GE(Found, 1);
    EXPECT_LT(Found, ManualPages().size());
    // Enter opens the first page found, with the places marked.
    Manual.ShowPage(QStringLiteral("player"));
    EXPECT_EQ(Manual.MarkedCount(), 0);
    QTest::keyClick(Manual.edSearch, Qt::Key_Return);
    EXPECT_EQ(Manual.CurrentPage(),
              Manual.lvContents->model()->index(0, 0).data(Qt::UserRole + 1).toString());
    EXPECT_GT(Manual.MarkedCount(), 0);
    emit Manual.tbPage->anchorClicked(QUrl(QStringLiteral("player.md")));
    EXPECT_EQ(Manual.CurrentPage(), QStringLiteral("player"));
    Manual.edSearch->clear();
    EXPECT_EQ(Manual.lvContents->model()->rowCount(), ManualPages().size());
    EXPECT_EQ(Manual.MarkedCount(), 0);
}

TEST(Manual, F1InAModalDialogOpensItsPageAsTheDialogsOwnWindow) {
    TDialogRelease<TdlgDateTime> Dialog(new TdlgDateTime(nullptr));
    QPointer<TfrmManual> Opened;
    const auto Ran = WhenModal([&](QWidget* Top) {
        QTest::keyClick(Top, Qt::Key_F1);
        for (QWidget* W : QApplication::topLevelWidgets())
            if (auto* M = qobject_cast<TfrmManual*>(W); M && M->isVisible())
                Opened = M;
        Top->close();
    });
    Dialog->exec();
    ASSERT_TRUE(*Ran);
    ASSERT_FALSE(Opened.isNull());
    EXPECT_EQ(Opened->CurrentPage(), QStringLiteral("query-builder"));
    // Owned by the dialog, so the dialog's modality does not shut it out.
    EXPECT_EQ(Opened->parentWidget(), Dialog.Get());
}

} // namespace
