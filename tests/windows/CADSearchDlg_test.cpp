// The call attached data dialog against the reference archive server: the
// field names come from the archive, the operators carry their criterion
// types, OK follows the choices, and the wait for the names ends however
// the job ends.
#include "LiveArchive.h"

#include "CADSearchDlg.h"
#include "JobHandle.h"
#include "ModalDriver.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace {

using viewer_test::LiveArchiveTest;
using viewer_test::WhenModal;

QStringList Items(const QComboBox* Box) {
    QStringList Result;
    for (int I = 0; I < Box->count(); ++I)
        Result.append(Box->itemText(I));
    return Result;
}

class CADSearchDlgTest : public LiveArchiveTest {
protected:
    void SetUp() override {
        LiveArchiveTest::SetUp();
        StartServer(false);
    }
    // Starts the names' load and lets it run to its end.
    void Fetch(TdlgCADSearch& Dialog) {
        Dialog.FetchFieldNames();
        ASSERT_TRUE(PumpUntil([&] { return !Dialog.Busy(); }));
    }
};

TEST_F(CADSearchDlgTest, FieldNamesComeFromTheArchiveUnchangedAndNoneIsChosen) {
    TdlgCADSearch Dialog(nullptr);
    Fetch(Dialog);
    EXPECT_FALSE(Dialog.Busy());
    // The wait is over: the job ended and the controller let it go.
    EXPECT_EQ(DBConnection->JobCount(), 0);
    const QStringList Names = Items(Dialog.cbFieldName);
    EXPECT_EQ(Names.size(), 4);
    for (const char* Name : {"Queue", "O'Reilly key", "Ärger", "back\\slash"})
        EXPECT_TRUE(Names.contains(QString::fromUtf8(Name))) << Name;
    EXPECT_EQ(Dialog.cbFieldName->currentIndex(), -1);
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join(QLatin1Char('\n')));
}

TEST_F(CADSearchDlgTest, OperatorsInOrderWithTheirTypesEqualsFirst) {
    TdlgCADSearch Dialog(nullptr);
    EXPECT_EQ(Items(Dialog.cbOperators),
              (QStringList{QStringLiteral("Equals"), QStringLiteral("Contains"),
                           QStringLiteral("Starts with"), QStringLiteral("Ends with")}));
    for (int I = 0; I < 4; ++I)
        EXPECT_EQ(Dialog.cbOperators->itemData(I).toInt(), I);
    EXPECT_EQ(Dialog.cbOperators->currentIndex(), 0);
    EXPECT_EQ(Dialog.cbFieldName->accessibleName(), QStringLiteral("Field Name"));
    EXPECT_EQ(Dialog.cbOperators->accessibleName(), QStringLiteral("Operator"));
    EXPECT_EQ(Dialog.edValue->accessibleName(), QStringLiteral("Value"));
}

TEST_F(CADSearchDlgTest, OKOnlyWithAFieldAnOperatorAndAValueThatIsNotBlank) {
    TdlgCADSearch Dialog(nullptr);
    Fetch(Dialog);
    Dialog.cbFieldName->setCurrentIndex(Dialog.cbFieldName->findText(QStringLiteral("Queue")));
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    QTest::keyClicks(Dialog.edValue, QStringLiteral("   "));
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    QTest::keyClicks(Dialog.edValue, QStringLiteral("x"));
    EXPECT_TRUE(Dialog.btnOK->isEnabled());
    Dialog.cbOperators->setCurrentIndex(-1);
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    Dialog.cbOperators->setCurrentIndex(2);
    EXPECT_TRUE(Dialog.btnOK->isEnabled());
    const TCADSearchCriteria Chosen = Dialog.Criteria();
    EXPECT_EQ(Chosen.Name, QStringLiteral("Queue"));
    EXPECT_EQ(Chosen.SearchType, cstStartsWith);
    EXPECT_EQ(Chosen.Value, QStringLiteral("   x"));
}

TEST_F(CADSearchDlgTest, ACriterionWhoseFieldIsGoneOpensWithNoFieldAndOKDisabled) {
    TCADSearchCriteria Criteria{QStringLiteral("Vanished"), QStringLiteral("1"), cstContains};
    bool Checked = false;
    WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return !Dialog->Busy(); }));
        Checked = true;
        EXPECT_EQ(Dialog->windowTitle(), QStringLiteral("Call Attached Data"));
        EXPECT_EQ(Dialog->cbFieldName->currentIndex(), -1);
        EXPECT_EQ(Dialog->cbOperators->currentText(), QStringLiteral("Contains"));
        EXPECT_EQ(Dialog->edValue->text(), QStringLiteral("1"));
        EXPECT_FALSE(Dialog->btnOK->isEnabled());
        Dialog->cbFieldName->setCurrentIndex(
            Dialog->cbFieldName->findText(QStringLiteral("O'Reilly key")));
        EXPECT_TRUE(Dialog->btnOK->isEnabled());
        QTest::mouseClick(Dialog->btnOK, Qt::LeftButton);
    });
    ASSERT_TRUE(EditCADCriteria(nullptr, QStringLiteral("Call Attached Data"), Criteria));
    EXPECT_TRUE(Checked);
    EXPECT_EQ(Criteria.Name, QStringLiteral("O'Reilly key"));
    EXPECT_EQ(Criteria.SearchType, cstContains);
    EXPECT_EQ(Criteria.Value, QStringLiteral("1"));
}

