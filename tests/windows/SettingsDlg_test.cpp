#include "ViewerTestSupport.h"

#include "DataCache.h"
#include "Main.h"
#include "SettingsDlg.h"
#include "SettingsStore.h"
#include "VQMessageBox.h"
#include "VQSpinEdit.h"

#include "Test_Archive_Server.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include <memory>

namespace {

// Nothing listens on this loopback port in a test run, so a connection to
// it fails at once.
constexpr quint32 ClosedPort = 1;

class SettingsDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        QFile::remove(SettingsFilePath());
        TVQMessageBox::SetAnswerAutomatically(true);
        TVQMessageBox::ClearShown();
        Connection = std::make_unique<TDBConnection>();
        Main = std::make_unique<TfrmMain>();
    }
    void TearDown() override {
        Main.reset();
        Connection.reset();
        TVQMessageBox::SetAnswerAutomatically(false);
    }

    // A dialog shown without its own event loop, so the test can act on it.
    TdlgSettings* Open() {
        auto* Dialog = new TdlgSettings(Main.get());
        Dialog->show();
        return Dialog;
    }

    static QStringList Items(const QComboBox* Box) {
        QStringList Result;
        for (int I = 0; I < Box->count(); ++I)
            Result.append(Box->itemText(I));
        return Result;
    }

    static void Enter(TdlgSettings* Dialog, const QString& Host, quint32 Port,
                      const QString& Password) {
        Dialog->cbUrl->setEditText(Host);
        Dialog->edPort->SetText(QString::number(Port));
        Dialog->edPassword->setText(Password);
    }

    std::unique_ptr<TDBConnection> Connection;
    std::unique_ptr<TfrmMain> Main;
};

} // namespace

// --- Controls and their start values ---------------------------------------

