#include "Main.h"

#include "AboutDlg.h"
#include "CommonData.h"
#include "DataCache.h"
#include "JobHandle.h"
#include "Manual.h"
#include "SettingsDlg.h"
#include "VQApplication.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "VersionInfo.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QHBoxLayout>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QPainter>
#include <QPointer>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <algorithm>

TfrmMain* frmMain = nullptr;

namespace {

constexpr int StatusPanelHeight = 20;

} // namespace

// ---------------------------------------------------------------------------
// TStatusPanel

TStatusPanel::TStatusPanel(QWidget* Parent, int Width, Qt::Alignment Alignment, bool Bevel)
    : QFrame(Parent), FAlignment(Alignment | Qt::AlignVCenter) {
    setFixedWidth(Width);
    setMinimumHeight(StatusPanelHeight);
    setFrameStyle(Bevel ? (QFrame::Panel | QFrame::Sunken) : QFrame::NoFrame);
}

void TStatusPanel::SetText(const QString& Value) {
    if (FText == Value)
        return;
    FText = Value;
    update();
    QAccessibleEvent Changed(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&Changed);
    emit TextChanged(Value);
}

void TStatusPanel::paintEvent(QPaintEvent* Event) {
    QFrame::paintEvent(Event);
    QPainter Canvas(this);
    const QRect Rect = contentsRect().adjusted(2, 0, -2, 0);
    if (OnDrawPanel)
        OnDrawPanel(Canvas, this, Rect);
    else
        Canvas.drawText(Rect, static_cast<int>(FAlignment), FText);
}

// ---------------------------------------------------------------------------
// TfrmMain

TfrmMain::TfrmMain(QWidget* Owner) : QMainWindow(Owner) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("VQarchive Viewer"));
    setWindowIcon(TCommonData::ApplicationIcon());
    resize(1024, 700);
    FClientArea = new QMdiArea(this);
    FClientArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    FClientArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(FClientArea);
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    // The last child closing activates none.
    connect(FClientArea, &QMdiArea::subWindowActivated, this, &TfrmMain::UpdateWindowActions);
    UpdateWindowActions();
    Timer1 = new QTimer(this);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TfrmMain::Timer1Timer);
    Timer1->start();
    // The commands follow the jobs and the connection as they change (and
    // each poll of the tick).
    if (DBConnection != nullptr)
        connect(DBConnection->Events(), &TConnectionEvents::Changed, this,
                &TfrmMain::ActionList1Update);
    FormCreate();
    ActionList1Update();
    if (frmMain == nullptr)
        frmMain = this;
}

TfrmMain::~TfrmMain() {
    // The workspace's children go after this destructor; what they signal
    // then must not reach a half-destroyed frame.
    disconnect(FClientArea, nullptr, this, nullptr);
    if (frmMain == this)
        frmMain = nullptr;
    SetApplicationExceptionHandler(nullptr);
    TDBConnection::SetApplicationForms(nullptr);
}

void TfrmMain::FormCreate() {
    SetApplicationExceptionHandler([this](std::exception_ptr Error) { AppException(Error); });
    // What the controller's texts call this program's version ("The server
    // version is incompatible with %S") is the product version.
    if (QCoreApplication::applicationVersion().isEmpty())
        QCoreApplication::setApplicationVersion(
            GetVersionInfoValue(QStringLiteral("ProductVersion")));
    // The forms the controller's broadcasts reach: this window, every
    // dialog open, and the child windows.
    TDBConnection::SetApplicationForms([this] {
        QList<QObject*> Forms;
        for (QWidget* W : QApplication::topLevelWidgets())
            if (W == this || qobject_cast<QDialog*>(W) != nullptr)
                Forms.append(W);
        for (QMdiSubWindow* Child : MDIChildren())
            if (Child->widget() != nullptr)
                Forms.append(Child->widget());
        return Forms;
    });
    if (DBConnection != nullptr)
        TDBInterface::GetInstance().SetListener(DBConnection);
    sbPanels[0]->SetText(QStringLiteral("Server status: "));
    sbPanels[1]->SetText(QStringLiteral("Not connected"));
}