TEST_F(CADSearchDlgTest, AKnownFieldIsSelectedAndCancelKeepsTheCriterion) {
    TCADSearchCriteria Criteria{QString::fromUtf8("Ärger"), QStringLiteral("ja"), cstEndsWith};
    WhenModal([this](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
        ASSERT_TRUE(PumpUntil([&] { return !Dialog->Busy(); }));
        EXPECT_EQ(Dialog->cbFieldName->currentText(), QString::fromUtf8("Ärger"));
        EXPECT_EQ(Dialog->cbOperators->currentText(), QStringLiteral("Ends with"));
        EXPECT_TRUE(Dialog->btnOK->isEnabled());
        Dialog->edValue->setText(QStringLiteral("nein"));
        QTest::keyClick(Dialog, Qt::Key_Escape);
    });
    EXPECT_FALSE(EditCADCriteria(nullptr, QStringLiteral("Call Attached Data"), Criteria));
    EXPECT_EQ(Criteria.Value, QStringLiteral("ja"));
}

TEST_F(CADSearchDlgTest, AnArchiveWithoutFieldNamesEndsTheWaitWithAnEmptyList) {
    // The table the names come from is gone: the server answers with an
    // error instead of rows.
    ASSERT_TRUE(viewer_test::ChangeArchive(Archive, "ALTER TABLE cad RENAME TO cad_gone"));
    TdlgCADSearch Dialog(nullptr);
    Fetch(Dialog);
    EXPECT_FALSE(Dialog.Busy());
    EXPECT_EQ(Dialog.cbFieldName->count(), 0);
    EXPECT_FALSE(Dialog.cbFieldName->toolTip().isEmpty());
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(DBConnection->JobCount(), 0);
}

TEST_F(CADSearchDlgTest, AJobDroppedWhileItWaitsEndsTheLoadAndANameCanBeTyped) {
    Connection->SetConnected(true);
    // Another window's query waits for its results and is never freed, so
    // the field names wait behind it until the connection goes.
    QObject Other;
    ASSERT_NE(TVQArcCache::Create(TWindowHandle(&Other), opSQLExecute,
                                  QStringLiteral("SELECT Media_ID FROM media")),
              nullptr);
    TdlgCADSearch Dialog(nullptr);
    Dialog.FetchFieldNames();
    ASSERT_TRUE(Dialog.Busy());
    EXPECT_EQ(Dialog.lblStatus->text(), QStringLiteral("Waiting for the server"));
    DBConnection->SetConnected(false);
    ASSERT_TRUE(PumpUntil([&] { return !Dialog.Busy(); }));
    EXPECT_EQ(Dialog.cbFieldName->count(), 0);
    EXPECT_TRUE(Dialog.lblStatus->text().startsWith(
        QStringLiteral("The field names could not be loaded: ")));
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(DBConnection->JobCount(), 0);
    QTest::keyClicks(Dialog.cbFieldName, QStringLiteral("Queue"));
    QTest::keyClicks(Dialog.edValue, QStringLiteral("x"));
    EXPECT_TRUE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(Dialog.Criteria().Name, QStringLiteral("Queue"));
}

// A server that takes a minute over every answer.
class CADSearchDlgSilentTest : public CADSearchDlgTest {
protected:
    void SetUp() override {
        LiveArchiveTest::SetUp();
        StartServer(false, 0, {QStringLiteral("--fault-batch-delay"), QStringLiteral("1min")});
    }
};

TEST_F(CADSearchDlgSilentTest, TheLoadShowsAndEscapeClosesTheDialogAndEndsTheJob) {
    TCADSearchCriteria Criteria{QStringLiteral("Queue"), QStringLiteral("1"), cstEqual};
    const auto Ran = WhenModal([&](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
        EXPECT_TRUE(Dialog->Busy());
        EXPECT_TRUE(Dialog->pbLoading->isVisible());
        EXPECT_TRUE(Dialog->lblStatus->isVisible());
        EXPECT_FALSE(Dialog->cbFieldName->isEnabled());
        EXPECT_EQ(DBConnection->JobCount(), 1);
        QTest::keyClick(Dialog, Qt::Key_Escape);
    });
    EXPECT_FALSE(EditCADCriteria(nullptr, QStringLiteral("Call Attached Data"), Criteria));
    EXPECT_TRUE(*Ran);
    EXPECT_EQ(DBConnection->JobCount(), 0);
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join(QLatin1Char('\n')));
}

TEST_F(CADSearchDlgSilentTest, NoAnswerWithinTheBoundEndsTheLoadWithOneErrorInTheDialog) {
    TdlgCADSearch Dialog(nullptr);
    Dialog.NamesJob()->SetAnswerLimit(200);
    Dialog.FetchFieldNames();
    Dialog.SetCriteria({QStringLiteral("Queue"), QStringLiteral("1"), cstContains});
    ASSERT_TRUE(PumpUntil([&] { return !Dialog.Busy(); }));
    EXPECT_EQ(Dialog.lblStatus->text(),
              QStringLiteral("The field names could not be loaded: No answer from the server "
                             "within 0.2 s"));
    EXPECT_FALSE(Dialog.pbLoading->isVisibleTo(&Dialog));
    EXPECT_EQ(DBConnection->JobCount(), 0);
    EXPECT_TRUE(Errors.isEmpty()) << qPrintable(Errors.join(QLatin1Char('\n')));
    // The criterion's name stands, typed, and can be confirmed.
    EXPECT_TRUE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(Dialog.Criteria().Name, QStringLiteral("Queue"));
}

} // namespace