TEST_F(SettingsDialogTest, ControlsHaveTheirLimits) {
    QPointer<TdlgSettings> Dialog(Open());
    EXPECT_EQ(Dialog->windowTitle(), "Settings");
    EXPECT_TRUE(Dialog->cbUrl->isEditable());
    EXPECT_EQ(Dialog->cbUrl->lineEdit()->maxLength(), 256);
    EXPECT_EQ(Dialog->edPort->MinValue(), 0);
    EXPECT_EQ(Dialog->edPort->MaxValue(), 65535);
    EXPECT_EQ(Dialog->edPort->MaxLength(), 5);
    EXPECT_EQ(Dialog->seMaxRecords->MinValue(), 100);
    EXPECT_EQ(Dialog->seMaxRecords->MaxValue(), 100000);
    EXPECT_EQ(Dialog->seMaxRecords->Increment(), 100);
    EXPECT_EQ(Dialog->seMaxRecords->MaxLength(), 6);
    EXPECT_EQ(Dialog->edPassword->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(Dialog->OKBtn->isDefault());
    EXPECT_TRUE(Dialog->HelpBtn->isEnabled());
    EXPECT_EQ(Dialog->lblWarning->text(), "Warning: URL is empty or consists unsafe characters");
    EXPECT_TRUE(Dialog->lblWarning->font().bold());
    Dialog->close();
}

TEST_F(SettingsDialogTest, StartsWithTheControllersValuesAndTheHistory) {
    ASSERT_TRUE(WriteHistory(hkAddress, {"alpha", "beta"}));
    Connection->SetHost("gamma");
    Connection->SetPort(1234);
    QPointer<TdlgSettings> Dialog(Open());
    EXPECT_EQ(Items(Dialog->cbUrl), QStringList({"alpha", "beta"}));
    EXPECT_EQ(Dialog->cbUrl->currentText(), "gamma");
    EXPECT_EQ(Dialog->edPort->Text(), "1234");
    EXPECT_EQ(Dialog->edPassword->text(), "pemrak");
    EXPECT_EQ(Dialog->seMaxRecords->Value(), 10000);
    EXPECT_FALSE(Dialog->lblWarning->isVisibleTo(Dialog));
    Dialog->close();
}

TEST_F(SettingsDialogTest, StoredPasswordAndLimitAreShown) {
    Connection->SetPassword("s3cret");
    Connection->SetMaxRecords(2500);
    QPointer<TdlgSettings> Dialog(Open());
    EXPECT_EQ(Dialog->edPassword->text(), "s3cret");
    EXPECT_EQ(Dialog->seMaxRecords->Value(), 2500);
    Dialog->close();
}

// --- The address check ------------------------------------------------------

TEST_F(SettingsDialogTest, AddressCheckAcceptsOnlySafeCharacters) {
    EXPECT_TRUE(TdlgSettings::IsValidAddress("archive_1.example.com"));
    EXPECT_TRUE(TdlgSettings::IsValidAddress("10.0.0.7"));
    EXPECT_FALSE(TdlgSettings::IsValidAddress(""));
    EXPECT_FALSE(TdlgSettings::IsValidAddress("archive-1"));
    EXPECT_FALSE(TdlgSettings::IsValidAddress("a b"));
    EXPECT_FALSE(TdlgSettings::IsValidAddress(QString::fromUtf8("h\u00e9te")));
    EXPECT_FALSE(TdlgSettings::IsValidAddress(QString::fromUtf8("\u0101rchive")));
    EXPECT_FALSE(TdlgSettings::IsValidAddress("host:80"));
}

TEST_F(SettingsDialogTest, HyphenShowsTheWarningButKeepsOkEnabled) {
    QPointer<TdlgSettings> Dialog(Open());
    Dialog->cbUrl->setEditText("archive-1");
    EXPECT_TRUE(Dialog->lblWarning->isVisible());
    EXPECT_TRUE(Dialog->OKBtn->isEnabled());
    Dialog->cbUrl->setEditText("archive1");
    EXPECT_FALSE(Dialog->lblWarning->isVisible());
    Dialog->close();
}

TEST_F(SettingsDialogTest, EmptyAddressDisablesOkAndShowsTheWarning) {
    QPointer<TdlgSettings> Dialog(Open());
    Dialog->cbUrl->setEditText("");
    EXPECT_FALSE(Dialog->OKBtn->isEnabled());
    EXPECT_TRUE(Dialog->lblWarning->isVisible());
    Dialog->close();
}

// --- Confirming ------------------------------------------------------------

TEST_F(SettingsDialogTest, FailingConnectionKeepsTheDialogOpenWithTheLibrarysText) {
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", ClosedPort, "pemrak");
    Dialog->OKBtn->click();
    EXPECT_EQ(TVQMessageBox::Shown(), QStringList({"Failed to connect"}));
    ASSERT_FALSE(Dialog.isNull());
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_NE(Dialog->result(), QDialog::Accepted);
    EXPECT_EQ(Dialog->cbUrl->currentText(), "127.0.0.1");
    EXPECT_EQ(Dialog->edPort->Text(), "1");
    // Nothing was stored.
    EXPECT_EQ(Connection->Host(), "localhost");
    EXPECT_EQ(Connection->Port(), 7456u);
    QStringList History;
    ReadHistory(hkAddress, History);
    EXPECT_TRUE(History.isEmpty());
    Dialog->close();
}

TEST_F(SettingsDialogTest, WrongPasswordIsReported) {
    Test_Archive_Server Server; // proves "secret"
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", Server.port(), "wrong");
    Dialog->OKBtn->click();
    EXPECT_EQ(TVQMessageBox::Shown(), QStringList({"Invalid password"}));
    EXPECT_TRUE(Dialog->isVisible());
    QString Stored;
    EXPECT_FALSE(ReadPassword(Stored));
    Dialog->close();
}

TEST_F(SettingsDialogTest, WorkingSettingsAreStoredAndTheDialogCloses) {
    Test_Archive_Server Server;
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", Server.port(), "secret");
    Dialog->seMaxRecords->SetValue(700);
    Dialog->OKBtn->click();
    EXPECT_TRUE(TVQMessageBox::Shown().isEmpty());
    EXPECT_EQ(Server.observed().initializes, 1);
    EXPECT_EQ(Connection->Host(), "127.0.0.1");
    EXPECT_EQ(Connection->Port(), Server.port());
    EXPECT_EQ(Connection->Password(), "secret");
    EXPECT_EQ(Connection->MaxRecords(), 700);
    // The test connection is not kept.
    EXPECT_FALSE(Connection->Connected());
    quint32 Port = 0;
    ASSERT_TRUE(ReadPort(Port));
    EXPECT_EQ(Port, Server.port());
    QStringList History;
    ReadHistory(hkAddress, History);
    EXPECT_EQ(History, QStringList({"127.0.0.1"}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Dialog.isNull());
}

TEST_F(SettingsDialogTest, KnownAddressMovesToTheTopWithoutADuplicate) {
    Test_Archive_Server Server;
    ASSERT_TRUE(WriteHistory(hkAddress, {"h1", "localhost", "h2"}));
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "LOCALHOST", Server.port(), "secret");
    ASSERT_TRUE(Dialog->ApplySettings());
    QStringList History;
    ReadHistory(hkAddress, History);
    EXPECT_EQ(History, QStringList({"localhost", "h1", "h2"}));
    Dialog->close();
}

TEST_F(SettingsDialogTest, SeventeenthAddressPushesTheOldestOut) {
    Test_Archive_Server Server;
    QStringList Full;
    for (int I = 1; I <= TdlgSettings::MaxHistory; ++I)
        Full.append(QStringLiteral("h%1").arg(I));
    ASSERT_TRUE(WriteHistory(hkAddress, Full));
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", Server.port(), "secret");
    ASSERT_TRUE(Dialog->ApplySettings());
    QStringList History;
    ReadHistory(hkAddress, History);
    ASSERT_EQ(History.size(), 16);
    EXPECT_EQ(History.first(), "127.0.0.1");
    EXPECT_EQ(History.last(), "h15");
    EXPECT_FALSE(History.contains("h16"));
    EXPECT_EQ(Items(Dialog->cbUrl), History);
    Dialog->close();
}

TEST_F(SettingsDialogTest, CancelChangesAndTestsNothing) {
    Test_Archive_Server Server;
    Connection->SetPassword("keep");
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", Server.port(), "secret");
    Dialog->seMaxRecords->SetValue(300);
    Dialog->CancelBtn->click();
    EXPECT_EQ(Dialog->result(), QDialog::Rejected);
    EXPECT_EQ(Server.observed().initializes, 0);
    EXPECT_EQ(Connection->Host(), "localhost");
    EXPECT_EQ(Connection->Port(), 7456u);
    EXPECT_EQ(Connection->Password(), "keep");
    EXPECT_EQ(Connection->MaxRecords(), 10000);
    QStringList History;
    ReadHistory(hkAddress, History);
    EXPECT_TRUE(History.isEmpty());
}

TEST_F(SettingsDialogTest, APreviousConnectionIsRestoredAfterTheTest) {
    Test_Archive_Server Server;
    Connection->SetHost("127.0.0.1");
    Connection->SetPort(Server.port());
    Connection->SetPassword("secret");
    ASSERT_TRUE(Connection->ConnectionOK());
    QPointer<TdlgSettings> Dialog(Open());
    Enter(Dialog, "127.0.0.1", ClosedPort, "secret");
    EXPECT_FALSE(Dialog->ApplySettings());
    EXPECT_EQ(TVQMessageBox::Shown(), QStringList({"Failed to connect"}));
    EXPECT_TRUE(Connection->Connected());
    EXPECT_EQ(Connection->Port(), Server.port());
    Dialog->close();
}

TEST_F(SettingsDialogTest, MenuItemOpensTheDialogModally) {
    // The dialog's own loop runs; close it from inside as an operator would.
    QPointer<TdlgSettings> Seen;
    QTimer::singleShot(0, [&] {
        Seen = Main->findChild<TdlgSettings*>();
        ASSERT_FALSE(Seen.isNull());
        EXPECT_TRUE(Seen->isModal());
        Seen->CancelBtn->click();
    });
    Main->miSettings->trigger();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Seen.isNull());
}