void TfrmMain::CreateActions() {
    auto Make = [this](const char* Name, const QString& Caption, const QString& Hint,
                       const QKeySequence& Shortcut, int Image) {
        auto* A = new QAction(Caption, this);
        A->setObjectName(QLatin1String(Name));
        A->setToolTip(Hint);
        A->setStatusTip(Hint);
        if (!Shortcut.isEmpty())
            A->setShortcut(Shortcut);
        FActionImages.append({A, Image});
        return A;
    };
    aNewQuery = Make("aNewQuery", QStringLiteral("&Query Builder"), QStringLiteral("Query Builder"),
                     QKeySequence(Qt::Key_F2), 56);
    aSearchText =
        Make("aSearchText", QStringLiteral("Search Messages"),
             QStringLiteral("Search all records containing text.."), QKeySequence(Qt::Key_F3), 46);
    aExit = Make("aExit", QStringLiteral("E&xit"), QStringLiteral("Close all and exit"), {}, 8);
    aOpenQuery =
        Make("aOpenQuery", QStringLiteral("&Open query..."),
             QStringLiteral("Open a saved query and run it"), QKeySequence(QKeySequence::Open), 28);
    connect(aOpenQuery, &QAction::triggered, this, [this] {
        TFileDialogRequest Request;
        Request.Title = QStringLiteral("Open query");
        Request.Filter = QStringLiteral("VQ query file (*.vqq)|*.vqq");
        Request.DefaultExt = QStringLiteral(".vqq");
        const QString FileName = TVQFileDialog::GetOpenFileName(this, Request);
        if (!FileName.isEmpty())
            emit OpenQueryRequested(FileName);
    });
    WindowCascade1 =
        Make("WindowCascade1", QStringLiteral("&Cascade"), QStringLiteral("Cascade"), {}, 48);
    WindowTileHorizontal1 = Make("WindowTileHorizontal1", QStringLiteral("Tile &Horizontally"),
                                 QStringLiteral("Tile Horizontal"), {}, 49);
    WindowTileVertical1 = Make("WindowTileVertical1", QStringLiteral("&Tile Vertically"),
                               QStringLiteral("Tile Vertical"), {}, 50);
    aCloseAll =
        Make("aCloseAll", QStringLiteral("Close All"), QStringLiteral("Close all windows"), {}, 65);

    connect(aNewQuery, &QAction::triggered, this, &TfrmMain::aNewQueryExecute);
    connect(aSearchText, &QAction::triggered, this, &TfrmMain::aSearchTextExecute);
    connect(aExit, &QAction::triggered, this, &QWidget::close);
    connect(WindowCascade1, &QAction::triggered, FClientArea, &QMdiArea::cascadeSubWindows);
    connect(WindowTileHorizontal1, &QAction::triggered, this, &TfrmMain::TileHorizontally);
    connect(WindowTileVertical1, &QAction::triggered, this, &TfrmMain::TileVertically);
    connect(aCloseAll, &QAction::triggered, this, &TfrmMain::aCloseAllExecute);
}

