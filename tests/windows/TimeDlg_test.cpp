// The daily time frame dialog: two times of day, OK and Esc.
#include "ViewerTestSupport.h"

#include "ModalDriver.h"
#include "TimeDlg.h"
#include "VQDateTime.h"

#include <QPushButton>
#include <QTest>
#include <QTimeEdit>

namespace {

using viewer_test::WhenModal;

TEST(TimeDlg, CaptionButtonsAndPickersFromTheTimesOfDay) {
    TdlgTime Dialog(nullptr);
    EXPECT_EQ(Dialog.windowTitle(), QStringLiteral("Enter time period"));
    EXPECT_EQ(Dialog.btnOK->text(), QStringLiteral("OK"));
    EXPECT_TRUE(Dialog.btnOK->isDefault());
    EXPECT_EQ(Dialog.tpFrom->accessibleName(), QStringLiteral("From"));
    EXPECT_EQ(Dialog.tpTo->accessibleName(), QStringLiteral("To"));
    // A frame keeps no date: only the times of day reach the pickers.
    Dialog.SetFrame(EncodeDateTime(QDate(2003, 4, 5), QTime(8, 30, 0)), EncodeTime(17, 45, 30, 0));
    EXPECT_EQ(Dialog.tpFrom->time(), QTime(8, 30, 0));
    EXPECT_EQ(Dialog.tpTo->time(), QTime(17, 45, 30));
    EXPECT_DOUBLE_EQ(Dialog.Start(), EncodeTime(8, 30, 0, 0));
    EXPECT_DOUBLE_EQ(Dialog.End(), EncodeTime(17, 45, 30, 0));
}

TEST(TimeDlg, OKHandsTheTimesBackAndEscCancels) {
    TDateTime Start = EncodeTime(0, 0, 0, 0);
    TDateTime End = EncodeTime(23, 59, 59, 0);
    WhenModal([](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Dialog->tpFrom->setTime(QTime(9, 0, 0));
        Dialog->tpTo->setTime(QTime(17, 0, 0));
        QTest::keyClick(Dialog, Qt::Key_Return);
    });
    ASSERT_TRUE(EditTimeFrame(nullptr, QStringLiteral("Daily Time Frame"), Start, End));
    EXPECT_DOUBLE_EQ(Start, EncodeTime(9, 0, 0, 0));
    EXPECT_DOUBLE_EQ(End, EncodeTime(17, 0, 0, 0));

    WhenModal([](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Dialog->tpFrom->setTime(QTime(1, 0, 0));
        QTest::keyClick(Dialog->tpFrom, Qt::Key_Escape);
    });
    EXPECT_FALSE(EditTimeFrame(nullptr, QStringLiteral("Daily Time Frame"), Start, End));
    EXPECT_DOUBLE_EQ(Start, EncodeTime(9, 0, 0, 0));
}

} // namespace
