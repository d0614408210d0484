#include "ViewerTestSupport.h"

#include "AboutDlg.h"
#include "VersionInfo.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>

TEST(VersionInfo, ProgramDataCarriesTheProjectVersion) {
    ASSERT_NE(ProgramVersionData(), nullptr);
    EXPECT_EQ(GetVersionInfoValue("ProductVersion"), "1.0.0");
    EXPECT_EQ(GetVersionInfoValue("ProductName"), "VQarchive Viewer");
}

TEST(VersionInfo, MissingDataOrKeyReadsNotAvailable) {
    EXPECT_EQ(GetVersionInfoValue(nullptr, "ProductVersion"), "N/A");
    EXPECT_EQ(GetVersionInfoValue("NoSuchKey"), "N/A");
    TVersionData NoTranslation;
    NoTranslation.Strings.insert("\\StringFileInfo\\040904b0\\ProductVersion", "9.9");
    EXPECT_EQ(GetVersionInfoValue(&NoTranslation, "ProductVersion"), "N/A");
}

TEST(VersionInfo, ValueIsLookedUpUnderTheFirstTranslation) {
    TVersionData Data;
    Data.Translations.append({0x0407, 0x04e4});
    Data.Translations.append({0x0409, 0x04b0});
    Data.Strings.insert("\\StringFileInfo\\040904b0\\ProductVersion", "english");
    EXPECT_EQ(GetVersionInfoValue(&Data, "ProductVersion"), "N/A");
    Data.Strings.insert("\\StringFileInfo\\040704e4\\ProductVersion", "2.5");
    EXPECT_EQ(GetVersionInfoValue(&Data, "ProductVersion"), "2.5");
}

TEST(AboutDialog, ShowsVersionAndLegalNotice) {
    QWidget Owner;
    auto* Dialog = new TdlgAbout(&Owner);
    EXPECT_EQ(Dialog->windowTitle(), "About");
    EXPECT_EQ(Dialog->Version->text(), "Version 1.0.0");
    EXPECT_EQ(Dialog->LegalNotice->text(), GetVersionInfoValue("LegalCopyright"));
    EXPECT_NE(Dialog->LegalNotice->text(), "N/A");
    EXPECT_TRUE(Dialog->ProductName->font().italic());
    EXPECT_FALSE(Dialog->Picture->pixmap().isNull());
    EXPECT_TRUE(Dialog->OKButton->isDefault());
}

TEST(AboutDialog, FreesItselfWhenClosed) {
    QWidget Owner;
    QPointer<TdlgAbout> Dialog(new TdlgAbout(&Owner));
    Dialog->show();
    Dialog->OKButton->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(Dialog.isNull());
}
