// The date and time span dialog: pickers preset from a span, the span
// built from them, and Esc.
#include "ViewerTestSupport.h"

#include "DTDialog.h"
#include "ModalDriver.h"
#include "VQDateTime.h"

#include <QComboBox>
#include <QDateEdit>
#include <QPushButton>
#include <QTest>
#include <QTimeEdit>

#include <cmath>
#include <limits>

namespace {

using viewer_test::WhenModal;

TDateTime At(int Y, int M, int D, int H, int Min, int S) {
    return EncodeDateTime(QDate(Y, M, D), QTime(H, Min, S));
}

TEST(DTDialog, CaptionButtonsAndCalendarPickers) {
    TdlgDateTime Dialog(nullptr);
    EXPECT_EQ(Dialog.windowTitle(), QStringLiteral("Enter date and time"));
    EXPECT_EQ(Dialog.btnOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(Dialog.btnCancel->text(), QStringLiteral("Cancel"));
    EXPECT_TRUE(Dialog.btnOK->isDefault());
    EXPECT_TRUE(Dialog.dpFrom->calendarPopup());
    EXPECT_TRUE(Dialog.dpTo->calendarPopup());
    for (QWidget* Picker :
         {static_cast<QWidget*>(Dialog.dpFrom), static_cast<QWidget*>(Dialog.tpFrom),
          static_cast<QWidget*>(Dialog.dpTo), static_cast<QWidget*>(Dialog.tpTo)})
        EXPECT_FALSE(Picker->accessibleName().isEmpty()) << qPrintable(Picker->objectName());
}

TEST(DTDialog, PickersTakeDatesAndTimesAndGiveThemBackTogether) {
    TdlgDateTime Dialog(nullptr);
    Dialog.SetSpan(At(2001, 2, 3, 4, 5, 6), At(2020, 12, 31, 23, 59, 58));
    EXPECT_EQ(Dialog.dpFrom->date(), QDate(2001, 2, 3));
    EXPECT_EQ(Dialog.tpFrom->time(), QTime(4, 5, 6));
    EXPECT_EQ(Dialog.dpTo->date(), QDate(2020, 12, 31));
    EXPECT_EQ(Dialog.tpTo->time(), QTime(23, 59, 58));
    Dialog.dpTo->setDate(QDate(2021, 1, 2));
    Dialog.tpFrom->setTime(QTime(7, 8, 9));
    EXPECT_DOUBLE_EQ(Dialog.Start(), At(2001, 2, 3, 7, 8, 9));
    EXPECT_DOUBLE_EQ(Dialog.End(), At(2021, 1, 2, 23, 59, 58));
}

TEST(DTDialog, QuickRangesCountWholeDaysAcrossMonthsYearsAndLeapDays) {
    struct Row {
        TQuickRange Range;
        QDate Today, First, Last;
    } const Rows[] = {
        {TQuickRange::Today, QDate(2024, 3, 1), QDate(2024, 3, 1), QDate(2024, 3, 1)},
        {TQuickRange::Yesterday, QDate(2024, 3, 1), QDate(2024, 2, 29), QDate(2024, 2, 29)},
        {TQuickRange::Last7Days, QDate(2025, 1, 3), QDate(2024, 12, 28), QDate(2025, 1, 3)},
        {TQuickRange::Last30Days, QDate(2023, 3, 1), QDate(2023, 1, 31), QDate(2023, 3, 1)},
        {TQuickRange::ThisMonth, QDate(2024, 2, 10), QDate(2024, 2, 1), QDate(2024, 2, 29)},
        {TQuickRange::LastMonth, QDate(2025, 1, 31), QDate(2024, 12, 1), QDate(2024, 12, 31)},
        {TQuickRange::LastMonth, QDate(2023, 3, 31), QDate(2023, 2, 1), QDate(2023, 2, 28)},
    };
    for (const Row& R : Rows) {
        const auto Days = QuickRangeDays(R.Range, R.Today);
        EXPECT_EQ(Days.first, R.First) << qPrintable(R.Today.toString(Qt::ISODate));
        EXPECT_EQ(Days.second, R.Last) << qPrintable(R.Today.toString(Qt::ISODate));
    }
}

TEST(DTDialog, AQuickRangeFillsWholeDaysAndAHandEditMakesItCustom) {
    TdlgDateTime Dialog(nullptr);
    Dialog.SetSpan(At(2001, 2, 3, 4, 5, 6), At(2001, 2, 3, 5, 0, 0));
    Dialog.show();
    QTest::keyClick(Dialog.cbQuickRange, Qt::Key_Down); // "Today"
    QTest::keyClick(Dialog.cbQuickRange, Qt::Key_Down); // "Yesterday"
    const QDate Yesterday = QDate::currentDate().addDays(-1);
    EXPECT_DOUBLE_EQ(Dialog.Start(), EncodeDateTime(Yesterday, QTime(0, 0, 0)));
    EXPECT_DOUBLE_EQ(Dialog.End(), EncodeDateTime(Yesterday, QTime(23, 59, 59)));
    EXPECT_EQ(Dialog.cbQuickRange->currentText(), QStringLiteral("Yesterday"));
    Dialog.tpTo->setTime(QTime(12, 0, 0));
    EXPECT_EQ(Dialog.cbQuickRange->currentIndex(), 0);
}

TEST(DTDialog, AValueThatNamesNoDateShowsTheCurrentDay) {
    TdlgDateTime Dialog(nullptr);
    Dialog.SetSpan(std::numeric_limits<double>::quiet_NaN(), 1e12);
    EXPECT_EQ(Dialog.dpFrom->date(), QDate::currentDate());
    EXPECT_EQ(Dialog.dpTo->date(), QDate::currentDate());
    EXPECT_TRUE(std::isfinite(Dialog.Start()));
}

TEST(DTDialog, OKHandsTheSpanBackAndEscCancels) {
    TDateTime Start = At(2000, 1, 1, 0, 0, 0);
    TDateTime End = At(2010, 6, 1, 12, 0, 0);
    QString Title;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgDateTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Title = Dialog->windowTitle();
        Dialog->dpFrom->setDate(QDate(2005, 5, 5));
        Dialog->tpTo->setTime(QTime(13, 14, 15));
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    ASSERT_TRUE(EditDateTimeSpan(nullptr, QStringLiteral("Time Span"), Start, End));
    EXPECT_EQ(Title, QStringLiteral("Time Span"));
    EXPECT_DOUBLE_EQ(Start, At(2005, 5, 5, 0, 0, 0));
    EXPECT_DOUBLE_EQ(End, At(2010, 6, 1, 13, 14, 15));

    bool CancelFocused = false;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgDateTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Dialog->dpFrom->setDate(QDate(1999, 1, 1));
        QObject::connect(Dialog, &QDialog::rejected, Dialog, [Dialog, &CancelFocused] {
            CancelFocused = QApplication::focusWidget() == Dialog->btnCancel ||
                            Dialog->focusWidget() == Dialog->btnCancel;
        });
        QTest::keyClick(Dialog->dpFrom, Qt::Key_Escape);
    });
    EXPECT_FALSE(EditDateTimeSpan(nullptr, QStringLiteral("Time Span"), Start, End));
    EXPECT_TRUE(CancelFocused);
    EXPECT_DOUBLE_EQ(Start, At(2005, 5, 5, 0, 0, 0));
}

} // namespace
