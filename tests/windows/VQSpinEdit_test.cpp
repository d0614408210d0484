#include "ViewerTestSupport.h"

#include "VQSpinEdit.h"

#include <QDialog>
#include <QFocusEvent>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <vector>

namespace {

void Leave(TCustomVQSpinEdit& Spin) {
    QFocusEvent Out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(Spin.Edit(), &Out);
}

struct Changing {
    TUpDownDirection Direction;
    qint32 NewValue;
};

} // namespace

// --- Reading and committing the text --------------------------------------

TEST(SpinEditValue, StartsAtZeroWithDefaultBounds) {
    TVQSpinEdit Spin;
    EXPECT_EQ(Spin.Text(), "0");
    EXPECT_EQ(Spin.Value(), 0);
    EXPECT_EQ(Spin.MinValue(), 0);
    EXPECT_EQ(Spin.MaxValue(), 100);
    EXPECT_EQ(Spin.Increment(), 1);
    EXPECT_EQ(Spin.MaxLength(), 11);
    EXPECT_FALSE(Spin.Wrap());
    EXPECT_EQ(Spin.UDAlign(), udRight);
    EXPECT_EQ(Spin.UDOrientation(), udVertical);
}

TEST(SpinEditValue, TextThatIsNoNumberReadsAsABound) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(-5, 50);
    Spin.SetText("abc");
    EXPECT_EQ(Spin.Value(), 50);
    EXPECT_FALSE(Spin.IsValid());
    Spin.SetText("-x");
    EXPECT_EQ(Spin.Value(), -5);
    EXPECT_FALSE(Spin.IsValid());
}

TEST(SpinEditValue, LeavingTheBoxWritesTheDerivedValueBack) {
    TVQSpinEdit Spin;
    Spin.SetText("abc");
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "100");
    Spin.SetMinMax(-7, 100);
    Spin.SetText("-x");
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "-7");
    EXPECT_EQ(Spin.Edit()->cursorPosition(), 2);
}

TEST(SpinEditValue, NumbersOutsideTheBoundsAreClampedAndInvalid) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(10, 20);
    Spin.SetText("25");
    EXPECT_EQ(Spin.Value(), 20);
    EXPECT_FALSE(Spin.IsValid());
    Spin.SetText("3");
    EXPECT_EQ(Spin.Value(), 10);
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "10");
    Spin.SetText("15");
    EXPECT_TRUE(Spin.IsValid());
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "15");
}

TEST(SpinEditValue, EmptyBoxReadsZeroAndIsRewrittenOnLeaving) {
    TVQSpinEdit Spin;
    Spin.SetValue(42);
    Spin.SetText("");
    EXPECT_EQ(Spin.Value(), 0);
    EXPECT_FALSE(Spin.IsValid());
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "0");
}

TEST(SpinEditValue, EmptyBoxNeverReadsBelowTheMinimum) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(100, 100000);
    Spin.SetText("");
    EXPECT_EQ(Spin.Value(), 100);
    Leave(Spin);
    EXPECT_EQ(Spin.Text(), "100");
}

TEST(SpinEditValue, WritingTheValueClampsIt) {
    TVQSpinEdit Spin;
    Spin.SetValue(250);
    EXPECT_EQ(Spin.Text(), "100");
    Spin.SetValue(-3);
    EXPECT_EQ(Spin.Text(), "0");
    Spin.SetValue(64);
    EXPECT_EQ(Spin.Value(), 64);
}

// --- Bounds -----------------------------------------------------------------

TEST(SpinEditBounds, MaximumIsCutToTheLargestAllowed) {
    TVQSpinEdit Spin;
    Spin.SetMaxValue(2000000000);
    EXPECT_EQ(Spin.MaxValue(), 1215752192);
    Spin.SetText("1999999999");
    EXPECT_EQ(Spin.Value(), 1215752192);
}

