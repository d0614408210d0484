#include "SearchDlg.h"

#include "Main.h"
#include "Manual.h"
#include "QueryResult.h"
#include "SearchOptions.h"
#include "SettingsStore.h"
#include "VQMessageBox.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTimer>
#include <QVBoxLayout>

#include <limits>

namespace {

// The counters on screen follow the results at most this often.
constexpr int CounterIntervalMs = 40;

// The label a panel's value belongs to, for a screen reader.
const char* const PanelLabels[] = {
    "Total:", "Total:", "Processed:", "Processed:", "Found:", "Found:", "Status:"};

QString WithoutAccelerator(QString Text) {
    const int Tab = int(Text.indexOf(QLatin1Char('\t')));
    if (Tab >= 0)
        Text.truncate(Tab);
    return Text.remove(QLatin1Char('&'));
}

// A record id as the archive lists it: decimal digits only, 32 bits.
bool ParseMediaId(const char* Text, quint32& Id) {
    if (Text == nullptr || *Text == '\0')
        return false;
    quint64 Value = 0;
    for (const char* P = Text; *P != '\0'; ++P) {
        if (*P < '0' || *P > '9')
            return false;
        Value = Value * 10 + quint64(*P - '0');
        if (Value > std::numeric_limits<quint32>::max())
            return false;
    }
    Id = quint32(Value);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Creation

TdlgSearch::TdlgSearch(QWidget* Owner)
    : TUTCDialog(Owner), FSearchOptions(std::make_unique<TSearchOptions>()) {
    setObjectName(QStringLiteral("dlgSearch"));
    setWindowTitle(QStringLiteral("Search Messages"));
    CreateActions();
    CreateControls();
    // The form sees every key before its controls do.
    for (QWidget* Child : findChildren<QWidget*>())
        Child->installEventFilter(this);
    ConnectJob();
    FCounterTimer = new QTimer(this);
    FCounterTimer->setSingleShot(true);
    connect(FCounterTimer, &QTimer::timeout, this, [this] { ShowCounters(true); });
    ResetSearch();
    ActionList1Update();
}

TdlgSearch::~TdlgSearch() {
    try {
        CancelJobs();
    } catch (const EDllException&) {
        // The jobs are freed here either way; the server forgets them with
        // the connection they came on.
    }
}

void TdlgSearch::CreateActions() {
    auto Make = [this](const char* Name, const QString& Caption, const QString& Hint) {
        auto* A = new QAction(Caption, this);
        A->setObjectName(QLatin1String(Name));
        if (!Hint.isEmpty()) {
            A->setToolTip(Hint);
            A->setStatusTip(Hint);
        }
        return A;
    };
    aSearch =
        Make("aSearch", QStringLiteral("&Search"), QStringLiteral("Start search (Ctrl+Enter)"));
    aClearMemo = Make("aClearMemo", QStringLiteral("Cl&ear"), QStringLiteral("Clear phrase list"));
    aAddHistItem = Make("aAddHistItem", QStringLiteral("&Add"),
                        QStringLiteral("Add phrase from history to phrase list"));
    aCancel = Make("aCancel", QStringLiteral("Ca&ncel"), QStringLiteral("Cancel search"));
    aInterrupt = Make("aInterrupt", QStringLiteral("&Interrupt"),
                      QStringLiteral("Interrupt searching and show result"));
    aCut = Make("aCut", QStringLiteral("Cu&t\tCtrl+X"), {});
    aCopy = Make("aCopy", QStringLiteral("&Copy\tCtrl+C"), {});
    aPaste = Make("aPaste", QStringLiteral("&Paste\tCtrl+V"), {});
    aSelectAllText = Make("aSelectAllText", QStringLiteral("Select &All\tCtrl+A"), {});

    connect(aSearch, &QAction::triggered, this, &TdlgSearch::aSearchExecute);
    connect(aClearMemo, &QAction::triggered, this, &TdlgSearch::aClearMemoExecute);
    connect(aAddHistItem, &QAction::triggered, this, &TdlgSearch::aAddHistItemExecute);
    connect(aCancel, &QAction::triggered, this, &TdlgSearch::aCancelExecute);
    connect(aInterrupt, &QAction::triggered, this, &TdlgSearch::aInterruptExecute);
}

QPushButton* TdlgSearch::ButtonFor(QAction* Action, const char* Name) {
    auto* Button = new QPushButton(Action->text(), this);
    Button->setObjectName(QLatin1String(Name));
    Button->setToolTip(Action->toolTip());
    Button->setAccessibleName(WithoutAccelerator(Action->text()));
    Button->setAccessibleDescription(Action->toolTip());
    Button->setAutoDefault(false);
    Button->setEnabled(Action->isEnabled());
    connect(Button, &QPushButton::clicked, Action, &QAction::trigger);
    connect(Action, &QAction::changed, Button,
            [Button, Action] { Button->setEnabled(Action->isEnabled()); });
    return Button;
}

void TdlgSearch::CreateControls() {
    auto Label = [this](const QString& Text, const char* Name, QWidget* Buddy) {
        auto* L = new QLabel(Text, this);
        L->setObjectName(QLatin1String(Name));
        L->setBuddy(Buddy);
        Buddy->setAccessibleName(WithoutAccelerator(Text));
        return L;
    };

    RichEdit1 = new QPlainTextEdit(this);
    RichEdit1->setObjectName(QStringLiteral("RichEdit1"));
    RichEdit1->setLineWrapMode(QPlainTextEdit::NoWrap);
    RichEdit1->setTabChangesFocus(true);
    RichEdit1->setToolTip(QStringLiteral("One phrase a line"));
    RichEdit1->setContextMenuPolicy(Qt::CustomContextMenu);
    RichEdit1->setMinimumHeight(RichEdit1->fontMetrics().lineSpacing() * 6 + 12);
    lbPhrases = Label(QStringLiteral("&Phrases to find:"), "lbPhrases", RichEdit1);

    cbPhraseHistory = new QComboBox(this);
    cbPhraseHistory->setObjectName(QStringLiteral("cbPhraseHistory"));
    cbPhraseHistory->setMaxVisibleItems(10);
    cbPhraseHistory->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbPhraseHistory->setMinimumContentsLength(24);
    lbHistory = Label(QStringLiteral("Phrase hist&ory"), "lbHistory", cbPhraseHistory);
    btnAddHistItem = ButtonFor(aAddHistItem, "btnAddHistItem");
    btnClearMemo = ButtonFor(aClearMemo, "btnClearMemo");

    gbOptions = new QGroupBox(QStringLiteral("Options"), this);
    gbOptions->setObjectName(QStringLiteral("gbOptions"));
    gbOptions->setAccessibleName(QStringLiteral("Options"));
    cbSource = new QComboBox(gbOptions);
    cbSource->setObjectName(QStringLiteral("cbSource"));
    cbSource->addItems({QStringLiteral("All database records"), QStringLiteral("All records"),
                        QStringLiteral("Selected")});
    cbSource->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbSource->setMinimumContentsLength(28);
    cbDestination = new QComboBox(gbOptions);
    cbDestination->setObjectName(QStringLiteral("cbDestination"));
    cbDestination->addItems(
        {QStringLiteral("Show in new window"), QStringLiteral("Show in Active window")});
    cbDestination->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    cbDestination->setMinimumContentsLength(28);
    rbAllOf = new QRadioButton(QStringLiteral("A&ll of phrases"), gbOptions);
    rbAllOf->setObjectName(QStringLiteral("rbAllOf"));
    rbAllOf->setAccessibleName(QStringLiteral("All of phrases"));
    rbAllOf->setChecked(true);
    rbAnyOf = new QRadioButton(QStringLiteral("An&y of phrases"), gbOptions);
    rbAnyOf->setObjectName(QStringLiteral("rbAnyOf"));
    rbAnyOf->setAccessibleName(QStringLiteral("Any of phrases"));
    lbSource = Label(QStringLiteral("Sea&rch in.."), "lbSource", cbSource);
    lbDestination = Label(QStringLiteral("Res&ult.."), "lbDestination", cbDestination);
    lbMustContain = new QLabel(QStringLiteral("Records must contain:"), gbOptions);
    lbMustContain->setObjectName(QStringLiteral("lbMustContain"));
    lbSource->setParent(gbOptions);
    lbDestination->setParent(gbOptions);
    auto* OptionsLayout = new QGridLayout(gbOptions);
    OptionsLayout->addWidget(lbSource, 0, 0);
    OptionsLayout->addWidget(cbSource, 0, 1, 1, 2);
    OptionsLayout->addWidget(lbDestination, 1, 0);
    OptionsLayout->addWidget(cbDestination, 1, 1, 1, 2);
    OptionsLayout->addWidget(lbMustContain, 2, 0);
    OptionsLayout->addWidget(rbAllOf, 2, 1);
    OptionsLayout->addWidget(rbAnyOf, 2, 2);
    OptionsLayout->setColumnStretch(1, 1);
    OptionsLayout->setColumnStretch(2, 1);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    lbProgress = Label(QStringLiteral("Search Progress:"), "lbProgress", ProgressBar1);

    btnSearch = ButtonFor(aSearch, "btnSearch");
    btnSearch->setDefault(true);
    btnInterrupt = ButtonFor(aInterrupt, "btnInterrupt");
    btnCancel = ButtonFor(aCancel, "btnCancel");
    btnClose = new QPushButton(QStringLiteral("&Close"), this);
    btnClose->setObjectName(QStringLiteral("btnClose"));
    btnClose->setAccessibleName(QStringLiteral("Close"));
    btnClose->setAutoDefault(false);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
    HelpBtn = new QPushButton(QStringLiteral("&Help"), this);
    HelpBtn->setObjectName(QStringLiteral("HelpBtn"));
    HelpBtn->setAccessibleName(QStringLiteral("Help"));
    HelpBtn->setAutoDefault(false);
    SetManualPage(this, QStringLiteral("text-search"));
    connect(HelpBtn, &QPushButton::clicked, this,
            [this] { ShowManual(this, QStringLiteral("text-search")); });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(aAddHistItem);
    PopupMenu1->addAction(aClearMemo);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aCut);
    PopupMenu1->addAction(aCopy);
    PopupMenu1->addAction(aPaste);
    PopupMenu1->addAction(aSelectAllText);
    PopupMenu1->addSeparator();
    PopupMenu1->addAction(aSearch);
    PopupMenu1->addAction(aInterrupt);
    PopupMenu1->addAction(aCancel);
    connect(aCut, &QAction::triggered, RichEdit1, &QPlainTextEdit::cut);
    connect(aCopy, &QAction::triggered, RichEdit1, &QPlainTextEdit::copy);
    connect(aPaste, &QAction::triggered, RichEdit1, &QPlainTextEdit::paste);
    connect(aSelectAllText, &QAction::triggered, RichEdit1, &QPlainTextEdit::selectAll);
    connect(RichEdit1, &QWidget::customContextMenuRequested, this, [this](const QPoint& At) {
        const bool Selected = RichEdit1->textCursor().hasSelection();
        const bool Editable = !RichEdit1->isReadOnly();
        aCut->setEnabled(Selected && Editable);
        aCopy->setEnabled(Selected);
        const QClipboard* Clipboard = QGuiApplication::clipboard();
        aPaste->setEnabled(Editable && Clipboard != nullptr && !Clipboard->text().isEmpty());
        aSelectAllText->setEnabled(!RichEdit1->document()->isEmpty());
        PopupMenu1->popup(RichEdit1->viewport()->mapToGlobal(At));
    });

    connect(RichEdit1, &QPlainTextEdit::textChanged, this, [this] {
        FHasPhrases = !RichEdit1->toPlainText().trimmed().isEmpty();
        ActionList1Update();
    });
    connect(cbPhraseHistory, &QComboBox::activated, this, &TdlgSearch::cbPhraseHistorySelect);
    connect(cbPhraseHistory, &QComboBox::currentTextChanged, this, &TdlgSearch::ActionList1Update);

    CreateStatusBar();

    // Phrases, history and options on the left, the commands on the right.
    auto* HistoryRow = new QHBoxLayout;
    HistoryRow->addWidget(cbPhraseHistory, 1);
    HistoryRow->addWidget(btnAddHistItem);
    HistoryRow->addWidget(btnClearMemo);
    auto* Left = new QVBoxLayout;
    Left->addWidget(lbPhrases);
    Left->addWidget(RichEdit1, 1);
    Left->addWidget(lbHistory);
    Left->addLayout(HistoryRow);
    Left->addWidget(gbOptions);
    Left->addWidget(lbProgress);
    Left->addWidget(ProgressBar1);
    auto* Right = new QVBoxLayout;
    Right->addSpacing(lbPhrases->sizeHint().height());
    for (QPushButton* B : {btnSearch, btnInterrupt, btnCancel, btnClose})
        Right->addWidget(B);
    Right->addStretch(1);
    Right->addWidget(HelpBtn);
    auto* Body = new QHBoxLayout;
    Body->addLayout(Left, 1);
    Body->addLayout(Right);
    auto* Layout = new QVBoxLayout(this);
    Layout->setContentsMargins(9, 9, 9, 2);
    Layout->addLayout(Body, 1);
    Layout->addWidget(StatusBar1);

    setTabOrder(RichEdit1, cbPhraseHistory);
    setTabOrder(cbPhraseHistory, btnAddHistItem);
    setTabOrder(btnAddHistItem, btnClearMemo);
    setTabOrder(btnClearMemo, cbSource);
    setTabOrder(cbSource, cbDestination);
    setTabOrder(cbDestination, rbAllOf);
    setTabOrder(rbAllOf, rbAnyOf);
    setTabOrder(rbAnyOf, btnSearch);
    setTabOrder(btnSearch, btnInterrupt);
    setTabOrder(btnInterrupt, btnCancel);
    setTabOrder(btnCancel, btnClose);
    resize(sizeHint().expandedTo(QSize(560, 460)));
}

void TdlgSearch::CreateStatusBar() {
    StatusBar1 = new QWidget(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setAccessibleName(QStringLiteral("Search status"));
    auto* BarLayout = new QHBoxLayout(StatusBar1);
    BarLayout->setContentsMargins(0, 1, 0, 1);
    BarLayout->setSpacing(2);
    const QFontMetrics Metrics = fontMetrics();
    const int Number = Metrics.horizontalAdvance(QStringLiteral("0000000")) + 10;
    for (int I = pnTotalLabel; I <= pnStatus; ++I) {
        const bool IsLabel = I == pnTotalLabel || I == pnProcessedLabel || I == pnFoundLabel;
        const int Width =
            IsLabel ? Metrics.horizontalAdvance(QLatin1String(PanelLabels[I])) + 10 : Number;
        auto* Panel =
            new TStatusPanel(StatusBar1, Width, IsLabel ? Qt::AlignRight : Qt::AlignLeft, !IsLabel);
        Panel->setObjectName(QStringLiteral("StatusPanel%1").arg(I));
        if (I == pnStatus) {
            Panel->setMinimumWidth(0);
            Panel->setMaximumWidth(QWIDGETSIZE_MAX);
            Panel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        }
        StatusPanels.append(Panel);
        BarLayout->addWidget(Panel, I == pnStatus ? 1 : 0);
    }
    SetPanel(pnTotalLabel, QStringLiteral("Total:"));
    SetPanel(pnProcessedLabel, QStringLiteral("Processed:"));
    SetPanel(pnFoundLabel, QStringLiteral("Found:"));
}

// ---------------------------------------------------------------------------
// The program's one dialog

void TdlgSearch::ShowFor(TfrmQueryResult* Target) {
    if (isVisible())
        return;
    FShowTarget = Target;
    exec();
}

// ---------------------------------------------------------------------------
// Panels, options, history

void TdlgSearch::SetPanel(int Panel, const QString& Text) {
    TStatusPanel* P = StatusPanels.value(Panel);
    if (P == nullptr)
        return;
    P->SetText(Text);
    // What a screen reader says for the panel: the counters with their
    // labels, so that "Found: 12" is heard and not a bare "12".
    QString Name;
    switch (Panel) {
    case pnTotal:
    case pnProcessed:
    case pnFound:
        Name = QLatin1String(PanelLabels[Panel]) + QLatin1Char(' ') + Text;
        break;
    case pnStatus:
        Name = Text.isEmpty() ? QStringLiteral("Status: idle") : QStringLiteral("Status: ") + Text;
        break;
    default:
        Name = Text;
        break;
    }
    if (P->accessibleName() != Name)
        P->setAccessibleName(Name);
    if (P->accessibleDescription() != Text)
        P->setAccessibleDescription(Text);
    P->setToolTip(Panel == pnStatus ? Text : QString());
}

QString TdlgSearch::StatusText(int Panel) const {
    const TStatusPanel* P = StatusPanels.value(Panel);
    return P != nullptr ? P->Text() : QString();
}

QStringList TdlgSearch::PhraseLines() const {
    QStringList Lines;
    for (QString Line : RichEdit1->toPlainText().split(QLatin1Char('\n'))) {
        if (Line.endsWith(QLatin1Char('\r')))
            Line.chop(1);
        if (!Line.trimmed().isEmpty())
            Lines.append(Line);
    }
    return Lines;
}

void TdlgSearch::ResetSearch() {
    if (FCounterTimer != nullptr)
        FCounterTimer->stop();
    FSearchOptions->SetPhrases(PhraseLines());
    SetProgress(0, 0);
    SetPanel(pnTotal, QStringLiteral("0"));
    SetPanel(pnProcessed, QStringLiteral("0"));
    SetPanel(pnFound, QStringLiteral("0"));
    SetPanel(pnStatus, QString());
}

void TdlgSearch::ShowCounters(bool Now) {
    // Results arrive by the thousand a second; the screen shows their
    // counts a few dozen times a second, and always the last ones.
    if (!Now && FShownClock.isValid() && FShownClock.elapsed() < CounterIntervalMs) {
        if (!FCounterTimer->isActive())
            FCounterTimer->start(CounterIntervalMs - int(FShownClock.elapsed()));
        return;
    }
    FCounterTimer->stop();
    FShownClock.start();
    const QList<quint32>& Ids = FSearchOptions->MediaIds();
    switch (FPhase) {
    case spCollecting:
        SetPanel(pnTotal, QString::number(Ids.size()));
        break;
    case spSearching:
    case spFinished:
        SetProgress(FSearched, FTotal);
        SetPanel(pnProcessed, QString::number(FSearched));
        SetPanel(pnFound, QString::number(Ids.size()));
        break;
    case spIdle:
        break;
    }
}

void TdlgSearch::SetProgress(quint32 Position, quint32 Count) {
    // The bar counts in int; very large counts are scaled down alike.
    quint32 Scale = 1;
    while (Count / Scale > quint32(std::numeric_limits<int>::max()))
        Scale *= 2;
    const int Max = Count == 0 ? 100 : int(Count / Scale);
    if (ProgressBar1->maximum() != Max)
        ProgressBar1->setRange(0, Max);
    ProgressBar1->setValue(qMin(int(Position / Scale), Max));
}

void TdlgSearch::LoadHistory(QString& Error) {
    const QString Current = cbPhraseHistory->currentText();
    QStringList History;
    try {
        ReadHistory(hkSearchPhrase, History);
    } catch (const ERegistryException& E) {
        // A damaged history must not keep the operator from searching.
        History.clear();
        Error = E.Message();
    }
    cbPhraseHistory->blockSignals(true);
    cbPhraseHistory->clear();
    cbPhraseHistory->addItems(History);
    cbPhraseHistory->setCurrentIndex(
        Current.isEmpty() ? -1 : cbPhraseHistory->findText(Current, Qt::MatchExactly));
    cbPhraseHistory->blockSignals(false);
}

void TdlgSearch::SaveHistory(const QStringList& Phrases) {
    QStringList History;
    for (int I = 0; I < cbPhraseHistory->count(); ++I)
        History.append(cbPhraseHistory->itemText(I));
    for (const QString& Phrase : Phrases) {
        // The list finds its entries without regard to case.
        bool Known = false;
        for (const QString& Entry : History)
            if (Entry.compare(Phrase, Qt::CaseInsensitive) == 0) {
                Known = true;
                break;
            }
        if (!Known)
            History.prepend(Phrase);
    }
    while (History.size() > MaxHistory)
        History.removeLast();
    const QString Current = cbPhraseHistory->currentText();
    cbPhraseHistory->blockSignals(true);
    cbPhraseHistory->clear();
    cbPhraseHistory->addItems(History);
    cbPhraseHistory->setCurrentIndex(
        Current.isEmpty() ? -1 : cbPhraseHistory->findText(Current, Qt::MatchExactly));
    cbPhraseHistory->blockSignals(false);
    WriteHistory(hkSearchPhrase, History);
}

void TdlgSearch::cbPhraseHistorySelect(int Index) {
    if (Index <= 0 || Index >= cbPhraseHistory->count())
        return;
    const QString Text = cbPhraseHistory->itemText(Index);
    cbPhraseHistory->blockSignals(true);
    cbPhraseHistory->removeItem(Index);
    cbPhraseHistory->insertItem(0, Text);
    cbPhraseHistory->setCurrentIndex(0);
    cbPhraseHistory->blockSignals(false);
    ActionList1Update();
}

void TdlgSearch::aAddHistItemExecute() {
    if (!aAddHistItem->isEnabled())
        return;
    RichEdit1->appendPlainText(cbPhraseHistory->currentText());
}

void TdlgSearch::aClearMemoExecute() {
    if (!aClearMemo->isEnabled())
        return;
    RichEdit1->clear();
}

void TdlgSearch::ActionList1Update() {
    const bool Running = FJob->Running();
    aSearch->setEnabled(FHasPhrases && !Running);
    aClearMemo->setEnabled(!RichEdit1->document()->isEmpty() && !Running);
    aAddHistItem->setEnabled(!Running && !cbPhraseHistory->currentText().trimmed().isEmpty());
    aCancel->setEnabled(Running);
    aInterrupt->setEnabled(Running && FJob->Kind() == opSearchText &&
                           !FSearchOptions->MediaIds().isEmpty());
    RichEdit1->setReadOnly(Running);
    gbOptions->setEnabled(!Running);
    cbPhraseHistory->setEnabled(!Running);
}

// ---------------------------------------------------------------------------
// Showing and closing

void TdlgSearch::showEvent(QShowEvent* Event) {
    TUTCDialog::showEvent(Event);
    if (!Event->spontaneous())
        FormShow();
}

void TdlgSearch::FormShow() {
    QString HistoryError;
    LoadHistory(HistoryError);
    ResetSearch();
    FQueryResult = FShowTarget;
    if (FQueryResult) {
        const QString Caption = FQueryResult->windowTitle();
        cbSource->setItemText(1, QStringLiteral("All records on \"%1\"").arg(Caption));
        cbSource->setItemText(2, QStringLiteral("Selected records on \"%1\"").arg(Caption));
        cbSource->setEnabled(true);
        cbDestination->setItemText(1, QStringLiteral("Put to \"%1\"").arg(Caption));
        cbDestination->setEnabled(true);
        if (FQueryResult->ChangeSearch() && FQueryResult->SearchOptions() != nullptr) {
            FSearchOptions->Assign(*FQueryResult->SearchOptions());
            cbSource->setCurrentIndex(ssAll);
            cbDestination->setCurrentIndex(sdActiveForm);
            (FSearchOptions->Mode() == smAllOf ? rbAllOf : rbAnyOf)->setChecked(true);
            RichEdit1->setPlainText(FSearchOptions->Phrases().join(QLatin1Char('\n')));
        }
    } else {
        cbSource->setCurrentIndex(ssAll);
        cbSource->setEnabled(false);
        cbDestination->setCurrentIndex(sdNewForm);
        cbDestination->setEnabled(false);
    }
    if (!HistoryError.isEmpty())
        SetPanel(pnStatus, HistoryError);
    RichEdit1->setFocus();
    ActionList1Update();
}

void TdlgSearch::done(int Result) {
    const bool Running = FJob->Running();
    CancelJobs();
    FPhase = spIdle;
    if (Running)
        SetScreenCursor(crDefault);
    TUTCDialog::done(Result);
}

// ---------------------------------------------------------------------------
// Keys

bool TdlgSearch::HandleKey(QKeyEvent* Event) {
    const int Key = Event->key();
    if ((Key == Qt::Key_Return || Key == Qt::Key_Enter) &&
        Event->modifiers().testFlag(Qt::ControlModifier)) {
        if (aSearch->isEnabled())
            aSearch->trigger();
        return true;
    }
    if (Key == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
        if (aCancel->isEnabled())
            aCancel->trigger();
        else
            reject();
        return true;
    }
    return false;
}

bool TdlgSearch::eventFilter(QObject* Watched, QEvent* Event) {
    if (Event->type() == QEvent::ShortcutOverride || Event->type() == QEvent::KeyPress) {
        auto* Key = static_cast<QKeyEvent*>(Event);
        const bool Ours = Key->key() == Qt::Key_Escape ||
                          ((Key->key() == Qt::Key_Return || Key->key() == Qt::Key_Enter) &&
                           Key->modifiers().testFlag(Qt::ControlModifier));
        // A drop-down list that is open keeps its Esc.
        const auto* Combo = qobject_cast<const QComboBox*>(Watched);
        if (Ours && !(Combo != nullptr && Combo->view() != nullptr && Combo->view()->isVisible())) {
            if (Event->type() == QEvent::ShortcutOverride) {
                Event->accept();
                return false;
            }
            if (HandleKey(Key))
                return true;
        }
    }
    return TUTCDialog::eventFilter(Watched, Event);
}

void TdlgSearch::keyPressEvent(QKeyEvent* Event) {
    if (HandleKey(Event)) {
        Event->accept();
        return;
    }
    TUTCDialog::keyPressEvent(Event);
}

// ---------------------------------------------------------------------------
// Searching

void TdlgSearch::aSearchExecute() {
    if (!aSearch->isEnabled())
        return;
    ResetSearch();
    SaveHistory(FSearchOptions->Phrases());
    FSearchOptions->SetMode(rbAllOf->isChecked() ? smAllOf : smAnyOf);
    FSearchOptions->SetSource(TSearchSource(qBound(0, cbSource->currentIndex(), 2)));
    FSearchOptions->SetDestination(TSearchDestination(qBound(0, cbDestination->currentIndex(), 1)));
    FSearched = 0;
    FTotal = 0;
    FPhase = spCollecting;
    SetScreenCursor(crAppStart);
    if (FSearchOptions->Source() == ssAll) {
        FSearchOptions->MediaIds().clear();
        SetPanel(pnStatus, QStringLiteral("Getting all records.."));
        StartJob(opSQLExecute);
    } else {
        if (FQueryResult)
            FQueryResult->GetMediaIds(FSearchOptions->MediaIds(), 0,
                                      FSearchOptions->Source() == ssSelected);
        else
            FSearchOptions->MediaIds().clear();
        SetPanel(pnTotal, QString::number(FSearchOptions->MediaIds().size()));
        StartSearch();
    }
    ActionList1Update();
}

void TdlgSearch::ConnectJob() {
    FJob = new TJobHandle(this);
    connect(FJob, &TJobHandle::Rows, this, &TdlgSearch::CollectIds);
    connect(FJob, &TJobHandle::SearchProgress, this, &TdlgSearch::SearchProgress);
    connect(FJob, &TJobHandle::Finished, this, [this] {
        if (FPhase == spCollecting)
            StartSearch();
        else
            JobDone();
    });
    connect(FJob, &TJobHandle::Failed, this, &TdlgSearch::ShowSearchError);
    connect(FJob, &TJobHandle::ConnectionLost, this,
            [this] { ShowSearchError(QStringLiteral("The connection to the server was lost")); });
    // However the job ends or waits, the commands follow it, once the
    // handling above is done with it.
    auto* Update = new QTimer(this);
    Update->setSingleShot(true);
    Update->setInterval(0);
    connect(Update, &QTimer::timeout, this, &TdlgSearch::ActionList1Update);
    const auto Schedule = [Update] { Update->start(); };
    for (auto Signal : {&TJobHandle::WaitingForServer, &TJobHandle::Started, &TJobHandle::Finished,
                        &TJobHandle::Cancelled})
        connect(FJob, Signal, Update, Schedule);
    connect(FJob, &TJobHandle::Failed, Update, Schedule);
    connect(FJob, &TJobHandle::ConnectionLost, Update, Schedule);
}

void TdlgSearch::StartJob(Operation Kind) {
    try {
        if (Kind == opSQLExecute)
            FJob->Start(opSQLExecute, TSearchOptions::AllIMQuery());
        else
            FJob->Start(*FSearchOptions);
    } catch (const std::exception&) {
        // The failure has been shown through the job's Failed.
    }
    ActionList1Update();
}

void TdlgSearch::CancelJobs() {
    try {
        FJob->Cancel();
    } catch (const EDllException&) {
        // The job is freed here whatever the server was told; a server
        // that did not hear of it sends results nobody takes any more.
    }
}

void TdlgSearch::ShowSearchError(const QString& Text) {
    ShowCounters(true);
    CancelJobs();
    FPhase = spIdle;
    SetScreenCursor(crDefault);
    const QString Shown = Text.isEmpty() ? QStringLiteral("Error") : Text;
    SetPanel(pnStatus, Shown);
    ActionList1Update();
    TVQMessageBox::Show(this, QMessageBox::Warning, QStringLiteral("Warning"), Shown,
                        QMessageBox::Ok);
}

void TdlgSearch::aInterruptExecute() {
    if (!aInterrupt->isEnabled())
        return;
    CancelJobs();
    FTotal = FSearched;
    JobDone();
}

void TdlgSearch::aCancelExecute() {
    if (!aCancel->isEnabled())
        return;
    CancelJobs();
    FPhase = spIdle;
    ResetSearch();
    FSearchOptions->MediaIds().clear();
    SetScreenCursor(crDefault);
    SetPanel(pnStatus, QStringLiteral("Canceled"));
    ActionList1Update();
}

// ---------------------------------------------------------------------------
// Window messages

bool TdlgSearch::event(QEvent* Event) {
    if (int(Event->type()) == WM_SEARCH_SHOWRESULT) {
        WMShowResult();
        return true;
    }
    return TUTCDialog::event(Event);
}

void TdlgSearch::CollectIds(const IPC_DA_DBClient::TSelectResult& Result) {
    if (FPhase != spCollecting)
        return;
    QList<quint32>& Ids = FSearchOptions->MediaIds();
    for (quint32 R = 0; R < Result.rows.rows_len; ++R) {
        const IPC_DA_DBClient::TSelectRow& Row = Result.rows.rows_val[R];
        quint32 Id = 0;
        if (Row.cols.cols_len > 0 && ParseMediaId(Row.cols.cols_val[0].value, Id))
            Ids.append(Id);
    }
    ShowCounters(!Result.hasMore);
}

void TdlgSearch::StartSearch() {
    FSearched = 0;
    FTotal = quint32(FSearchOptions->MediaIds().size());
    if (FTotal == 0) {
        // Nothing to search: nothing is searched and nothing is shown.
        SetPanel(pnStatus, QStringLiteral("Done"));
        JobDone();
        return;
    }
    FPhase = spSearching;
    SetPanel(pnStatus, QStringLiteral("Searching.."));
    SetProgress(0, FTotal);
    // The job takes the ids over; the list then collects the hits.
    StartJob(opSearchText);
}

void TdlgSearch::SearchProgress(const IPC_DA_DBClient::TSearchProcess& Result) {
    if (FPhase != spSearching)
        return;
    FSearched = Result.searched;
    QList<quint32>& Found = FSearchOptions->MediaIds();
    if (Result.recs.recs_val != nullptr)
        for (quint32 I = 0; I < Result.recs.recs_len; ++I)
            Found.append(Result.recs.recs_val[I]);
    // A server that counts past the records sent has still searched them
    // all; waiting for the exact count would wait for ever.
    const bool All = FSearched >= FTotal;
    if (All)
        FSearched = FTotal;
    ShowCounters(All);
    if (All) {
        FPhase = spFinished;
        FJob->Complete();
        SetPanel(pnStatus, QStringLiteral("Done"));
    }
    ActionList1Update();
}

void TdlgSearch::JobDone() {
    ShowCounters(true);
    CancelJobs();
    FPhase = spIdle;
    SetScreenCursor(crDefault);
    if (!FSearchOptions->MediaIds().isEmpty() && FSearched == FTotal) {
        accept();
        PostDBMessage(TWindowHandle(this), WM_SEARCH_SHOWRESULT);
    }
    ActionList1Update();
}

void TdlgSearch::WMShowResult() {
    TfrmQueryResult* Target = FQueryResult.data();
    if (FSearchOptions->Destination() == sdNewForm || Target == nullptr) {
        if (FNewWindow) {
            Target = FNewWindow();
        } else {
            Target = new TfrmQueryResult;
            Target->setAttribute(Qt::WA_DeleteOnClose);
            Target->show();
        }
    }
    Target->ShowSearchResult(*FSearchOptions);
}
