// The query builder's condition editors, opened by a click on a line's
// value: popup menus at the mouse and the small dialogs, each titled with
// the condition's caption and preset with its values.
#include "BuilderTestSupport.h"

#include "ConditionEditors.h"
#include "DTDialog.h"
#include "GlobalCallerIDDlg.h"
#include "ModalDriver.h"
#include "TimeDlg.h"

#include <QDateEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimeEdit>

namespace {

using namespace viewer_test;

struct TItem {
    QString Name;
    QString Text;
    bool Enabled;
    bool Checked;
};

QList<TItem> ItemsOf(QWidget* Popup) {
    QList<TItem> Result;
    if (auto* Menu = qobject_cast<QMenu*>(Popup))
        for (QAction* A : Menu->actions())
            if (!A->isSeparator())
                Result.append({A->objectName(), A->text(), A->isEnabled(), A->isChecked()});
    return Result;
}

class ConditionEditorsTest : public BuilderTest {
protected:
    // Clicks the value of Line and answers the popup that opens with the
    // item Choice; returns the popup's items as they were offered.
    QList<TItem> ChooseFromPopup(int Line, const char* Choice, QPoint* Shown = nullptr,
                                 QPoint* Clicked = nullptr) {
        QList<TItem> Offered;
        WhenModal([&](QWidget* Top) {
            Offered = ItemsOf(Top);
            if (Shown != nullptr)
                *Shown = Top->pos();
            ChooseMenuItem(Top, Choice);
        });
        const QPoint Point = PointOf(*Builder, Line, TPart::Value);
        if (Clicked != nullptr)
            *Clicked = Builder->lbQuery->viewport()->mapToGlobal(Point);
        ClickAt(*Builder, Point);
        return Offered;
    }
};

TEST_F(ConditionEditorsTest, TheHeadingOffersTheMediaTypesCheckedWhilePresentAtTheMouse) {
    QPoint Shown;
    QPoint Clicked;
    QList<TItem> Items = ChooseFromPopup(0, "MI3", &Shown, &Clicked);
    ASSERT_EQ(Items.size(), 5);
    const QStringList Names{"MI2", "MI3", "MI4", "MI5", "MICancel"};
    const QStringList Texts{"instant messages", "call recording",
                            "voice mail && personal call recording ", "faxes", "Cancel"};
    for (int I = 0; I < 5; ++I) {
        EXPECT_EQ(Items[I].Name, Names[I]);
        EXPECT_EQ(Items[I].Text, Texts[I]);
        EXPECT_FALSE(Items[I].Checked);
    }
    EXPECT_EQ(Shown, Clicked);
    const int Line = LineOf(*Builder, ckRVM);
    ASSERT_GT(Line, 0);
    EXPECT_EQ(Query().GetCondition(Line)->Caption(), QStringLiteral("call recording"));
    EXPECT_EQ(Query().GetCondition(Line)->Level(), 32u);

    Items = ChooseFromPopup(0, "MI3");
    EXPECT_TRUE(Items[1].Checked);
    EXPECT_EQ(LineOf(*Builder, ckRVM), -1);
    Items = ChooseFromPopup(0, "MICancel");
    EXPECT_EQ(Query().Count(), 2);
}

TEST_F(ConditionEditorsTest, TheTailOffersWhatMayBeAddedAndTogglesTheCallerId) {
    const int Tail = LineOf(*Builder, ckTail);
    QList<TItem> Items = ChooseFromPopup(Tail, "MI7");
    ASSERT_EQ(Items.size(), 6);
    const QStringList Texts{"Participants",     "Time Span",          "Daily Time Frame",
                            "Global Caller ID", "Call Attached Data", "Cancel"};
    for (int I = 0; I < 6; ++I) {
        EXPECT_EQ(Items[I].Text, Texts[I]);
        EXPECT_TRUE(Items[I].Enabled) << qPrintable(Texts[I]);
    }
    const int Header = LineOf(*Builder, ckParticipants);
    ASSERT_GT(Header, 0);
    EXPECT_EQ(Query().GetCondition(Header)->Prompt(), QStringLiteral("(add)"));
    EXPECT_EQ(Query().GetCondition(Header)->Level(), 4u);

    Items = ChooseFromPopup(LineOf(*Builder, ckTail), "MI10");
    EXPECT_FALSE(Items[0].Enabled);
    EXPECT_FALSE(Items[3].Checked);
    ASSERT_GT(LineOf(*Builder, ckGCID), 0);
    Items = ChooseFromPopup(LineOf(*Builder, ckTail), "MI10");
    EXPECT_TRUE(Items[3].Checked);
    EXPECT_EQ(LineOf(*Builder, ckGCID), -1);
    ChooseFromPopup(LineOf(*Builder, ckTail), "MI8");
    ChooseFromPopup(LineOf(*Builder, ckTail), "MI9");
    EXPECT_GT(LineOf(*Builder, ckTimeSpan), 0);
    EXPECT_GT(LineOf(*Builder, ckTimeFrame), 0);
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
}

TEST_F(ConditionEditorsTest, TheParticipantsValueAddsTheSelectedUsersOrSaysThereAreNone) {
    ChooseFromPopup(LineOf(*Builder, ckTail), "MI7");
    const int Header = LineOf(*Builder, ckParticipants);
    Builder->lvUsers->clearSelection();
    ClickPart(*Builder, Header, TPart::Value);
    EXPECT_EQ(Errors, QStringList{QStringLiteral("No Participants selected")});
    SelectUsers(*Builder, {QStringLiteral("Support agent Bob O'Brien"), QStringLiteral("Support")});
    ClickPart(*Builder, Header, TPart::Value);
    // In the order of the user list, whatever the order of selecting.
    const TAQCondition* Group = Query().GetCondition(Header + 1);
    const TAQCondition* Agent = Query().GetCondition(Header + 2);
    ASSERT_NE(Agent, nullptr);
    EXPECT_EQ(Group->Caption(), QStringLiteral("Support"));
    EXPECT_EQ(Group->UserKind(), ukGroup);
    EXPECT_EQ(Group->Tag(), 10u);
    EXPECT_EQ(Group->CID().ID, 1);
    EXPECT_EQ(Agent->Caption(), QStringLiteral("Support agent Bob O'Brien"));
    EXPECT_EQ(Agent->UserKind(), ukUserGroup);
    EXPECT_EQ(Agent->Tag(), (quint64(2) << 32) | 10u);
    EXPECT_EQ(Agent->CID().ID, 2);
    EXPECT_TRUE(Query().BuildQuery(3).contains(QStringLiteral("(User_Id = 2 AND  Group_Id = 10)")));

    // "and" joins two participants in any role; once the second takes a
    // role of its own the "and" could no longer be switched back, so the
    // role step turns it into "or" at once.
    // (The keyboard's way to the operator a click switches.)
    Builder->lbQuery->SetItemIndex(Header + 1);
    Builder->aSwitchOperator->trigger();
    EXPECT_EQ(Group->Operator(), okAND);
    ClickPart(*Builder, Header + 2, TPart::Value);
    EXPECT_NE(Agent->Role(), prAny);
    EXPECT_EQ(Group->Operator(), okOR);
}

TEST_F(ConditionEditorsTest, TheTimeSpanOpensItsDialogPresetAndTakesOnlyOK) {
    Builder->aTimeSpan->trigger();
    const int Line = LineOf(*Builder, ckTimeSpan);
    TAQCondition* Span = Query().GetCondition(Line);
    QString Title;
    QDate From;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgDateTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Title = Dialog->windowTitle();
        From = Dialog->dpFrom->date();
        Dialog->dpFrom->setDate(QDate(2010, 3, 4));
        Dialog->tpFrom->setTime(QTime(5, 6, 7));
        Dialog->dpTo->setDate(QDate(2011, 1, 1));
        Dialog->tpTo->setTime(QTime(0, 0, 0));
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_EQ(Title, QStringLiteral("Time Span"));
    EXPECT_EQ(From, QDate(2000, 1, 1));
    EXPECT_DOUBLE_EQ(Span->DTStart(), EncodeDateTime(QDate(2010, 3, 4), QTime(5, 6, 7)));
    EXPECT_DOUBLE_EQ(Span->DTEnd(), EncodeDate(2011, 1, 1));

    WhenModal([](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgDateTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Dialog->dpFrom->setDate(QDate(1990, 1, 1));
        QTest::mouseClick(Dialog->btnCancel, Qt::LeftButton);
    });
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_DOUBLE_EQ(Span->DTStart(), EncodeDateTime(QDate(2010, 3, 4), QTime(5, 6, 7)));
}

TEST_F(ConditionEditorsTest, TheDailyFrameOpensTheTimeDialog) {
    Builder->aTimeFrame->trigger();
    const int Line = LineOf(*Builder, ckTimeFrame);
    QString Title;
    QTime ShownTo;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgTime*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Title = Dialog->windowTitle();
        ShownTo = Dialog->tpTo->time();
        Dialog->tpFrom->setTime(QTime(8, 0, 0));
        Dialog->tpTo->setTime(QTime(18, 30, 0));
        QTest::keyClick(Dialog, Qt::Key_Return);
    });
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_EQ(Title, QStringLiteral("Daily Time Frame"));
    EXPECT_EQ(ShownTo.toString(QStringLiteral("HH:mm:ss")), QStringLiteral("23:59:59"));
    const TAQCondition* Frame = Query().GetCondition(Line);
    EXPECT_DOUBLE_EQ(Frame->DTStart(), EncodeTime(8, 0, 0, 0));
    EXPECT_DOUBLE_EQ(Frame->DTEnd(), EncodeTime(18, 30, 0, 0));
}

