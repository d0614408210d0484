// What a result window hands to others: evidence packages of its records,
// the list of its visible rows as CSV, and the time zone its times are in.
#include "QueryResult.h"

#include "Csv.h"
#include "EvidenceRun.h"
#include "LocalTime.h"
#include "Main.h"
#include "ResultModels.h"
#include "VQFileDialog.h"
#include "VQMessageBox.h"
#include "ViewerFiles.h"

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QRegularExpression>
#include <QTimer>

// The glyphs live in this static library; they must be registered before
// first use, outside any namespace.
static void InitExportIcons() {
    Q_INIT_RESOURCE(export_icons);
}

namespace {

// How often the zone panel looks whether daylight time began or ended.
constexpr int ZoneRefreshMs = 60 * 1000;

// A file name made of the window's title: nothing a file system refuses.
QString ProposedName(const QString& Title, const QString& Suffix) {
    QString Name = Title.trimmed();
    static const QRegularExpression Unsafe(QStringLiteral("[\\\\/:*?\"<>|\\x00-\\x1f]"));
    Name.replace(Unsafe, QStringLiteral("_"));
    if (Name.isEmpty())
        Name = QStringLiteral("Query result");
    return Name + Suffix;
}

} // namespace

// ---------------------------------------------------------------------------
// Actions and the zone panel

void TfrmQueryResult::CreateExportActions() {
    InitExportIcons();
    aExportEvidence = new QAction(QStringLiteral("Export evidence..."), this);
    aExportEvidence->setObjectName(QStringLiteral("aExportEvidence"));
    aExportEvidence->setToolTip(
        QStringLiteral("Export the marked or selected records as an evidence package"));
    aExportEvidence->setStatusTip(aExportEvidence->toolTip());
    aExportEvidence->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    aExportEvidence->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    aExportEvidence->setIcon(QIcon(QStringLiteral(":/export/icons/package-x-generic.png")));
    addAction(aExportEvidence);
    connect(aExportEvidence, &QAction::triggered, this, &TfrmQueryResult::aExportEvidenceExecute);

    aExportList = new QAction(QStringLiteral("Export list..."), this);
    aExportList->setObjectName(QStringLiteral("aExportList"));
    aExportList->setToolTip(QStringLiteral("Save the listed records as a CSV file"));
    aExportList->setStatusTip(aExportList->toolTip());
    aExportList->setIcon(QIcon(QStringLiteral(":/export/icons/x-office-spreadsheet.png")));
    addAction(aExportList);
    connect(aExportList, &QAction::triggered, this, &TfrmQueryResult::aExportListExecute);

    FZoneTimer = new QTimer(this);
    FZoneTimer->setInterval(ZoneRefreshMs);
    connect(FZoneTimer, &QTimer::timeout, this, &TfrmQueryResult::UpdateZonePanel);
    FZoneTimer->start();
}

void TfrmQueryResult::UpdateZonePanel() {
    TStatusPanel* Panel = StatusPanels.value(4);
    if (Panel == nullptr)
        return;
    const QString Text = ZoneCaption();
    if (Panel->Text() == Text)
        return;
    Panel->SetText(Text);
    Panel->setAccessibleName(Text);
    Panel->setToolTip(QStringLiteral("Dates and times in the list are in this time zone"));
    Panel->setFixedWidth(Panel->fontMetrics().horizontalAdvance(Text) + 16);
    // The column's tool tip names the zone too.
    if (FListModel != nullptr)
        emit FListModel->headerDataChanged(Qt::Horizontal, 0, 0);
}

// ---------------------------------------------------------------------------
// Evidence packages

QList<quint32> TfrmQueryResult::ExportRecordIds() const {
    // The marks are what the viewers show; a selection beyond them (rows of
    // several kinds, which marks never span) is what the operator pointed
    // at. The package holds both.
    QList<quint32> Ids;
    for (quint32 Row : FVisibleItems) {
        const TViewItem& Item = FAllItems[int(Row)];
        if (Item.Marked() || Item.Selected())
            Ids.append(Item.MediaId());
    }
    return Ids;
}

bool TfrmQueryResult::EvidenceJobRunning() const {
    return FEvidence && FEvidence->JobRunning();
}

namespace {

// A record as the window's rows of it describe it: the visible row and its
// neighbours of the same media id.
TEvidenceRecord RecordOfRows(const TViewItemList& Items, int Row) {
    const quint32 Id = Items[Row].MediaId();
    int First = Row;
    while (First > 0 && Items[First - 1].MediaId() == Id)
        --First;
    int Last = Row;
    while (Last + 1 < Items.Count() && Items[Last + 1].MediaId() == Id)
        ++Last;
    TEvidenceRecord Record;
    Record.MediaId = Id;
    Record.MediaType = Items[Row].MediaType();
    Record.GCID = Items.GCID(Row);
    Record.TimeStamp = Items[Row].TimeStamp();
    Record.FileExtension = Items.FileExtension(Row);
    Record.ShownTime = Items.DateTimeStr(Row);
    for (int I = First; I <= Last; ++I) {
        TEvidenceParticipant P;
        P.Name = Items.Name(I);
        P.Role = Items[I].Role();
        P.UserID = Items[I].UserID();
        P.GroupID = Items[I].GroupID();
        Record.Participants.append(P);
    }
    return Record;
}

} // namespace