TEST(SpinEditBounds, NewBoundsMoveTheValueInside) {
    TVQSpinEdit Spin;
    Spin.SetValue(5);
    Spin.SetMinValue(10);
    EXPECT_EQ(Spin.Text(), "10");
    Spin.SetValue(90);
    Spin.SetMaxValue(50);
    EXPECT_EQ(Spin.Text(), "50");
    Spin.SetMinMax(TIntRange{60, 70});
    EXPECT_EQ(Spin.Text(), "60");
    EXPECT_EQ(Spin.UpDown()->Min(), 60);
    EXPECT_EQ(Spin.UpDown()->Max(), 70);
}

TEST(SpinEditBounds, ChangingBoundsAsksOnChangingForTheMove) {
    TVQSpinEdit Spin;
    Spin.SetValue(5);
    std::vector<Changing> Asked;
    Spin.OnChanging = [&](QObject*, bool&, TUpDownDirection Direction, qint32 NewValue) {
        Asked.push_back({Direction, NewValue});
    };
    Spin.SetMinValue(10);
    ASSERT_EQ(Asked.size(), 1u);
    EXPECT_EQ(Asked[0].NewValue, 10);
    EXPECT_EQ(Asked[0].Direction, updUp);
}

// --- Typing -----------------------------------------------------------------

TEST(SpinEditTyping, OnlyDigitsAreAccepted) {
    TVQSpinEdit Spin;
    Spin.SetMaxValue(100000);
    Spin.SetText("");
    QTest::keyClicks(Spin.Edit(), "1a2 b3.+");
    EXPECT_EQ(Spin.Text(), "123");
    QTest::keyClick(Spin.Edit(), Qt::Key_Backspace);
    EXPECT_EQ(Spin.Text(), "12");
}

TEST(SpinEditTyping, MinusNeedsANegativeMinimum) {
    TVQSpinEdit Spin;
    Spin.SetMinValue(1);
    Spin.SetText("");
    QTest::keyClicks(Spin.Edit(), "-5");
    EXPECT_EQ(Spin.Text(), "5");
}

TEST(SpinEditTyping, MinusOnlyIntoAnEmptyBoxOrOverASelection) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(-100, 100);
    Spin.SetText("");
    QTest::keyClicks(Spin.Edit(), "-4");
    EXPECT_EQ(Spin.Text(), "-4");
    QTest::keyClicks(Spin.Edit(), "-");
    EXPECT_EQ(Spin.Text(), "-4");
    Spin.SetText("12");
    Spin.Edit()->selectAll();
    QTest::keyClicks(Spin.Edit(), "-3");
    EXPECT_EQ(Spin.Text(), "-3");
}

TEST(SpinEditTyping, EnterCommitsAndReachesTheDefaultButton) {
    QDialog Dialog;
    auto* Layout = new QVBoxLayout(&Dialog);
    auto* Spin = new TVQSpinEdit(&Dialog);
    auto* Ok = new QPushButton("OK", &Dialog);
    Ok->setDefault(true);
    QObject::connect(Ok, &QPushButton::clicked, &Dialog, &QDialog::accept);
    Layout->addWidget(Spin);
    Layout->addWidget(Ok);
    Dialog.show();
    Spin->SetText("abc");
    QTest::keyClick(Spin->Edit(), Qt::Key_Return);
    EXPECT_EQ(Spin->Text(), "100");
    EXPECT_EQ(Dialog.result(), QDialog::Accepted);
}

TEST(SpinEditTyping, EscapeReachesTheDialog) {
    QDialog Dialog;
    auto* Spin = new TVQSpinEdit(&Dialog);
    Dialog.show();
    Dialog.setResult(QDialog::Accepted);
    QTest::keyClick(Spin->Edit(), Qt::Key_Escape);
    EXPECT_EQ(Dialog.result(), QDialog::Rejected);
    EXPECT_FALSE(Dialog.isVisible());
}

TEST(SpinEditTyping, ArrowKeysStep) {
    TVQSpinEdit Spin;
    Spin.SetIncrement(5);
    Spin.SetValue(20);
    QTest::keyClick(Spin.Edit(), Qt::Key_Up);
    EXPECT_EQ(Spin.Value(), 25);
    QTest::keyClick(Spin.Edit(), Qt::Key_Down);
    QTest::keyClick(Spin.Edit(), Qt::Key_Down);
    EXPECT_EQ(Spin.Value(), 15);
}