TEST_F(ConditionEditorsTest, TheCallerIdOpensItsDialogWithTheId) {
    Builder->aGCID->trigger();
    const int Line = LineOf(*Builder, ckGCID);
    ASSERT_GT(Line, 0);
    QString Title;
    QString Shown;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgGlobalCallerID*>(Top);
        ASSERT_NE(Dialog, nullptr);
        Title = Dialog->windowTitle();
        Shown = Dialog->edGCID->text();
        Dialog->edGCID->setCursorPosition(0);
        QTest::keyClicks(Dialog->edGCID, QStringLiteral("aaaaa01"));
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_EQ(Title, QStringLiteral("Global Caller ID"));
    EXPECT_EQ(Shown, QStringLiteral("00000-00-00000-000"));
    EXPECT_EQ(Query().GetCondition(Line)->GCID(), QStringLiteral("AAAAA-01-00000-000"));
    EXPECT_EQ(Sentences(*Builder)[Line], QStringLiteral("Global Caller ID: AAAAA-01-00000-000"));
}

TEST_F(ConditionEditorsTest, AFurtherTailStartsAnotherQuery) {
    TAQCondition* Super = Query().AddCondition(QString(), 0, 0, ckSuperTail,
                                               QStringLiteral("(another query)"), nullptr, 0);
    const int Line = Super->Index();
    ClickPart(*Builder, Line, TPart::Value);
    EXPECT_TRUE(Super->Prompt().isEmpty());
    EXPECT_EQ(Query().GetCondition(Query().Count() - 2)->Kind(), ckLabel);
    EXPECT_EQ(Query().GetCondition(Query().Count() - 2)->CIDQueryID(), 1);
}

TEST_F(ConditionEditorsTest, AnEditorDoesNothingForAQueryThatIsNotShown) {
    TVQQuery Alone;
    TAQCondition* Heading = Alone.GetCondition(0);
    std::unique_ptr<TAQConditionEditor> Editor = CreateConditionEditor(*Builder, *Heading);
    ASSERT_NE(Editor, nullptr);
    // No menu opens: the call returns at once.
    Editor->Edit(QPoint(10, 10));
    EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
    EXPECT_EQ(Alone.Count(), 2);
    Alone.AddDeleteMediaType(ckIM, 0);
    EXPECT_EQ(CreateConditionEditor(*Builder, *Alone.GetCondition(1)), nullptr);
}

} // namespace
