// The viewer's multi-document frame: menu, tool bar, status bar with the
// connection state, and the one-second timer that drives the connection
// controller. Every query result window is one of its child documents.
#pragma once

#include <QFrame>
#include <QList>
#include <QMainWindow>
#include <QString>

#include <functional>

class QAction;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QPainter;
class QTimer;
class QToolBar;
class TImageList;

// One panel of the status bar; a panel without text of its own is drawn by
// its owner's handler.
class TStatusPanel : public QFrame {
    Q_OBJECT
public:
    using TDrawPanelEvent =
        std::function<void(QPainter& Canvas, TStatusPanel* Panel, const QRect& Rect)>;

    TStatusPanel(QWidget* Parent, int Width, Qt::Alignment Alignment, bool Bevel);

    QString Text() const { return FText; }
    void SetText(const QString& Value);
    Qt::Alignment Alignment() const { return FAlignment; }
    // Set: the owner draws the panel (the text is still kept).
    TDrawPanelEvent OnDrawPanel;

signals:
    // Every text shown, however briefly.
    void TextChanged(const QString& Text);

protected:
    void paintEvent(QPaintEvent* Event) override;

private:
    QString FText;
    Qt::Alignment FAlignment;
};

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(QWidget* Owner = nullptr);
    ~TfrmMain() override;

signals:
    // File > Open query...: the operator chose a query file to run in a
    // result window of its own; the program's start-up code opens it.
    void OpenQueryRequested(const QString& FileName);
    // The query builder and the text search: the windows that come with
    // their own units answer these (see ViewerWindows).
    void NewQueryRequested();
    void SearchTextRequested();

public:
    // The first "Base1", "Base2", ... that no open child window has as its
    // caption, compared without regard to case.
    QString AutoQueryTitle(const QString& Base) const;

    // The open child windows, in the frame's order.
    QList<QMdiSubWindow*> MDIChildren() const;
    int MDIChildCount() const;
    QMdiArea* ClientArea() const { return FClientArea; }
    // Adds a child document window around Child and shows it.
    QMdiSubWindow* AddChild(QWidget* Child);

    // Gives the actions and the tool bar their images, once the shared
    // data module exists.
    void AssignImages(const TImageList& Images);

    // Idle-time update of the actions' enabled states.
    void ActionList1Update();
    // The one-second tick.
    void Timer1Timer();
    // Shows an exception's message: default cursor, standard error box.
    void AppException(std::exception_ptr Error);
    // Rebuilds the list of child windows at the end of the Window menu.
    void UpdateWindowMenu();
    // Cascade, Tile and Close All stand enabled while a child is open.
    void UpdateWindowActions();

    // Controls and actions, by their form names.
    QToolBar* CoolBar1 = nullptr;
    QToolBar* ToolBar1 = nullptr;
    QWidget* sb = nullptr;
    QList<TStatusPanel*> sbPanels;
    QTimer* Timer1 = nullptr;
    QMenu* miFile = nullptr;
    QMenu* miView = nullptr;
    QMenu* miOptions = nullptr;
    QMenu* miWindow = nullptr;
    QMenu* miHelp = nullptr;
    QAction* miToolBar = nullptr;
    QAction* miSettings = nullptr;
    QAction* aManual = nullptr;
    QAction* About1 = nullptr;
    QAction* aNewQuery = nullptr;
    QAction* aSearchText = nullptr;
    QAction* aExit = nullptr;
    QAction* aOpenQuery = nullptr;
    QAction* WindowCascade1 = nullptr;
    QAction* WindowTileHorizontal1 = nullptr;
    QAction* WindowTileVertical1 = nullptr;
    QAction* aCloseAll = nullptr;

    // The entries the Window menu lists after its separator.
    QList<QAction*> WindowListActions() const { return FWindowList; }

    void aNewQueryExecute();
    void aSearchTextExecute();
    void aCloseAllExecute();
    void miToolBarClick();
    void miSettingsClick();
    void About1Click();

    // Panel 1: red and bold while the controller is connected and failed.
    void sbDrawPanel(QPainter& Canvas, TStatusPanel* Panel, const QRect& Rect);

private:
    void FormCreate();
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void TileVertically();
    void TileHorizontally();
    void Tile(Qt::Orientation Direction);

    QMdiArea* FClientArea = nullptr;
    QList<QAction*> FWindowList;
    // Image numbers of the actions in the shared glyph list.
    QList<QPair<QAction*, int>> FActionImages;
};

// The program's main window (null while it does not exist).
extern TfrmMain* frmMain;