// --- Arrow steps ------------------------------------------------------------

TEST(SpinEditStep, StepsByTheIncrementFromTheShownText) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(100, 100000);
    Spin.SetIncrement(100);
    Spin.SetValue(10000);
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Text(), "10100");
    // Typed text that the arrows have not seen is where the next step starts.
    Spin.SetText("500");
    Spin.UpDown()->Step(-1);
    EXPECT_EQ(Spin.Text(), "400");
}

TEST(SpinEditStep, StopsAtTheBoundsWithoutWrap) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(0, 10);
    Spin.SetIncrement(3);
    Spin.SetValue(9);
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 10);
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 10);
    Spin.SetValue(1);
    Spin.UpDown()->Step(-1);
    EXPECT_EQ(Spin.Value(), 0);
}

TEST(SpinEditStep, WrapsAroundAtTheBounds) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(1, 59);
    Spin.SetWrap(true);
    Spin.SetValue(59);
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 1);
    Spin.UpDown()->Step(-1);
    EXPECT_EQ(Spin.Value(), 59);
}

TEST(SpinEditStep, OnChangingSeesDirectionAndNewValue) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(0, 10);
    Spin.SetIncrement(4);
    Spin.SetValue(8);
    std::vector<Changing> Asked;
    Spin.OnChanging = [&](QObject* Sender, bool&, TUpDownDirection Direction, qint32 NewValue) {
        EXPECT_EQ(Sender, &Spin);
        Asked.push_back({Direction, NewValue});
    };
    Spin.UpDown()->Step(1);  // 12 is above the maximum
    Spin.UpDown()->Step(-1); // from 10 to 6
    Spin.SetValue(0);
    Spin.UpDown()->Step(-1); // -4 is below the minimum
    ASSERT_EQ(Asked.size(), 4u);
    EXPECT_EQ(Asked[0].Direction, updNone);
    EXPECT_EQ(Asked[0].NewValue, 12);
    EXPECT_EQ(Asked[1].Direction, updDown);
    EXPECT_EQ(Asked[1].NewValue, 6);
    EXPECT_EQ(Asked[2].Direction, updDown);
    EXPECT_EQ(Asked[3].Direction, updNone);
    EXPECT_EQ(Asked[3].NewValue, -4);
}

TEST(SpinEditStep, OnChangingCanRefuseStepsAndWrites) {
    TVQSpinEdit Spin;
    Spin.SetValue(50);
    Spin.OnChanging = [](QObject*, bool& Allow, TUpDownDirection Direction, qint32) {
        Allow = Direction != updUp;
    };
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 50);
    Spin.SetValue(70);
    EXPECT_EQ(Spin.Value(), 50);
    Spin.UpDown()->Step(-1);
    EXPECT_EQ(Spin.Value(), 49);
}

TEST(SpinEditStep, ClickReportsTheButtonByHowThePositionMoved) {
    TVQSpinEdit Spin;
    Spin.SetMinMax(0, 3);
    Spin.show();
    std::vector<TUDBtnType> Clicks;
    Spin.OnClick = [&](QObject*, TUDBtnType Button) { Clicks.push_back(Button); };
    QTest::mouseClick(Spin.UpDown()->UpButton(), Qt::LeftButton);
    QTest::mouseClick(Spin.UpDown()->DownButton(), Qt::LeftButton);
    ASSERT_EQ(Clicks.size(), 2u);
    EXPECT_EQ(Clicks[0], btNext);
    EXPECT_EQ(Clicks[1], btPrev);
    EXPECT_EQ(Spin.Value(), 0);
    EXPECT_EQ(Spin.Edit()->cursorPosition(), 1);
    // At the bound nothing moves, so there is nothing to report.
    QTest::mouseClick(Spin.UpDown()->DownButton(), Qt::LeftButton);
    EXPECT_EQ(Clicks.size(), 2u);
    // Wrapping up from the top makes the position smaller.
    Spin.SetWrap(true);
    Spin.SetValue(3);
    QTest::mouseClick(Spin.UpDown()->UpButton(), Qt::LeftButton);
    ASSERT_EQ(Clicks.size(), 3u);
    EXPECT_EQ(Clicks[2], btPrev);
    EXPECT_EQ(Spin.Value(), 0);
}