void TfrmMain::CreateMenus() {
    QMenuBar* MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    miFile = MainMenu1->addMenu(QStringLiteral("&File"));
    miFile->addAction(aOpenQuery);
    miFile->addAction(aNewQuery);
    miFile->addAction(aSearchText);
    miFile->addSeparator();
    miFile->addAction(aExit);

    miView = MainMenu1->addMenu(QStringLiteral("&View"));
    miToolBar = miView->addAction(QStringLiteral("Tool Bar"));
    miToolBar->setObjectName(QStringLiteral("miToolBar"));
    miToolBar->setCheckable(true);
    miToolBar->setChecked(true);
    connect(miToolBar, &QAction::triggered, this, &TfrmMain::miToolBarClick);

    miOptions = MainMenu1->addMenu(QStringLiteral("&Options"));
    miSettings = miOptions->addAction(QStringLiteral("&Settings"));
    miSettings->setObjectName(QStringLiteral("miSettings"));
    connect(miSettings, &QAction::triggered, this, &TfrmMain::miSettingsClick);

    miWindow = MainMenu1->addMenu(QStringLiteral("&Window"));
    miWindow->setObjectName(QStringLiteral("miWindow"));
    miWindow->addAction(WindowCascade1);
    miWindow->addAction(WindowTileHorizontal1);
    miWindow->addAction(WindowTileVertical1);
    miWindow->addAction(aCloseAll);
    miWindow->addSeparator();
    connect(miWindow, &QMenu::aboutToShow, this, &TfrmMain::UpdateWindowMenu);

    miHelp = MainMenu1->addMenu(QStringLiteral("&Help"));
    aManual = miHelp->addAction(QStringLiteral("&Manual"));
    aManual->setObjectName(QStringLiteral("aManual"));
    aManual->setShortcut(QKeySequence(Qt::Key_F1));
    // The page of the window that has the focus: the result window, or the
    // player, message view or fax browser docked in it.
    connect(aManual, &QAction::triggered, this, [this] {
        // From the menu the focus may be nowhere: then the active child's.
        const QWidget* From = QApplication::focusWidget();
        if (From == nullptr || !isAncestorOf(From))
            if (QMdiSubWindow* Active = FClientArea->activeSubWindow())
                From = Active->widget() != nullptr && Active->widget()->focusWidget() != nullptr
                           ? Active->widget()->focusWidget()
                           : Active->widget();
        ShowManual(this, ManualPageFor(From));
    });
    miHelp->addSeparator();
    About1 = miHelp->addAction(QStringLiteral("&About"));
    About1->setObjectName(QStringLiteral("About1"));
    connect(About1, &QAction::triggered, this, &TfrmMain::About1Click);
}

void TfrmMain::CreateToolBar() {
    // The band container, which the View menu hides and shows as a whole.
    CoolBar1 = new QToolBar(QStringLiteral("CoolBar1"), this);
    CoolBar1->setObjectName(QStringLiteral("CoolBar1"));
    CoolBar1->setMovable(false);
    CoolBar1->setFloatable(false);
    CoolBar1->toggleViewAction()->setVisible(false);
    CoolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, CoolBar1);

    ToolBar1 = new QToolBar(QStringLiteral("ToolBar1"), CoolBar1);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setIconSize(QSize(20, 20));
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar1->addAction(aNewQuery);
    ToolBar1->addSeparator();
    ToolBar1->addAction(aSearchText);
    ToolBar1->addSeparator();
    ToolBar1->addAction(WindowCascade1);
    ToolBar1->addAction(WindowTileHorizontal1);
    ToolBar1->addAction(WindowTileVertical1);
    ToolBar1->addAction(aCloseAll);
    for (QAction* A : ToolBar1->actions())
        if (QWidget* Button = ToolBar1->widgetForAction(A); Button && !A->isSeparator())
            Button->setFixedSize(27, 26);
    CoolBar1->addWidget(ToolBar1);
}

