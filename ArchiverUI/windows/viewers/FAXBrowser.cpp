#include "FAXBrowser.h"

#include "CommonData.h"
#include "FaxPages.h"
#include "Manual.h"
#include "VQDesktop.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "ViewerFiles.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char* PortalService = "org.freedesktop.portal.Desktop";

// The folder of a fax copy: the temporary file's name without its
// extension, as a folder beside it.
QString FaxFolder(const QString& TempFile) {
    const QFileInfo Info(TempFile);
    const QString Base =
        Info.suffix().isEmpty()
            ? Info.fileName()
            : Info.fileName().left(Info.fileName().size() - Info.suffix().size() - 1);
    return Info.path() + QLatin1Char('/') + Base + QLatin1Char('/');
}

} // namespace

TfrmFaxBrowser::TfrmFaxBrowser(QWidget* Owner) : QWidget(Owner) {
    setObjectName(QStringLiteral("frmFaxBrowser"));
    SetManualPage(this, QStringLiteral("fax-browser"));
    setWindowTitle(QStringLiteral("Fax preview"));
    setAccessibleName(QStringLiteral("Fax preview"));

    aOpen = new QAction(QStringLiteral("&Open"), this);
    aOpen->setObjectName(QStringLiteral("aOpen"));
    aOpen->setToolTip(QStringLiteral("Open file"));
    if (CommonData != nullptr)
        aOpen->setIcon(CommonData->ActionGlyphs.Icon(46));
    aAdditional = new QAction(QStringLiteral("&Additional"), this);
    aAdditional->setObjectName(QStringLiteral("aAdditional"));
    aAdditional->setToolTip(QStringLiteral("More actions for the fax"));
    addAction(aOpen);
    addAction(aAdditional);
    connect(aOpen, &QAction::triggered, this, &TfrmFaxBrowser::OpenFax);
    connect(aAdditional, &QAction::triggered, this, [this] {
        ShowFileMenu(btnAdditional->mapToGlobal(btnAdditional->rect().bottomRight()));
    });

    btnOpen = new QToolButton(this);
    btnOpen->setObjectName(QStringLiteral("btnOpen"));
    btnOpen->setDefaultAction(aOpen);
    btnOpen->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    btnOpen->setAccessibleName(QStringLiteral("Open"));
    btnOpen->setFocusPolicy(Qt::StrongFocus);
    btnAdditional = new QToolButton(this);
    btnAdditional->setObjectName(QStringLiteral("btnAdditional"));
    btnAdditional->setDefaultAction(aAdditional);
    btnAdditional->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btnAdditional->setAccessibleName(QStringLiteral("Additional"));
    btnAdditional->setFocusPolicy(Qt::StrongFocus);

    lbDownload = new QLabel(QStringLiteral("0"), this);
    lbDownload->setObjectName(QStringLiteral("lbDownload"));
    lbDownload->setWordWrap(true);
    lbDownload->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbDownload->setAccessibleDescription(QStringLiteral("Download progress"));

    lbParticipants = new QLabel(this);
    lbParticipants->setObjectName(QStringLiteral("lbParticipants"));
    lbParticipants->setWordWrap(true);
    lbParticipants->setAccessibleDescription(QStringLiteral("Record"));
    {
        QFont F = lbParticipants->font();
        F.setBold(true);
        lbParticipants->setFont(F);
        QPalette P = lbParticipants->palette();
        P.setColor(QPalette::WindowText, QColor(0, 0, 128));
        lbParticipants->setPalette(P);
    }

    Pages = new TFaxPages(this);
    Pages->setVisible(false);

    auto* Bar = new QHBoxLayout;
    Bar->setSpacing(4);
    Bar->addWidget(btnOpen);
    Bar->addWidget(btnAdditional);
    Bar->addWidget(lbDownload, 1);
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(6, 6, 6, 6);
    Layout->addLayout(Bar);
    Layout->addWidget(lbParticipants);
    Layout->addWidget(Pages, 1);
    Layout->addStretch(0);
    UpdateActions();
}

TfrmFaxBrowser::~TfrmFaxBrowser() {
    ReleaseFile();
}

QString TfrmFaxBrowser::FAX() const {
    return FFax;
}

void TfrmFaxBrowser::UpdateActions() {
    const bool HaveFax = !FFax.isEmpty();
    aOpen->setEnabled(HaveFax);
    aAdditional->setEnabled(HaveFax);
    Pages->setVisible(HaveFax);
}

void TfrmFaxBrowser::SetFax(const QString& Value, const QString& FileExtension) {
    ReleaseFile();
    const QString Folder = FaxFolder(Value);
    // The extension comes from the archive's data and becomes part of a
    // file name.
    const QString Ext = viewer_files::SafeExtension(FileExtension);
    QString Error;
    bool Created = false;
    const QString Copy = Folder + QStringLiteral("Fax.") + Ext;
    if (!viewer_files::MakePrivateFolder(Folder, &Error, &Created) ||
        !viewer_files::CopyPrivateFile(Value, Copy, &Error)) {
        if (Created)
            viewer_files::RemoveEmptyFolder(Folder);
        lbDownload->setText(QStringLiteral("The fax could not be copied. %1").arg(Error));
        UpdateActions();
        return;
    }
    FFax = Copy;
    UpdateActions();
    Pages->Load(FFax, Ext);
    if (FAutoOpen) {
        FAutoOpen = false;
        OpenFax();
    }
}

