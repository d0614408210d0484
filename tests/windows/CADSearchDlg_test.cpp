// The call attached data dialog against the reference archive server: the
// field names come from the archive, the operators carry their criterion
// types, OK follows the choices, and the wait for the names ends however
// the job ends.
#include "LiveArchive.h"

#include "CADSearchDlg.h"
#include "ModalDriver.h"

#include <QComboBox>
#include <QLineEdit>
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
};

TEST_F(CADSearchDlgTest, FieldNamesComeFromTheArchiveUnchangedAndNoneIsChosen) {
    TdlgCADSearch Dialog(nullptr);
    Dialog.FetchFieldNames();
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
    Dialog.FetchFieldNames();
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
    WhenModal([](QWidget* Top) {
        auto* Dialog = qobject_cast<TdlgCADSearch*>(Top);
        ASSERT_NE(Dialog, nullptr);
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
    Dialog.FetchFieldNames();
    EXPECT_FALSE(Dialog.Busy());
    EXPECT_EQ(Dialog.cbFieldName->count(), 0);
    EXPECT_FALSE(Dialog.cbFieldName->toolTip().isEmpty());
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(DBConnection->JobCount(), 0);
}

TEST_F(CADSearchDlgTest, AJobDroppedWithoutItsLastResultEndsTheWaitToo) {
    Connection->SetConnected(true);
    // Another window's query waits for its results and is never freed, so
    // the field names wait behind it until the connection goes.
    QObject Other;
    ASSERT_NE(TVQArcCache::Create(TWindowHandle(&Other), opSQLExecute,
                                  QStringLiteral("SELECT Media_ID FROM media")),
              nullptr);
    QTimer::singleShot(300, [] { DBConnection->SetConnected(false); });
    TdlgCADSearch Dialog(nullptr);
    Dialog.FetchFieldNames();
    EXPECT_FALSE(Dialog.Busy());
    EXPECT_EQ(Dialog.cbFieldName->count(), 0);
    EXPECT_FALSE(Dialog.btnOK->isEnabled());
    EXPECT_EQ(DBConnection->JobCount(), 0);
}

} // namespace