void TfrmMain::CreateStatusBar() {
    sb = new QWidget(this);
    sb->setObjectName(QStringLiteral("sb"));
    auto* Layout = new QHBoxLayout(sb);
    Layout->setContentsMargins(0, 0, 0, 0);
    Layout->setSpacing(2);
    // 80 pixels held the label in the original's font; a larger font must
    // not cut it.
    const int LabelWidth = fontMetrics().horizontalAdvance(QStringLiteral("Server status: ")) + 8;
    sbPanels.append(new TStatusPanel(sb, std::max(80, LabelWidth), Qt::AlignRight, false));
    sbPanels.append(new TStatusPanel(sb, 600, Qt::AlignLeft, true));
    sbPanels.append(new TStatusPanel(sb, 50, Qt::AlignLeft, true));
    for (TStatusPanel* Panel : sbPanels)
        Layout->addWidget(Panel);
    Layout->addStretch(1);
    sbPanels[1]->OnDrawPanel = [this](QPainter& Canvas, TStatusPanel* Panel, const QRect& Rect) {
        sbDrawPanel(Canvas, Panel, Rect);
    };
    QStatusBar* Bar = statusBar();
    Bar->setSizeGripEnabled(true);
    Bar->addWidget(sb, 1);
}

void TfrmMain::AssignImages(const TImageList& Images) {
    for (const auto& [Action, Image] : FActionImages)
        Action->setIcon(Images.Icon(Image));
}

QString TfrmMain::AutoQueryTitle(const QString& Base) const {
    const QList<QMdiSubWindow*> Children = MDIChildren();
    // With n children at most n numbers are taken, so one of 1..n+1 is free.
    for (int N = 1;; ++N) {
        const QString Title = Base + QString::number(N);
        bool Taken = false;
        for (const QMdiSubWindow* Child : Children)
            if (Child->windowTitle().compare(Title, Qt::CaseInsensitive) == 0) {
                Taken = true;
                break;
            }
        if (!Taken)
            return Title;
    }
}

QList<QMdiSubWindow*> TfrmMain::MDIChildren() const {
    return FClientArea->subWindowList(QMdiArea::CreationOrder);
}

int TfrmMain::MDIChildCount() const {
    return static_cast<int>(MDIChildren().size());
}

QMdiSubWindow* TfrmMain::AddChild(QWidget* Child) {
    QMdiSubWindow* Previous = FClientArea->activeSubWindow();
    const bool Maximized = Previous != nullptr && Previous->isMaximized();
    QMdiSubWindow* Window = FClientArea->addSubWindow(Child);
    Window->setAttribute(Qt::WA_DeleteOnClose);
    Window->setWindowTitle(Child->windowTitle());
    connect(Child, &QWidget::windowTitleChanged, Window, &QWidget::setWindowTitle);
    if (Maximized) {
        // A maximised workspace stays so, and the newcomer fills all of it.
        Window->showMaximized();
    } else {
        Window->show();
        // The cascade walks on past the workspace's edge: a window that
        // would stand partly outside starts again at the top left corner,
        // no larger than the workspace.
        const QRect Area = FClientArea->viewport()->rect();
        QRect Place = Window->geometry();
        Place.setSize(Place.size().boundedTo(Area.size()));
        if (!Area.contains(Place))
            Place.moveTopLeft(Area.topLeft());
        Window->setGeometry(Place);
    }
    UpdateWindowActions();
    return Window;
}

void TfrmMain::UpdateWindowActions() {
    // Destroyed children may still be listed while they go.
    int Count = 0;
    for (QMdiSubWindow* Child : MDIChildren())
        if (Child->widget() != nullptr)
            ++Count;
    for (QAction* A : {WindowCascade1, WindowTileHorizontal1, WindowTileVertical1, aCloseAll})
        A->setEnabled(Count > 0);
}

void TfrmMain::ActionList1Update() {
    const bool ServerBusy = TJobHandle::TurnTaken();
    const bool ControllerEnabled = DBConnection == nullptr || DBConnection->Enabled();
    aNewQuery->setEnabled(!ServerBusy && ControllerEnabled);
    aSearchText->setEnabled(aNewQuery->isEnabled());
}

void TfrmMain::Timer1Timer() {
    if (DBConnection == nullptr)
        return;
    DBConnection->TimerProc();
    sbPanels[1]->SetText(DBConnection->StatusString());
    ActionList1Update();
    // The colour follows the state even when the text stays the same.
    sbPanels[1]->update();
}