void TfrmFaxBrowser::OpenFax() {
    if (!FFax.isEmpty())
        TVQDesktop::OpenFile(FFax);
}

void TfrmFaxBrowser::ReleaseFile() {
    if (FFax.isEmpty())
        return;
    const QString Folder = QFileInfo(FFax).path();
    viewer_files::RemoveFile(FFax);
    viewer_files::RemoveEmptyFolder(Folder);
    FFax.clear();
    Pages->Clear();
    if (FFileMenu)
        FFileMenu->close();
    UpdateActions();
}

void TfrmFaxBrowser::Clear() {
    lbDownload->clear();
    ReleaseFile();
}

bool TfrmFaxBrowser::AutoOpen() const {
    return FAutoOpen;
}

void TfrmFaxBrowser::SetAutoOpen(bool Value) {
    FAutoOpen = Value;
    if (Value && OnGetFax)
        OnGetFax(this);
}

void TfrmFaxBrowser::SetProgressCaption(const QString& Value) {
    lbDownload->setText(Value);
}

QString TfrmFaxBrowser::ProgressCaption() const {
    return lbDownload->text();
}

bool TfrmFaxBrowser::DesktopOffersChooser() {
    const QDBusConnection Bus = QDBusConnection::sessionBus();
    return Bus.isConnected() && Bus.interface() != nullptr &&
           Bus.interface()->isServiceRegistered(QString::fromLatin1(PortalService)).value();
}

void TfrmFaxBrowser::OpenWithChooser() {
    if (FFax.isEmpty())
        return;
    const int Fd = ::open(QFile::encodeName(FFax).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (Fd < 0)
        return;
    // The descriptor object keeps its own copy.
    const QDBusUnixFileDescriptor Descriptor(Fd);
    ::close(Fd);
    QDBusMessage Call = QDBusMessage::createMethodCall(
        QString::fromLatin1(PortalService), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenFile"));
    QVariantMap Options;
    Options.insert(QStringLiteral("ask"), true);
    Call << QString() << QVariant::fromValue(Descriptor) << Options;
    QDBusConnection::sessionBus().asyncCall(Call);
}

void TfrmFaxBrowser::SaveCopy() {
    if (FFax.isEmpty())
        return;
    const QString Ext = QFileInfo(FFax).suffix();
    TFileDialogRequest Request;
    Request.Title = QStringLiteral("Save a Copy As");
    Request.Filter = QStringLiteral("%1 documents|*.%2|All files|*").arg(Ext.toUpper(), Ext);
    Request.DefaultExt = Ext;
    Request.FileName = QStringLiteral("Fax.") + Ext;
    const QString Target = TVQFileDialog::GetSaveFileName(this, Request);
    if (Target.isEmpty())
        return;
    QString Error;
    if (!viewer_files::CopyToUserFile(FFax, Target, &Error))
        TVQMessageBox::ShowError(this, QStringLiteral("The fax was not saved. %1").arg(Error));
}

void TfrmFaxBrowser::ShowFileMenu(const QPoint& Global) {
    if (FFax.isEmpty())
        return;
    if (FFileMenu)
        FFileMenu->deleteLater();
    auto* Menu = new QMenu(this);
    Menu->setObjectName(QStringLiteral("FileMenu"));
    Menu->setAttribute(Qt::WA_DeleteOnClose);
    const QString Fax = FFax;
    QAction* Open = Menu->addAction(QStringLiteral("&Open"), this, &TfrmFaxBrowser::OpenFax);
    Open->setObjectName(QStringLiteral("miOpen"));
    Menu->setDefaultAction(Open);
    if (DesktopOffersChooser()) {
        Menu->addAction(QStringLiteral("Open &With..."), this, &TfrmFaxBrowser::OpenWithChooser)
            ->setObjectName(QStringLiteral("miOpenWith"));
    }
    Menu->addAction(QStringLiteral("Open Containing &Folder"), this,
                    [Fax] { TVQDesktop::Open(QUrl::fromLocalFile(QFileInfo(Fax).path())); })
        ->setObjectName(QStringLiteral("miOpenFolder"));
    Menu->addSeparator();
    Menu->addAction(QStringLiteral("&Copy Path"), this,
                    [Fax] {
                        auto* Data = new QMimeData;
                        Data->setText(Fax);
                        Data->setUrls({QUrl::fromLocalFile(Fax)});
                        QGuiApplication::clipboard()->setMimeData(Data);
                    })
        ->setObjectName(QStringLiteral("miCopyPath"));
    Menu->addAction(QStringLiteral("&Save a Copy As..."), this, &TfrmFaxBrowser::SaveCopy)
        ->setObjectName(QStringLiteral("miSaveCopy"));
    FFileMenu = Menu;
    Menu->popup(Global);
}

void TfrmFaxBrowser::contextMenuEvent(QContextMenuEvent* Event) {
    Event->accept();
    if (Event->reason() == QContextMenuEvent::Keyboard)
        ShowFileMenu(lbParticipants->mapToGlobal(QPoint(0, 0)));
    else
        ShowFileMenu(Event->globalPos());
}

void TfrmFaxBrowser::hideEvent(QHideEvent* Event) {
    QWidget::hideEvent(Event);
    if (isHidden())
        ReleaseFile();
}

void TfrmFaxBrowser::closeEvent(QCloseEvent* Event) {
    Event->accept();
    if (OnClose)
        OnClose(this);
}