TEST(SpinEditStep, EveryTextChangeRaisesOnChange) {
    TVQSpinEdit Spin;
    int Changes = 0;
    Spin.OnChange = [&](QObject* Sender) {
        EXPECT_EQ(Sender, &Spin);
        ++Changes;
    };
    Spin.SetValue(3);
    Spin.UpDown()->Step(1);
    Spin.SetText("9");
    EXPECT_EQ(Changes, 3);
    Spin.SetValue(9);
    EXPECT_EQ(Changes, 3);
}

// --- States and layout ------------------------------------------------------

TEST(SpinEditState, ReadOnlyLocksTextAndArrows) {
    TVQSpinEdit Spin;
    Spin.SetValue(5);
    Spin.SetReadOnly(true);
    EXPECT_TRUE(Spin.Edit()->isReadOnly());
    EXPECT_FALSE(Spin.UpDown()->isEnabled());
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 5);
    Spin.SetReadOnly(false);
    EXPECT_FALSE(Spin.Edit()->isReadOnly());
    EXPECT_TRUE(Spin.UpDown()->isEnabled());
}

TEST(SpinEditState, EditorDisabledKeepsTheArrows) {
    TVQSpinEdit Spin;
    Spin.SetEditorEnabled(false);
    EXPECT_TRUE(Spin.Edit()->isReadOnly());
    Spin.UpDown()->Step(1);
    EXPECT_EQ(Spin.Value(), 1);
}

TEST(SpinEditState, DisablingReachesBothPartsAndReadOnlyStaysInForce) {
    TVQSpinEdit Spin;
    Spin.SetReadOnly(true);
    Spin.setEnabled(false);
    EXPECT_FALSE(Spin.Edit()->isEnabled());
    EXPECT_FALSE(Spin.UpDown()->isEnabled());
    Spin.setEnabled(true);
    EXPECT_TRUE(Spin.Edit()->isEnabled());
    EXPECT_FALSE(Spin.UpDown()->isEnabled());
}

TEST(SpinEditState, FocusGoesToTheTextBox) {
    TVQSpinEdit Spin;
    EXPECT_EQ(Spin.focusProxy(), Spin.Edit());
}

TEST(SpinEditLayout, ArrowsTakeTheFullHeightOnTheirSide) {
    TVQSpinEdit Spin;
    Spin.show();
    Spin.resize(145, 30);
    EXPECT_EQ(Spin.UpDown()->height(), 30);
    EXPECT_EQ(Spin.UpDown()->geometry().right(), 144);
    EXPECT_EQ(Spin.Edit()->x(), 0);
    EXPECT_EQ(Spin.Edit()->width() + Spin.UpDown()->width(), 145);
    Spin.SetUDAlign(udLeft);
    EXPECT_EQ(Spin.UpDown()->x(), 0);
    EXPECT_EQ(Spin.Edit()->geometry().right(), 144);
}

TEST(SpinEditLayout, NeverLowerThanItsTextNeeds) {
    TVQSpinEdit Spin;
    const int FontHeight = Spin.fontMetrics().height();
    EXPECT_GE(Spin.MinimumHeight(), FontHeight + FontHeight / 4);
    EXPECT_EQ(Spin.minimumHeight(), Spin.MinimumHeight());
    QFont Large = Spin.font();
    Large.setPointSize(Large.pointSize() * 3);
    Spin.setFont(Large);
    EXPECT_GT(Spin.minimumHeight(), FontHeight * 2);
    EXPECT_EQ(Spin.width(), 145);
}