void TfrmMain::sbDrawPanel(QPainter& Canvas, TStatusPanel* Panel, const QRect& Rect) {
    if (Panel != sbPanels[1])
        return;
    QFont Font = font();
    QColor Colour = palette().color(QPalette::WindowText);
    if (DBConnection != nullptr && DBConnection->Connected() &&
        DBConnection->ServerState() == stFailed) {
        Colour = Qt::red;
        Font.setBold(true);
    }
    Canvas.setFont(Font);
    Canvas.setPen(Colour);
    Canvas.drawText(Rect, Qt::AlignLeft | Qt::AlignTop, Panel->Text());
}

void TfrmMain::AppException(std::exception_ptr Error) {
    SetScreenCursor(crDefault);
    TVQMessageBox::ShowError(this, ExceptionMessage(Error));
}

void TfrmMain::UpdateWindowMenu() {
    for (QAction* A : FWindowList) {
        miWindow->removeAction(A);
        A->deleteLater();
    }
    FWindowList.clear();
    QMdiSubWindow* Active = FClientArea->activeSubWindow();
    int Number = 1;
    for (QMdiSubWindow* Child : MDIChildren()) {
        // An "&" in a title is shown, not taken as a mnemonic.
        QString Title = Child->windowTitle();
        Title.replace(QLatin1Char('&'), QStringLiteral("&&"));
        const QString Caption = Number <= 9 ? QStringLiteral("&%1 %2").arg(Number).arg(Title)
                                            : QStringLiteral("%1 %2").arg(Number).arg(Title);
        auto* A = miWindow->addAction(Caption);
        A->setCheckable(true);
        A->setChecked(Child == Active);
        QPointer<QMdiSubWindow> Target(Child);
        connect(A, &QAction::triggered, this, [this, Target] {
            if (Target)
                FClientArea->setActiveSubWindow(Target);
        });
        FWindowList.append(A);
        ++Number;
    }
}

void TfrmMain::aNewQueryExecute() {
    emit NewQueryRequested();
}

void TfrmMain::aSearchTextExecute() {
    emit SearchTextRequested();
}

void TfrmMain::aCloseAllExecute() {
    while (!MDIChildren().isEmpty()) {
        QPointer<QMdiSubWindow> First(MDIChildren().first());
        First->close();
        // The closed window must really be gone before the next is asked.
        TVQApplication::ProcessMessages();
        // A window that refuses to close would be asked for ever.
        if (First && MDIChildren().contains(First.data()))
            break;
    }
}

void TfrmMain::miToolBarClick() {
    CoolBar1->setVisible(miToolBar->isChecked());
}

void TfrmMain::miSettingsClick() {
    QPointer<TdlgSettings> Dialog(new TdlgSettings(this));
    Dialog->exec();
}

void TfrmMain::About1Click() {
    QPointer<TdlgAbout> Dialog(new TdlgAbout(this));
    Dialog->exec();
}

void TfrmMain::TileHorizontally() {
    // One above the other, each the full width.
    Tile(Qt::Vertical);
}

void TfrmMain::TileVertically() {
    // Side by side, each the full height.
    Tile(Qt::Horizontal);
}

void TfrmMain::Tile(Qt::Orientation Direction) {
    QList<QMdiSubWindow*> Visible;
    for (QMdiSubWindow* Child : MDIChildren())
        if (!Child->isMinimized())
            Visible.append(Child);
    if (Visible.isEmpty())
        return;
    const QRect Area = FClientArea->viewport()->rect();
    const int Count = static_cast<int>(Visible.size());
    int At = 0;
    for (QMdiSubWindow* Child : Visible) {
        Child->showNormal();
        if (Direction == Qt::Vertical) {
            Child->setGeometry(0, At, Area.width(), Area.height() / Count);
            At += Area.height() / Count;
        } else {
            Child->setGeometry(At, 0, Area.width() / Count, Area.height());
            At += Area.width() / Count;
        }
    }
}
