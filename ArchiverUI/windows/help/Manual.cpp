#include "Manual.h"

#include "TextMarks.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStandardItemModel>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

namespace {

constexpr int PageRole = Qt::UserRole + 1;
constexpr int TextRole = Qt::UserRole + 2;
const char* const PageProperty = "vqManualPage";

QString PageUrl(const QString& Page) {
    return QStringLiteral("qrc:/manual/%1.md").arg(Page);
}

QString ReadPage(const QString& Page) {
    QFile File(QStringLiteral(":/manual/%1.md").arg(Page));
    if (!File.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(File.readAll());
}

QString PageName(QString Name) {
    Name = Name.section(QLatin1Char('/'), -1).section(QLatin1Char('#'), 0, 0);
    if (Name.endsWith(QLatin1String(".md")))
        Name.chop(3);
    return Name;
}

} // namespace

QStringList ManualPages() {
    return {QStringLiteral("index"),         QStringLiteral("connecting"),
            QStringLiteral("query-builder"), QStringLiteral("result-window"),
            QStringLiteral("player"),        QStringLiteral("message-view"),
            QStringLiteral("fax-browser"),   QStringLiteral("text-search"),
            QStringLiteral("evidence"),      QStringLiteral("keyboard")};
}

TfrmManual::TfrmManual(QWidget* Parent) : QWidget(Parent, Qt::Window) {
    // The pages live in the program; a static build needs them named once.
    Q_INIT_RESOURCE(manual);
    setObjectName(QStringLiteral("frmManual"));
    setWindowTitle(QStringLiteral("VQarchive Viewer manual"));

    FPages = new QStandardItemModel(this);
    for (const QString& Page : ManualPages()) {
        const QString Text = ReadPage(Page);
        QString Title = Text.section(QLatin1Char('\n'), 0, 0);
        if (Title.startsWith(QLatin1String("# ")))
            Title = Title.mid(2).trimmed();
        auto* Item = new QStandardItem(Title.isEmpty() ? Page : Title);
        Item->setEditable(false);
        Item->setData(Page, PageRole);
        // The search looks at what a reader sees, not at the markup.
        QTextDocument Plain;
        Plain.setMarkdown(Text);
        Item->setData(Plain.toPlainText(), TextRole);
        FPages->appendRow(Item);
    }
    FFound = new QSortFilterProxyModel(this);
    FFound->setSourceModel(FPages);
    FFound->setFilterRole(TextRole);
    FFound->setFilterCaseSensitivity(Qt::CaseInsensitive);

    edSearch = new QLineEdit(this);
    edSearch->setObjectName(QStringLiteral("edSearch"));
    edSearch->setClearButtonEnabled(true);
    edSearch->setPlaceholderText(QStringLiteral("Search the manual"));
    auto* SearchLabel = new QLabel(QStringLiteral("&Search:"), this);
    SearchLabel->setBuddy(edSearch);
    edSearch->setAccessibleName(QStringLiteral("Search"));

    lvContents = new QListView(this);
    lvContents->setObjectName(QStringLiteral("lvContents"));
    lvContents->setAccessibleName(QStringLiteral("Contents"));
    lvContents->setModel(FFound);
    lvContents->setEditTriggers(QAbstractItemView::NoEditTriggers);

    tbPage = new QTextBrowser(this);
    tbPage->setObjectName(QStringLiteral("tbPage"));
    tbPage->setAccessibleName(QStringLiteral("Page"));
    // Links between pages go through ShowPage, so the contents follow.
    tbPage->setOpenLinks(false);

    auto* Left = new QWidget(this);
    auto* LeftLayout = new QVBoxLayout(Left);
    LeftLayout->setContentsMargins(0, 0, 0, 0);
    auto* SearchRow = new QHBoxLayout;
    SearchRow->addWidget(SearchLabel);
    SearchRow->addWidget(edSearch, 1);
    LeftLayout->addLayout(SearchRow);
    LeftLayout->addWidget(lvContents, 1);
    auto* Split = new QSplitter(this);
    Split->addWidget(Left);
    Split->addWidget(tbPage);
    Split->setStretchFactor(1, 1);
    Split->setSizes({220, 560});
    auto* Layout = new QVBoxLayout(this);
    Layout->addWidget(Split);
    resize(820, 600);

    connect(edSearch, &QLineEdit::textChanged, this, &TfrmManual::Search);
    connect(edSearch, &QLineEdit::returnPressed, this, [this] {
        if (FFound->rowCount() > 0) {
            lvContents->setCurrentIndex(FFound->index(0, 0));
            OpenSelected();
        }
    });
    connect(lvContents->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &TfrmManual::OpenSelected);
    connect(tbPage, &QTextBrowser::anchorClicked, this, [this](const QUrl& Url) {
        if (Url.scheme() == QLatin1String("http") || Url.scheme() == QLatin1String("https")) {
            QDesktopServices::openUrl(Url);
            return;
        }
        ShowPage(Url.path());
        if (!Url.fragment().isEmpty())
            tbPage->scrollToAnchor(Url.fragment());
    });
    auto* Close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(Close, &QShortcut::activated, this, &QWidget::close);
    ShowPage(QStringLiteral("index"));
}

bool TfrmManual::ShowPage(const QString& Page) {
    QString Name = PageName(Page);
    const bool Known = ManualPages().contains(Name);
    if (!Known)
        Name = QStringLiteral("index");
    if (Name != FCurrentPage) {
        FCurrentPage = Name;
        tbPage->setSource(QUrl(PageUrl(Name)), QTextDocument::MarkdownResource);
    }
    for (int Row = 0; Row < FFound->rowCount(); ++Row) {
        const QModelIndex Index = FFound->index(Row, 0);
        if (Index.data(PageRole).toString() == Name) {
            QSignalBlocker Quiet(lvContents->selectionModel());
            lvContents->setCurrentIndex(Index);
        }
    }
    MarkSearchText();
    return Known;
}

void TfrmManual::Search(const QString& Text) {
    FFound->setFilterFixedString(Text.trimmed());
    MarkSearchText();
}

void TfrmManual::OpenSelected() {
    const QModelIndex Index = lvContents->currentIndex();
    if (Index.isValid())
        ShowPage(Index.data(PageRole).toString());
}

void TfrmManual::MarkSearchText() {
    const QString Text = edSearch->text().trimmed();
    FMarked = MarkPhrases(tbPage, {Text});
    // The first place is shown.
    if (FMarked > 0)
        tbPage->setTextCursor(tbPage->document()->find(Text));
}

TfrmManual* ShowManual(QWidget* From, const QString& Page) {
    // A modal dialog shuts out every window but its own children: the
    // manual then belongs to the dialog, or it could not be scrolled.
    QWidget* Owner = QApplication::activeModalWidget();
    if (!Owner && From)
        Owner = From->window();
    TfrmManual* Manual = nullptr;
    for (QWidget* Top : QApplication::topLevelWidgets())
        if (auto* Found = qobject_cast<TfrmManual*>(Top))
            Manual = Found;
    if (!Manual) {
        Manual = new TfrmManual(Owner);
    } else if (Manual->parentWidget() != Owner) {
        const QRect Place = Manual->geometry();
        Manual->setParent(Owner, Qt::Window);
        Manual->setGeometry(Place);
    }
    Manual->ShowPage(Page);
    Manual->show();
    Manual->raise();
    Manual->activateWindow();
    return Manual;
}

void SetManualPage(QWidget* Window, const QString& Page) {
    Window->setProperty(PageProperty, Page);
    // Only a dialog is a window of its own for good; a child window made
    // without a parent goes into the workspace later, where the main
    // window's F1 serves it (a second F1 there would make both ambiguous).
    if (qobject_cast<QDialog*>(Window) == nullptr)
        return;
    auto* Key = new QShortcut(QKeySequence(Qt::Key_F1), Window);
    Key->setObjectName(QStringLiteral("scManual"));
    QObject::connect(Key, &QShortcut::activated, Window, [Window] {
        ShowManual(Window, ManualPageFor(QApplication::focusWidget() ? QApplication::focusWidget()
                                                                     : Window));
    });
}

QString ManualPageFor(const QWidget* Widget) {
    for (; Widget; Widget = Widget->parentWidget()) {
        const QVariant Page = Widget->property(PageProperty);
        if (Page.isValid())
            return Page.toString();
    }
    return QStringLiteral("index");
}
