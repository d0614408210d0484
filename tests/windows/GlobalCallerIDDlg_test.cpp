// The global caller id dialog: the masked id edit, its captions and the
// hand-over of the id.
#include "ViewerTestSupport.h"

#include "GlobalCallerIDDlg.h"
#include "ModalDriver.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

namespace {

using viewer_test::WhenModal;

TEST(GlobalCallerIDDlg, OpensWithTheZeroIdTheCaptionsAndOKAsDefault) {
    TdlgGlobalCallerID Dialog(nullptr);
    EXPECT_EQ(Dialog.windowTitle(), QStringLiteral("Enter Global Caller ID"));
    EXPECT_EQ(Dialog.edGCID->text(), QStringLiteral("00000-00-00000-000"));
    EXPECT_EQ(Dialog.btnOK->text(), QStringLiteral("&OK"));
    EXPECT_EQ(Dialog.btnCancel->text(), QStringLiteral("C&ancel"));
    EXPECT_TRUE(Dialog.btnOK->isDefault());
    // The label names the edit for a screen reader and takes Alt+C.
    EXPECT_EQ(Dialog.edGCID->accessibleName(), QStringLiteral("Global Caller ID"));
    bool Labelled = false;
    for (QLabel* Label : Dialog.findChildren<QLabel*>())
        if (Label->buddy() == Dialog.edGCID)
            Labelled = Label->text() == QStringLiteral("Global &Caller ID:");
    EXPECT_TRUE(Labelled);
}

TEST(GlobalCallerIDDlg, TypedLettersBecomeUpperCaseAndTheDashesStay) {
    TdlgGlobalCallerID Dialog(nullptr);
    Dialog.show();
    Dialog.edGCID->setFocus();
    Dialog.edGCID->selectAll();
    QTest::keyClick(Dialog.edGCID, Qt::Key_Backspace);
    Dialog.edGCID->setCursorPosition(0);
    // An incomplete id cannot be confirmed, by click or by Enter.
    QTest::keyClicks(Dialog.edGCID, QStringLiteral("ab"));
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    QTest::keyClick(Dialog.edGCID, Qt::Key_Return);
    EXPECT_TRUE(Dialog.isVisible());
    Dialog.edGCID->setCursorPosition(0);
    QTest::keyClicks(Dialog.edGCID, QStringLiteral("xk3az1f2a3b4c5d6"));
    EXPECT_EQ(Dialog.edGCID->text(), QStringLiteral("XK3AZ-1F-2A3B4-C5D"));
    EXPECT_TRUE(Dialog.btnOK->isEnabled());
    // Nothing but letters and digits gets in, not even a quote.
    Dialog.edGCID->setCursorPosition(0);
    QTest::keyClicks(Dialog.edGCID, QStringLiteral("'-  "));
    EXPECT_EQ(Dialog.edGCID->text(), QStringLiteral("XK3AZ-1F-2A3B4-C5D"));
    QTest::mouseClick(Dialog.btnOK, Qt::LeftButton);
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
    EXPECT_EQ(Dialog.GCID(), QStringLiteral("XK3AZ-1F-2A3B4-C5D"));
}

TEST(GlobalCallerIDDlg, WritingTheIdShowsItAndCancelKeepsIt) {
    TdlgGlobalCallerID Dialog(nullptr);
    Dialog.SetGCID(QStringLiteral("ABCDE-01-00001-002"));
    EXPECT_EQ(Dialog.edGCID->text(), QStringLiteral("ABCDE-01-00001-002"));
    Dialog.show();
    Dialog.edGCID->setCursorPosition(0);
    QTest::keyClicks(Dialog.edGCID, QStringLiteral("zz"));
    QTest::mouseClick(Dialog.btnCancel, Qt::LeftButton);
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
    EXPECT_EQ(Dialog.GCID(), QStringLiteral("ABCDE-01-00001-002"));
}

TEST(GlobalCallerIDDlg, TheEditorsDialogHandsBackOnlyAConfirmedId) {
    QString Id = QStringLiteral("ABCDE-01-00001-002");
    QString ShownTitle;
    QString ShownId;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgGlobalCallerID*>(Top);
        ASSERT_NE(Dialog, nullptr);
        ShownTitle = Dialog->windowTitle();
        ShownId = Dialog->edGCID->text();
        Dialog->edGCID->setCursorPosition(15);
        QTest::keyClicks(Dialog->edGCID, QStringLiteral("fff"));
        QTest::keyClick(Dialog, Qt::Key_Return);
    });
    EXPECT_TRUE(EditGlobalCallerID(nullptr, QStringLiteral("Global Caller ID"), Id));
    EXPECT_EQ(ShownTitle, QStringLiteral("Global Caller ID"));
    EXPECT_EQ(ShownId, QStringLiteral("ABCDE-01-00001-002"));
    EXPECT_EQ(Id, QStringLiteral("ABCDE-01-00001-FFF"));

    WhenModal([](QWidget* Top) { QTest::keyClick(Top, Qt::Key_Escape); });
    EXPECT_FALSE(EditGlobalCallerID(nullptr, QStringLiteral("Global Caller ID"), Id));
    EXPECT_EQ(Id, QStringLiteral("ABCDE-01-00001-FFF"));
}

} // namespace
