// The query builder's condition list: each condition a sentence drawn in
// runs, the rectangles of the last drawing answering the mouse, operators
// and roles switched by clicks, keys, and drags between the two lists.
#include "BuilderTestSupport.h"

#include "ModalDriver.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QImage>
#include <QMenu>

namespace {

using namespace viewer_test;

// Pixels of a colour inside a rectangle of a picture of the list.
int Pixels(const QImage& Image, const QRect& Rect, std::function<bool(QRgb)> Match) {
    int Count = 0;
    const QRect Area = Rect.intersected(Image.rect());
    for (int Y = Area.top(); Y <= Area.bottom(); ++Y)
        for (int X = Area.left(); X <= Area.right(); ++X)
            if (Match(Image.pixel(X, Y)))
                ++Count;
    return Count;
}

bool Blue(QRgb P) {
    return qBlue(P) > 180 && qRed(P) < 100 && qGreen(P) < 100;
}
bool Red(QRgb P) {
    return qRed(P) > 180 && qGreen(P) < 100 && qBlue(P) < 100;
}
bool Silver(QRgb P) {
    return qRed(P) == 192 && qGreen(P) == 192 && qBlue(P) == 192;
}
bool Grey(QRgb P) {
    return qRed(P) >= 110 && qRed(P) <= 150 && qRed(P) == qGreen(P) && qGreen(P) == qBlue(P);
}
bool Black(QRgb P) {
    return qRed(P) < 60 && qGreen(P) < 60 && qBlue(P) < 60;
}

// The list as it is drawn now, in the coordinates of its lines.
QImage Picture(TdlgQueryBuilder& Builder) {
    QWidget* Viewport = Builder.lbQuery->viewport();
    return Viewport->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

class QueryLinesTest : public BuilderTest {};

TEST_F(QueryLinesTest, EveryLineReadsAsTheSentenceItShows) {
    QAbstractItemModelTester Tester(Builder->lbQuery->LinesModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    EXPECT_EQ(
        Sentences(*Builder),
        (QStringList{QStringLiteral("I want to see (select media types that you want to see)"),
                     QStringLiteral("(add condition)")}));
    Builder->aInstantMessages->trigger();
    Builder->aVoiceMail->trigger();
    EXPECT_EQ(Sentences(*Builder).mid(1, 2),
              (QStringList{QStringLiteral("instant messages,"),
                           QStringLiteral("voice mail & personal call recording .")}));
    Select(0);
    AddUsers({QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien")});
    Builder->aTimeSpan->trigger();
    Builder->aTimeSpan->trigger();
    Builder->aGCID->trigger();
    const QStringList Lines = Sentences(*Builder);
    ASSERT_EQ(Lines.size(), 10);
    EXPECT_EQ(Lines[2], QStringLiteral("voice mail & personal call recording , where"));
    EXPECT_EQ(Lines[3], QStringLiteral("Participants: (add)"));
    EXPECT_EQ(Lines[4], QString::fromUtf8("Anna Müller in any role or"));
    EXPECT_EQ(Lines[5], QStringLiteral("Bob O'Brien in any role"));
    EXPECT_TRUE(Lines[6].startsWith(QStringLiteral("Time Span: from "))) << qPrintable(Lines[6]);
    EXPECT_TRUE(Lines[7].startsWith(QStringLiteral("and Time Span: from ")))
        << qPrintable(Lines[7]);
    EXPECT_EQ(Lines[8], QStringLiteral("and Global Caller ID: 00000-00-00000-000"));
    EXPECT_EQ(Lines[9], QStringLiteral("(add condition)"));
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
    EXPECT_EQ(Lines.size(), Builder->lbQuery->LinesModel()->rowCount());
}

TEST_F(QueryLinesTest, AScreenReaderReadsEachLineAndNamesEveryControl) {
    EXPECT_EQ(Builder->lbQuery->LinesModel()
                  ->data(Builder->lbQuery->LinesModel()->index(1), Qt::AccessibleTextRole)
                  .toString(),
              QStringLiteral("(add condition)"));
    QAccessibleInterface* List = QAccessible::queryAccessibleInterface(Builder->lbQuery);
    ASSERT_NE(List, nullptr);
    EXPECT_FALSE(List->text(QAccessible::Name).isEmpty());
    QStringList Read;
    for (int I = 0; I < List->childCount(); ++I)
        if (QAccessibleInterface* Child = List->child(I))
            Read.append(Child->text(QAccessible::Name));
    EXPECT_TRUE(Read.contains(QStringLiteral("(add condition)"))) << qPrintable(Read.join('|'));
    EXPECT_EQ(Builder->Edit3->accessibleName(), QStringLiteral("Title"));
    EXPECT_EQ(Builder->edFilter->accessibleName(), QStringLiteral("Filter"));
    EXPECT_EQ(Builder->lvUsers->accessibleName(), QStringLiteral("User list"));
}

TEST_F(QueryLinesTest, ValuesAreBlueAndUnderlinedAndTheSelectedLineIsSilver) {
    Select(0);
    ASSERT_TRUE(Builder->lbQuery->selectionModel()->isRowSelected(0));
    const QImage Image = Picture(*Builder);
    const TAQCondition* Heading = Query().GetCondition(0);
    ASSERT_FALSE(Heading->ValueRect().isEmpty());
    ASSERT_FALSE(Heading->CaptionRect().isEmpty());
    EXPECT_GT(Pixels(Image, Heading->ValueRect(), Blue), 20);
    EXPECT_GT(Pixels(Image, Heading->CaptionRect(), Silver), 20);
    EXPECT_GT(Pixels(Image, Heading->CaptionRect(), Black), 10);
    // The tail has no caption and is not selected.
    const TAQCondition* Tail = Query().GetCondition(1);
    EXPECT_TRUE(Tail->CaptionRect().isEmpty());
    EXPECT_GT(Pixels(Image, Tail->ValueRect(), Blue), 20);
    EXPECT_EQ(Pixels(Image, Tail->ValueRect(), Silver), 0);
    // The participants header is indented by its level.
    Builder->aTimeSpan->trigger();
    Picture(*Builder);
    EXPECT_GT(Query().GetCondition(LineOf(*Builder, ckTimeSpan))->CaptionRect().left(), 0);
}

TEST_F(QueryLinesTest, ALineInErrorIsGreyWithItsValueStruckOutInRed) {
    Builder->aTimeSpan->trigger();
    const int Line = LineOf(*Builder, ckTimeSpan);
    TAQCondition* Span = Query().GetCondition(Line);
    Span->SetDTStart(EncodeDate(2020, 1, 2));
    Span->SetDTEnd(EncodeDate(2020, 1, 1));
    Select(0);
    const QImage Image = Picture(*Builder);
    EXPECT_GT(Pixels(Image, Span->ValueRect(), Red), 20);
    EXPECT_EQ(Pixels(Image, Span->ValueRect(), Blue), 0);
    EXPECT_GT(Pixels(Image, Span->CaptionRect(), Grey), 5);
    // The operator tells why the line is faulty.
    const QString Why = Builder->lbQuery->LinesModel()
                            ->data(Builder->lbQuery->LinesModel()->index(Line), Qt::ToolTipRole)
                            .toString();
    EXPECT_FALSE(Why.isEmpty());
}

TEST_F(QueryLinesTest, TheOperatorStandsBetweenParticipantsOnly) {
    Select(0);
    AddUsers({QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien")});
    const int First = LineOf(*Builder, ckValue);
    Picture(*Builder);
    EXPECT_FALSE(Query().GetCondition(First)->OperatorRect().isEmpty());
    EXPECT_TRUE(Query().GetCondition(First + 1)->OperatorRect().isEmpty());
    EXPECT_TRUE(Query().GetCondition(First - 1)->OperatorRect().isEmpty());
    // After the caption and two blanks comes the value, then the operator.
    const TAQCondition* Anna = Query().GetCondition(First);
    EXPECT_LT(Anna->CaptionRect().right(), Anna->ValueRect().left());
    EXPECT_LT(Anna->ValueRect().right(), Anna->OperatorRect().left());
    EXPECT_EQ(Anna->HitTest(Anna->OperatorRect().center()), chtOperator);
    EXPECT_EQ(Anna->HitTest(Anna->ValueRect().center()), chtValue);
    EXPECT_EQ(Anna->HitTest(Anna->CaptionRect().center()), chtCaption);
}

TEST_F(QueryLinesTest, ClickingTheOperatorSwitchesItAndASpecificRoleKeepsOr) {
    Select(0);
    AddUsers({QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien")});
    const int First = LineOf(*Builder, ckValue);
    ClickPart(*Builder, First, TPart::Operator);
    EXPECT_EQ(Query().GetCondition(First)->Operator(), okAND);
    EXPECT_EQ(Sentences(*Builder)[First], QString::fromUtf8("Anna Müller in any role and"));
    ClickPart(*Builder, First, TPart::Operator);
    EXPECT_EQ(Query().GetCondition(First)->Operator(), okOR);
    ClickPart(*Builder, First, TPart::Operator);
    ASSERT_EQ(Query().GetCondition(First)->Operator(), okAND);
    // Bob gets a role of his own: the operator before him is "or" again
    // and no longer offered as a link.
    ClickPart(*Builder, First + 1, TPart::Value);
    EXPECT_EQ(Query().GetCondition(First + 1)->Role(), prCaller);
    EXPECT_EQ(Query().GetCondition(First)->Operator(), okOR);
    ClickPart(*Builder, First, TPart::Operator);
    EXPECT_EQ(Query().GetCondition(First)->Operator(), okOR);
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join('\n'));
}

TEST_F(QueryLinesTest, TheRoleStepsThroughTheRolesAndSkipsAForbiddenSupervisor) {
    Select(0);
    AddUsers({QStringLiteral("Carl")});
    const int Line = LineOf(*Builder, ckValue);
    QList<TParticipantRole> Seen;
    for (int I = 0; I < 4; ++I) {
        ClickPart(*Builder, Line, TPart::Value);
        Seen.append(Query().GetCondition(Line)->Role());
    }
    EXPECT_EQ(Seen, (QList<TParticipantRole>{prCaller, prRecipient, prSupervisor, prAny}));
    // Instant messages have no supervisor.
    Builder->aInstantMessages->trigger();
    const int Moved = LineOf(*Builder, ckValue);
    Seen.clear();
    for (int I = 0; I < 3; ++I) {
        ClickPart(*Builder, Moved, TPart::Value);
        Seen.append(Query().GetCondition(Moved)->Role());
    }
    EXPECT_EQ(Seen, (QList<TParticipantRole>{prCaller, prRecipient, prAny}));
    EXPECT_EQ(Sentences(*Builder)[Moved], QStringLiteral("Carl in any role"));
}

TEST_F(QueryLinesTest, TheHandShowsOverValuesAndOperatorsOnly) {
    Select(0);
    AddUsers({QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien")});
    QWidget* Viewport = Builder->lbQuery->viewport();
    const int First = LineOf(*Builder, ckValue);
    QTest::mouseMove(Viewport, PointOf(*Builder, First, TPart::Operator));
    EXPECT_EQ(Viewport->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(Viewport, PointOf(*Builder, First, TPart::Caption));
    EXPECT_NE(Viewport->cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseMove(Viewport, PointOf(*Builder, 0, TPart::Value));
    EXPECT_EQ(Viewport->cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(QueryLinesTest, SpaceAndF4OpenTheEditorOfTheSelectedLine) {
    Select(0);
    QString Opened;
    WhenModal([&](QWidget* Top) {
        Opened = Top->objectName();
        auto* Menu = qobject_cast<QMenu*>(Top);
        ASSERT_NE(Menu, nullptr);
        ChooseMenuItem(Menu, "MI5");
    });
    Builder->lbQuery->setFocus();
    QTest::keyClick(Builder->lbQuery, Qt::Key_Space);
    EXPECT_EQ(Opened, QStringLiteral("FPopup"));
    EXPECT_TRUE(Query().MediaTypeExists(ckFaxes, 0));

    Select(LineOf(*Builder, ckTail));
    Opened.clear();
    WhenModal([&](QWidget* Top) {
        Opened = Top->objectName();
        ChooseMenuItem(Top, "MI8");
    });
    QTest::keyClick(Builder->lbQuery, Qt::Key_F4);
    EXPECT_EQ(Opened, QStringLiteral("FPopup"));
    EXPECT_GE(LineOf(*Builder, ckTimeSpan), 0);
}

TEST_F(QueryLinesTest, EnterExecutesOnlyAQueryWithoutErrorAndEscapeCloses) {
    QTest::keyClick(Builder->lbQuery, Qt::Key_Return);
    EXPECT_TRUE(Builder->isVisible());
    Builder->aFaxes->trigger();
    Builder->Edit3->setText(QStringLiteral("My faxes"));
    QTest::keyClick(Builder->Edit3, Qt::Key_Return);
    EXPECT_FALSE(Builder->isVisible());
    EXPECT_EQ(Builder->result(), QDialog::Accepted);
    EXPECT_EQ(Query().Title(), QStringLiteral("My faxes"));

    Builder->show();
    QTest::keyClick(Builder->lbQuery, Qt::Key_Escape);
    EXPECT_FALSE(Builder->isVisible());
    EXPECT_EQ(Builder->result(), QDialog::Rejected);
}

TEST_F(QueryLinesTest, UsersDroppedOnALineFollowIt) {
    Select(0);
    AddUsers({QStringLiteral("Carl")});
    const int Header = LineOf(*Builder, ckParticipants);
    SelectUsers(*Builder, {QString::fromUtf8("Anna Müller"), QStringLiteral("Dora")});
    QMimeData Users;
    Users.setData(QString::fromLatin1(UsersMimeType), QByteArray("0,3"));
    ASSERT_TRUE(
        Drop(Builder->lbQuery->viewport(), PointOf(*Builder, Header, TPart::Caption), Users));
    const QStringList Lines = Sentences(*Builder);
    EXPECT_EQ(Lines[Header + 1], QString::fromUtf8("Anna Müller in any role or"));
    EXPECT_EQ(Lines[Header + 2], QStringLiteral("Dora in any role or"));
    EXPECT_EQ(Lines[Header + 3], QStringLiteral("Carl in any role"));
    // Without a selection in the user list nothing can be dropped.
    Builder->lvUsers->clearSelection();
    EXPECT_FALSE(
        Drop(Builder->lbQuery->viewport(), PointOf(*Builder, Header, TPart::Caption), Users));
}

TEST_F(QueryLinesTest, AParticipantDraggedMovesWithinItsRunOrLeavesOnTheUserList) {
    Select(0);
    AddUsers(
        {QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien"), QStringLiteral("Carl")});
    const int First = LineOf(*Builder, ckValue);
    QMimeData Participant;
    Participant.setData(QString::fromLatin1(ParticipantMimeType), QByteArray::number(First + 2));
    // Only a selected participant may be dragged.
    Select(0);
    EXPECT_FALSE(
        Drop(Builder->lbQuery->viewport(), PointOf(*Builder, First, TPart::Caption), Participant));
    Select(First + 2);
    ASSERT_TRUE(
        Drop(Builder->lbQuery->viewport(), PointOf(*Builder, First, TPart::Caption), Participant));
    QStringList Names;
    QList<int> Ids;
    for (int I = First; I < First + 3; ++I) {
        Names.append(Query().GetCondition(I)->Caption());
        Ids.append(Query().GetCondition(I)->CID().ID);
    }
    EXPECT_EQ(Names, (QStringList{QStringLiteral("Carl"), QString::fromUtf8("Anna Müller"),
                                  QStringLiteral("Bob O'Brien")}));
    EXPECT_EQ(Ids, (QList<int>{1, 2, 3}));
    EXPECT_EQ(Builder->SelectedLine(), First);

    ASSERT_TRUE(Drop(Builder->lvUsers->viewport(), QPoint(10, 10), Participant));
    EXPECT_EQ(Query().GetCondition(First)->Caption(), QString::fromUtf8("Anna Müller"));
    EXPECT_EQ(Query().FindKind(KindSet({ckValue}), 0, First + 2), -1);
    // The user list takes nothing else.
    QMimeData Text;
    Text.setText(QStringLiteral("Carl"));
    EXPECT_FALSE(Drop(Builder->lvUsers->viewport(), QPoint(10, 10), Text));
}

TEST_F(QueryLinesTest, UpAndDownMoveTheParticipantAndTheOrderSurvivesAnInsertion) {
    Select(0);
    AddUsers(
        {QString::fromUtf8("Anna Müller"), QStringLiteral("Bob O'Brien"), QStringLiteral("Carl")});
    const int First = LineOf(*Builder, ckValue);
    Select(First);
    EXPECT_FALSE(Builder->aUserUp->isEnabled());
    EXPECT_TRUE(Builder->aUserDown->isEnabled());
    Select(First + 2);
    EXPECT_TRUE(Builder->aUserUp->isEnabled());
    EXPECT_FALSE(Builder->aUserDown->isEnabled());
    Builder->aUserUp->trigger();
    EXPECT_EQ(Builder->SelectedLine(), First + 1);
    // A later insertion after the header keeps the order the operator made.
    Select(LineOf(*Builder, ckParticipants));
    AddUsers({QStringLiteral("Dora")});
    QStringList Names;
    for (int I = First; I < First + 4; ++I)
        Names.append(Query().GetCondition(I)->Caption());
    EXPECT_EQ(Names, (QStringList{QStringLiteral("Dora"), QString::fromUtf8("Anna Müller"),
                                  QStringLiteral("Carl"), QStringLiteral("Bob O'Brien")}));
    Select(First + 3);
    Builder->aUserDown->trigger();
    EXPECT_EQ(Builder->SelectedLine(), First + 3);
    QCoreApplication::processEvents();
    Builder->aUserDown->trigger();
    EXPECT_EQ(Query().GetCondition(First + 3)->Caption(), QStringLiteral("Bob O'Brien"));
}

} // namespace
