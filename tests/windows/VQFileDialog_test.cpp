// The seams through which window tests answer file dialogs, input boxes and
// the desktop's "open" instead of a person.
#include "VQDesktop.h"
#include "VQFileDialog.h"
#include "VQInputBox.h"
#include "ViewerTestSupport.h"

#include "ModalDriver.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

TEST(VQFileDialogTest, FormFiltersBecomeQtNameFilters) {
    EXPECT_EQ(TVQFileDialog::NameFilters(QStringLiteral("mp3 audio|*.mp3")),
              QStringList{QStringLiteral("mp3 audio (*.mp3)")});
    EXPECT_EQ(TVQFileDialog::NameFilters(
                  QStringLiteral("Reach Text Format files (*.rtf)|*.rtf|Text Files (*.txt)|*.txt")),
              (QStringList{QStringLiteral("Reach Text Format files (*.rtf)"),
                           QStringLiteral("Text Files (*.txt)")}));
    EXPECT_EQ(TVQFileDialog::NameFilters(QStringLiteral("Media|*.wav;*.mp3")),
              QStringList{QStringLiteral("Media (*.wav *.mp3)")});
    // A trailing description without patterns is not a filter.
    EXPECT_TRUE(TVQFileDialog::NameFilters(QStringLiteral("Lonely")).isEmpty());
}

TEST(VQFileDialogTest, QueuedAnswersAreTakenInOrderAndRecordTheRequest) {
    TVQFileDialog::ClearAsked();
    TVQFileDialog::SetNextAnswer(QStringLiteral("/tmp/a.vqq"));
    TVQFileDialog::SetNextAnswer(QStringLiteral("/tmp/b.txt"), 2);
    TVQFileDialog::SetNextAnswer(QString());

    int Index = 1;
    TFileDialogRequest Open{
        false, QStringLiteral("Load query"), QStringLiteral("Q|*.vqq"), QStringLiteral("vqq"), {}};
    EXPECT_EQ(TVQFileDialog::GetOpenFileName(nullptr, Open, &Index), QStringLiteral("/tmp/a.vqq"));
    EXPECT_EQ(Index, 1);
    TFileDialogRequest Save{false, QStringLiteral("Export"), QStringLiteral("R|*.rtf|T|*.txt"),
                            QStringLiteral("rtf"), QStringLiteral("proposed")};
    EXPECT_EQ(TVQFileDialog::GetSaveFileName(nullptr, Save, &Index), QStringLiteral("/tmp/b.txt"));
    EXPECT_EQ(Index, 2);
    // A cancel leaves the filter index alone.
    EXPECT_TRUE(TVQFileDialog::GetSaveFileName(nullptr, Save, &Index).isEmpty());
    EXPECT_EQ(Index, 2);

    const auto Asked = TVQFileDialog::Asked();
    ASSERT_EQ(Asked.size(), 3);
    EXPECT_FALSE(Asked.at(0).Save);
    EXPECT_EQ(Asked.at(0).Title, QStringLiteral("Load query"));
    EXPECT_TRUE(Asked.at(1).Save);
    EXPECT_EQ(Asked.at(1).FileName, QStringLiteral("proposed"));
    TVQFileDialog::ClearAsked();
}

TEST(VQFileDialogTest, ANameTypedWithoutExtensionTakesTheChosenFiltersOne) {
    // The real dialog, answered as a person would: "Text Files" picked,
    // "notes" typed, Enter.
    QTemporaryDir Dir;
    TVQFileDialog::ClearAsked();
    const TFileDialogRequest Save{
        false, QStringLiteral("Save As"),
        QStringLiteral("Reach Text Format files (*.rtf)|*.rtf|Text Files (*.txt)|*.txt"),
        QStringLiteral("*.rtf"), Dir.path()};
    viewer_test::WhenModal([](QWidget* Top) {
        auto* Types = Top->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        auto* Name = Top->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (Types == nullptr || Name == nullptr) {
            ADD_FAILURE() << "not the file dialog's own widgets";
            Top->close();
            return;
        }
        QTest::keyClick(Types, Qt::Key_Down);
        Name->setText(QStringLiteral("notes"));
        QTest::keyClick(Name, Qt::Key_Return);
    });
    int Index = 1;
    EXPECT_EQ(TVQFileDialog::GetSaveFileName(nullptr, Save, &Index),
              Dir.filePath(QStringLiteral("notes.txt")));
    EXPECT_EQ(Index, 2);
}

TEST(VQInputBoxTest, AnswersAndCancelsFromTheSeam) {
    TVQInputBox::ClearPrompts();
    TVQInputBox::SetNextAnswer(QStringLiteral("+1 555 0100"));
    TVQInputBox::SetNextAnswer(std::nullopt);
    QString Value = QStringLiteral("start");
    EXPECT_TRUE(TVQInputBox::InputQuery(nullptr, QStringLiteral("C"), QStringLiteral("P1"), Value));
    EXPECT_EQ(Value, QStringLiteral("+1 555 0100"));
    EXPECT_FALSE(
        TVQInputBox::InputQuery(nullptr, QStringLiteral("C"), QStringLiteral("P2"), Value));
    EXPECT_EQ(Value, QStringLiteral("+1 555 0100"));
    EXPECT_EQ(TVQInputBox::Prompts(), (QStringList{QStringLiteral("P1"), QStringLiteral("P2")}));
    TVQInputBox::ClearPrompts();
}

TEST(VQDesktopTest, TheOpenerSeesEveryRequestAndDecidesTheResult) {
    TVQDesktop::ClearOpened();
    QList<QUrl> Seen;
    TVQDesktop::SetOpener([&](const QUrl& Url) {
        Seen.append(Url);
        return Url.scheme() == QLatin1String("file");
    });
    EXPECT_TRUE(TVQDesktop::OpenFile(QStringLiteral("/tmp/with blank/Fax.pdf")));
    EXPECT_FALSE(TVQDesktop::Open(QUrl(QStringLiteral("https://example.org/x"))));
    ASSERT_EQ(Seen.size(), 2);
    EXPECT_EQ(Seen.at(0).toLocalFile(), QStringLiteral("/tmp/with blank/Fax.pdf"));
    EXPECT_EQ(TVQDesktop::Opened(), Seen);
    TVQDesktop::SetOpener(nullptr);
    TVQDesktop::ClearOpened();
}