void TfrmQueryResult::aExportEvidenceExecute() {
    if (FEvidence)
        return;
    const QList<quint32> Ids = ExportRecordIds();
    if (Ids.isEmpty()) {
        TVQMessageBox::ShowError(this, QStringLiteral("Mark or select the records to export."));
        return;
    }
    TFileDialogRequest Request;
    Request.Title = QStringLiteral("Export evidence");
    Request.Filter = QStringLiteral("Evidence packages (*.zip)|*.zip");
    Request.DefaultExt = QStringLiteral("zip");
    Request.FileName = ProposedName(windowTitle(), QStringLiteral(" evidence.zip"));
    const QString FileName = TVQFileDialog::GetSaveFileName(this, Request);
    if (FileName.isEmpty())
        return;
    ExportEvidence(Ids, FileName);
}

void TfrmQueryResult::ExportEvidence(const QList<quint32>& Ids, const QString& FileName) {
    if (FEvidence)
        return;
    // What the list says about the records now; a refresh meanwhile
    // changes nothing in the package.
    QHash<quint32, TEvidenceRecord> Records;
    for (quint32 Id : Ids) {
        const int Position = ViewItemByMediaID(Id);
        if (Position >= 0)
            Records.insert(Id, RecordOfRows(FAllItems, int(FVisibleItems[size_t(Position)])));
    }
    FEvidence = std::make_unique<TEvidenceRun>(*this, std::move(Records), FileName);
    ActionList1Update();
    try {
        FEvidence->Start(Ids);
    } catch (const EEvidenceError& E) {
        FEvidence.reset();
        ActionList1Update();
        TVQMessageBox::ShowError(
            this, QStringLiteral("The evidence package was not written: %1").arg(E.Message()));
    }
}

void TfrmQueryResult::EvidenceFinished() {
    FLastEvidence =
        std::make_unique<TEvidenceResult>(FEvidence ? FEvidence->Result() : TEvidenceResult());
    // Called by the run itself: it goes once it has returned.
    TEvidenceRun* Run = FEvidence.get();
    QTimer::singleShot(0, this, [this, Run] {
        if (FEvidence.get() == Run)
            FEvidence.reset();
        ActionList1Update();
        emit EvidenceExported();
    });
}

// ---------------------------------------------------------------------------
// The list as CSV

QByteArray TfrmQueryResult::ListCsv() const {
    QByteArray Out(CsvByteOrderMark);
    Out += CsvLine({QStringLiteral("Date and time (local)"), QStringLiteral("Time zone"),
                    QStringLiteral("UTC offset"), QStringLiteral("Date and time (UTC)"),
                    QStringLiteral("Participants"), QStringLiteral("Global Call ID"),
                    QStringLiteral("Media type"), QStringLiteral("Media ID"),
                    QStringLiteral("File extension")});
    const QString Zone = LocalZoneName();
    for (quint32 Row : FVisibleItems) {
        const TEvidenceRecord Record = RecordOfRows(FAllItems, int(Row));
        const qint64 When = Record.TimeStamp;
        // The offset as "UTC+02:00": a cell of the program's own never
        // begins like a formula.
        Out += CsvLine({PlainLocal(When), GuardedCell(Zone),
                        QStringLiteral("UTC") + UtcOffsetText(LocalOffsetAt(When)), PlainUtc(When),
                        GuardedCell(Record.ParticipantsText()), GuardedCell(Record.GCID),
                        MediaTypeName(Record.MediaType), QString::number(Record.MediaId),
                        GuardedCell(Record.FileExtension)});
    }
    return Out;
}

void TfrmQueryResult::aExportListExecute() {
    if (FVisibleItems.empty())
        return;
    TFileDialogRequest Request;
    Request.Title = QStringLiteral("Export list");
    Request.Filter = QStringLiteral("CSV files (*.csv)|*.csv");
    Request.DefaultExt = QStringLiteral("csv");
    Request.FileName = ProposedName(windowTitle(), QStringLiteral(".csv"));
    const QString FileName = TVQFileDialog::GetSaveFileName(this, Request);
    if (FileName.isEmpty())
        return;
    SetScreenCursor(crHourGlass);
    QString Error;
    const bool Written = viewer_files::SaveUserFile(FileName, ListCsv(), &Error);
    SetScreenCursor(crDefault);
    if (!Written)
        TVQMessageBox::ShowError(this, QStringLiteral("The list was not saved. %1").arg(Error));
}
