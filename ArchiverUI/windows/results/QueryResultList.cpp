// The list side of a result window: rows arriving, the view filter, sorting,
// the tree of views with each view's memory, the selection kept in the rows,
// and the marks that decide which records the viewers open.
#include "QueryResult.h"

#include "JobHandle.h"

#include "FAXBrowser.h"
#include "MediaPlay.h"
#include "ModelErrors.h"
#include "MsgView.h"
#include "ResultListView.h"
#include "ResultModels.h"
#include "VQQuery.h"

#include <QAction>
#include <QApplication>
#include <QCollator>
#include <QCollatorSortKey>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <numeric>
#include <utility>

namespace {

// The hourglass while a long step runs; the cursor before it comes back.
class THourGlass {
public:
    THourGlass() : FSaved(ScreenCursor()) { SetScreenCursor(crHourGlass); }
    ~THourGlass() { SetScreenCursor(FSaved); }
    THourGlass(const THourGlass&) = delete;
    THourGlass& operator=(const THourGlass&) = delete;

private:
    TCursor FSaved;
};

// A mark update for the length of a scope, also when a step raises.
class TBrowseUpdate {
public:
    explicit TBrowseUpdate(TfrmQueryResult& Form) : FForm(Form) { FForm.BeginBrowseUpdate(); }
    ~TBrowseUpdate() noexcept(false) {
        if (std::uncaught_exceptions() > FExceptions) {
            try {
                FForm.EndBrowseUpdate();
            } catch (...) {
                // The error already on its way is the one the operator sees.
            }
        } else {
            FForm.EndBrowseUpdate();
        }
    }
    TBrowseUpdate(const TBrowseUpdate&) = delete;
    TBrowseUpdate& operator=(const TBrowseUpdate&) = delete;

private:
    TfrmQueryResult& FForm;
    int FExceptions = std::uncaught_exceptions();
};

const char* const MediaNodeTexts[4] = {"Instant message", "Call recording",
                                       "Voice mail & Personal call recording", "Fax"};

constexpr int ImgParticipant = 15;
constexpr int ImgAll = 16;

QString NodeKey(const TViewNode* Node) {
    if (Node == nullptr || Node->Data == nullptr || Node->Data->Kind() != ckValue)
        return QString();
    return Node->Data->UU();
}

} // namespace

// ---------------------------------------------------------------------------
// Rows

void TfrmQueryResult::ClearRows() {
    FBrowseList.clear();
    ScheduleUpdate();
    FVisibleItems = {};
    FAllItems.Clear();
    FRecordCount = 0;
    FSelCount = 0;
    FLastFound = -1;
    FHasLastVisible = false;
}

int TfrmQueryResult::AddIfVisible(int Row) {
    const TViewItem& Item = FAllItems[Row];
    if (!FCurUser.isEmpty()) {
        // An outside name the rows did not carry yet when the view was
        // chosen may come with later rows.
        if (FFilter.Kind == ukExternalAddress && FFilter.Name < 0)
            FFilter = FAllItems.Filter(FCurUser);
        if (!FAllItems.ParticipantMatches(Row, FFilter))
            return -1;
    }
    if (FCurMedia != ImgParticipant && FCurMedia != ImgAll &&
        MediaTypeOfKind(FCurMedia) != Item.MediaType())
        return -1;
    // One visible row a record. The rows of a record arrive one after
    // another, so the record last given a row is the one to compare with,
    // wherever a sort in between has put its row.
    if (FHasLastVisible && FLastVisibleId == Item.FMediaId)
        return -1;
    FVisibleItems.push_back(quint32(Row));
    FHasLastVisible = true;
    FLastVisibleId = Item.FMediaId;
    return int(FVisibleItems.size()) - 1;
}

void TfrmQueryResult::ReceiveRows(const IPC_DA_DBClient::TSelectResult& Result) {
    auto Finish = [&] {
        SetPanel(2, QString::number(FVisibleItems.size()));
        FListModel->SetRowCount(int(FVisibleItems.size()));
    };
    try {
        const int Max =
            DBConnection != nullptr ? DBConnection->MaxRecords() : TDBConnection::DefaultMaxRecords;
        std::vector<const char*> Columns;
        for (quint32 R = 0; R < Result.rows.rows_len; ++R) {
            const IPC_DA_DBClient::TSelectRow& Row = Result.rows.rows_val[R];
            Columns.assign(Row.cols.cols_len, nullptr);
            for (quint32 C = 0; C < Row.cols.cols_len; ++C)
                Columns[C] = Row.cols.cols_val[C].value;
            const int Count = int(Columns.size());
            // The limit counts records: the further participants of the
            // last record allowed still belong to it.
            const quint32 Id = TViewItemList::MediaIdOf(Columns.data(), Count);
            const bool NewRecord =
                FAllItems.Count() == 0 || FAllItems[FAllItems.Count() - 1].FMediaId != Id;
            if (NewRecord && FRecordCount >= Max)
                throw EQueryResultError(
                    QStringLiteral(
                        "Query result contains more then %1 records.\r\nPlease, refine the query.")
                        .arg(Max));
            bool RoleInvalid = false;
            qint64 Role = 0;
            const int Added = FAllItems.AddRow(Columns.data(), Count, RoleInvalid, Role);
            if (RoleInvalid)
                qWarning("\"Role\" field contains invalid data: %lld",
                         static_cast<long long>(Role));
            if (NewRecord)
                ++FRecordCount;
            AddIfVisible(Added);
        }
    } catch (...) {
        std::exception_ptr Error = std::current_exception();
        try {
            std::rethrow_exception(Error);
        } catch (const std::bad_alloc&) {
            Error = std::make_exception_ptr(EQueryResultError(
                QStringLiteral("Your computer can not allocate enough memory for query "
                               "results!\r\nPlease, refine the query or reduce value of \"Maximum "
                               "records in query result\" field in Settings dialog.")));
        } catch (...) {
            // Any other failure goes on as it is, after the clean-up below.
        }
        Finish();
        CancelCurrentJob();
        std::rethrow_exception(Error);
    }
    // Telling the list of more rows repaints all of it, so rows below the
    // screen are told in bulk a few times a second; rows that reach the
    // screen are told, and painted, at once.
    if (FListModel->RowCount() <= lvResults->TopRow() + lvResults->VisibleRowCount()) {
        FlushRowCount();
        Repaint();
    } else if (!FRowCountTimer->isActive()) {
        FRowCountTimer->start();
    }
}

void TfrmQueryResult::FlushRowCount() {
    FRowCountTimer->stop();
    SetPanel(2, QString::number(FVisibleItems.size()));
    if (FListChangeDepth == 0)
        FListModel->SetRowCount(int(FVisibleItems.size()));
}

int TfrmQueryResult::ViewItemByMediaID(quint32 MediaId) const {
    const int Count = int(FVisibleItems.size());
    if (FLastFound >= 0 && FLastFound < Count &&
        FAllItems[int(FVisibleItems[size_t(FLastFound)])].FMediaId == MediaId)
        return FLastFound;
    for (int I = 0; I < Count; ++I)
        if (FAllItems[int(FVisibleItems[size_t(I)])].FMediaId == MediaId) {
            FLastFound = I;
            return I;
        }
    return -1;
}

void TfrmQueryResult::GetMediaIds(QList<quint32>& List, int MediaType, bool SelectedOnly) const {
    List.clear();
    for (quint32 Row : FVisibleItems) {
        const TViewItem& Item = FAllItems[int(Row)];
        if (MediaType != mtUnknown && Item.MediaType() != MediaType)
            continue;
        if (SelectedOnly && !Item.Selected())
            continue;
        List.append(Item.FMediaId);
    }
}

// ---------------------------------------------------------------------------
// The list control: wholesale changes, current row, selection

void TfrmQueryResult::BeginListChange() {
    if (FListChangeDepth++ > 0)
        return;
    FRowCountTimer->stop();
    const int Current = CurrentPosition();
    FCurrentBefore = Current >= 0 ? int(FVisibleItems[size_t(Current)]) : -1;
    FSyncingSelection = true;
    FListModel->BeginReset();
}

void TfrmQueryResult::EndListChange() {
    if (--FListChangeDepth > 0)
        return;
    FListModel->SetRowCount(int(FVisibleItems.size()));
    FListModel->EndReset();
    FSyncingSelection = false;
    FLastFound = -1;
    SyncSelectionToView();
    // The current row stays on its record wherever the change put it.
    if (FCurrentBefore >= 0) {
        const auto It =
            std::find(FVisibleItems.begin(), FVisibleItems.end(), quint32(FCurrentBefore));
        if (It != FVisibleItems.end())
            SetCurrentPosition(int(It - FVisibleItems.begin()), false);
    }
    FCurrentBefore = -1;
}

int TfrmQueryResult::CurrentPosition() const {
    const QModelIndex Current = lvResults->selectionModel()->currentIndex();
    if (!Current.isValid() || Current.row() >= int(FVisibleItems.size()))
        return -1;
    return Current.row();
}

void TfrmQueryResult::SetCurrentPosition(int Position, bool Scroll) {
    if (Position < 0 || Position >= FListModel->RowCount()) {
        lvResults->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    const QModelIndex Index = FListModel->index(Position, 0);
    lvResults->selectionModel()->setCurrentIndex(Index, QItemSelectionModel::NoUpdate);
    if (Scroll)
        lvResults->scrollTo(Index);
}

void TfrmQueryResult::Repaint() {
    lvResults->viewport()->update();
}

void TfrmQueryResult::ClearSelectionFlags() {
    for (int I = 0; I < FAllItems.Count(); ++I)
        FAllItems[I].FSelected = false;
    FSelCount = 0;
    ScheduleUpdate();
}

void TfrmQueryResult::SyncSelectionToView() {
    const int Count = qMin<int>(FListModel->RowCount(), int(FVisibleItems.size()));
    QItemSelection Selection;
    int RunStart = -1;
    int Selected = 0;
    for (int I = 0; I <= Count; ++I) {
        const bool On = I < Count && FAllItems[int(FVisibleItems[size_t(I)])].FSelected;
        if (On) {
            ++Selected;
            if (RunStart < 0)
                RunStart = I;
        } else if (RunStart >= 0) {
            Selection.select(FListModel->index(RunStart, 0),
                             FListModel->index(I - 1, TResultListModel::ColumnCount - 1));
            RunStart = -1;
        }
    }
    FSyncingSelection = true;
    lvResults->selectionModel()->select(Selection, QItemSelectionModel::ClearAndSelect);
    FSyncingSelection = false;
    FSelCount = Selected;
    ScheduleUpdate();
}

void TfrmQueryResult::OnSelectionChanged(const QItemSelection& Selected,
                                         const QItemSelection& Deselected) {
    if (FSyncingSelection)
        return;
    const int Count = int(FVisibleItems.size());
    auto Apply = [&](const QItemSelection& Ranges, bool On) {
        for (const QItemSelectionRange& Range : Ranges)
            for (int Row = Range.top(); Row <= Range.bottom() && Row < Count; ++Row) {
                TViewItem& Item = FAllItems[int(FVisibleItems[size_t(Row)])];
                if (Item.FSelected == On)
                    continue;
                Item.FSelected = On;
                FSelCount += On ? 1 : -1;
            }
    };
    Apply(Deselected, false);
    Apply(Selected, true);
    if (FSelCount < 0)
        FSelCount = 0;
}

void TfrmQueryResult::SelectRows(const QList<int>& Positions) {
    for (quint32 Row : FVisibleItems)
        FAllItems[int(Row)].FSelected = false;
    for (int Position : Positions)
        if (Position >= 0 && Position < int(FVisibleItems.size()))
            FAllItems[int(FVisibleItems[size_t(Position)])].FSelected = true;
    SyncSelectionToView();
    if (!Positions.isEmpty())
        SetCurrentPosition(Positions.first(), true);
}

// ---------------------------------------------------------------------------
// Sorting

void TfrmQueryResult::SortItems() {
    if (FLastSortedColumn < 0 || FLastSortedColumn >= TResultListModel::ColumnCount)
        throw EAssertionFailed(
            QStringLiteral("SortItems: invalid sort column (%1)").arg(FLastSortedColumn),
            QStringLiteral("ArchiverUI/QueryResult"));
    BeginListChange();
    std::vector<quint32>& V = FVisibleItems;
    const bool Ascending = FSortAscending;
    if (FLastSortedColumn == TResultListModel::colDateTime) {
        // Equal times keep their arrival order in either direction.
        std::stable_sort(V.begin(), V.end(), [&](quint32 A, quint32 B) {
            const qint64 TA = FAllItems[int(A)].FTimeStamp;
            const qint64 TB = FAllItems[int(B)].FTimeStamp;
            return Ascending ? TA < TB : TB < TA;
        });
    } else {
        // Each text is made and weighed once, not at every comparison.
        QCollator Collator;
        Collator.setCaseSensitivity(Qt::CaseInsensitive);
        const bool Participants = FLastSortedColumn == TResultListModel::colParticipants;
        auto Text = [&](quint32 Row) {
            return Participants ? FAllItems.Participants(int(Row)) : FAllItems.GCID(int(Row));
        };
        std::vector<quint32> Order(V.size());
        std::iota(Order.begin(), Order.end(), 0u);
        if (Collator.locale().language() == QLocale::C) {
            // Without a language the collator compares code points, and its
            // keys would not ignore case: the texts are compared directly.
            // Folded once, the texts then compare code unit by code unit.
            std::vector<QString> Texts;
            FAllItems.FoldedTexts(V, Participants, Texts);
            std::stable_sort(Order.begin(), Order.end(), [&](quint32 A, quint32 B) {
                const int C = Texts[A].compare(Texts[B]);
                return Ascending ? C < 0 : C > 0;
            });
        } else {
            std::vector<QCollatorSortKey> Keys;
            Keys.reserve(V.size());
            for (quint32 Row : V)
                Keys.push_back(Collator.sortKey(Text(Row)));
            std::stable_sort(Order.begin(), Order.end(), [&](quint32 A, quint32 B) {
                const int C = Keys[A].compare(Keys[B]);
                return Ascending ? C < 0 : C > 0;
            });
        }
        std::vector<quint32> Sorted(V.size());
        for (size_t I = 0; I < Order.size(); ++I)
            Sorted[I] = V[Order[I]];
        V.swap(Sorted);
    }
    EndListChange();
}

void TfrmQueryResult::ColumnClick(int Column) {
    if (Column < 0 || Column >= TResultListModel::ColumnCount)
        return;
    if (Column == FLastSortedColumn)
        FSortAscending = !FSortAscending;
    else
        FLastSortedColumn = Column;
    FListModel->SortChanged();
    THourGlass Wait;
    SortItems();
    Repaint();
}

// ---------------------------------------------------------------------------
// Views

void TfrmQueryResult::ApplyViewFilter(const QString& User, int Media) {
    const int OldIndex = CurrentPosition();
    BeginListChange();
    FCurrentBefore = -1;
    ClearSelectionFlags();
    FVisibleItems.clear();
    FHasLastVisible = false;
    FCurUser = User;
    FFilter = FAllItems.Filter(User);
    FCurMedia = Media;
    for (int Row = 0; Row < FAllItems.Count(); ++Row)
        AddIfVisible(Row);
    SetPanel(2, QString::number(FVisibleItems.size()));
    EndListChange();
    const int Count = int(FVisibleItems.size());
    if (OldIndex >= 0 && Count > 0)
        SetCurrentPosition(qMin(OldIndex, Count - 1), true);
    Repaint();
}

void TfrmQueryResult::BuildViewTree() {
    FBuildingTree = true;
    FTreeModel->Clear();
    FBuildingTree = false;
    TAQCondition* Label = nullptr;
    if (TAQCondition* First = FQuery->GetCondition(0); First != nullptr && First->Kind() == ckLabel)
        Label = First;
    TViewNode* Root = FTreeModel->Add(nullptr, QStringLiteral("All"), ImgAll, Label);
    auto AddMediaNodes = [&](TViewNode* Parent, TAQCondition* Data) {
        int Text = 0;
        for (TConditionKind Kind : {ckIM, ckRVM, ckVM, ckFaxes}) {
            if (FQuery->KindExists(KindSet({Kind}), 0))
                FTreeModel->Add(Parent, QLatin1String(MediaNodeTexts[Text]), Kind, Data);
            ++Text;
        }
    };
    AddMediaNodes(Root, Label);
    QStringList Keys;
    const int First = FQuery->FindKind(KindSet({ckValue}), 0, 0);
    for (int I = First; I >= 0 && I < FQuery->Count(); ++I) {
        TAQCondition* Condition = FQuery->GetCondition(I);
        if (Condition == nullptr || Condition->Kind() != ckValue)
            continue;
        const QString Key = Condition->UU();
        if (Keys.contains(Key))
            break;
        Keys.append(Key);
        TViewNode* Node = FTreeModel->Add(Root, Condition->Caption(), ImgParticipant, Condition);
        AddMediaNodes(Node, Condition);
    }
    const QModelIndex RootIndex = FTreeModel->IndexOf(Root);
    TreeView1->expand(RootIndex);
    SelectNode(Root);
    TreeView1->scrollTo(RootIndex);
}

void TfrmQueryResult::SelectNode(const TViewNode* Node) {
    const QModelIndex Index = FTreeModel->IndexOf(Node);
    if (!Index.isValid())
        return;
    TreeView1->selectionModel()->setCurrentIndex(Index, QItemSelectionModel::ClearAndSelect);
}

void TfrmQueryResult::OnTreeCurrentChanged(const QModelIndex& Current,
                                           const QModelIndex& Previous) {
    if (FBuildingTree)
        return;
    TreeView1Changing(FTreeModel->Node(Previous));
    if (const TViewNode* Node = FTreeModel->Node(Current))
        TreeView1Change(Node);
}

TViewStorage* TfrmQueryResult::NodeMemory(const TViewNode* Node, bool Create) const {
    if (Node == nullptr || Node->Data == nullptr)
        return nullptr;
    const int Kind = Node->ImageIndex == ImgParticipant || Node->ImageIndex == ImgAll
                         ? int(ckLabel)
                         : Node->ImageIndex;
    TViewStorage* Memory = Node->Data->GetStorage(Kind);
    if (Memory == nullptr && Create) {
        TViewStorageRef Made = TViewStorageRef::Adopt(TViewStorage::Create());
        Node->Data->SetStorage(Kind, Made.get());
        Memory = Node->Data->GetStorage(Kind);
    }
    return Memory;
}

void TfrmQueryResult::TreeView1Changing(const TViewNode* Node) {
    if (TViewStorage* Memory = NodeMemory(Node, true))
        SaveView(*Memory);
}

void TfrmQueryResult::TreeView1Change(const TViewNode* Node) {
    TBrowseUpdate Update(*this);
    UnmarkAll();
    ApplyViewFilter(NodeKey(Node), Node->ImageIndex);
    if (Node->Data != nullptr)
        RestoreView(NodeMemory(Node, false));
}

void TfrmQueryResult::SaveView(TViewStorage& Memory) {
    THourGlass Wait;
    Memory.Clear();
    Memory.SetMedia(FCurMedia);
    Memory.SetUser(FCurUser);
    Memory.SetSessionID(FSessionID);
    Memory.SetItemCount(int(FVisibleItems.size()));
    const int Current = CurrentPosition();
    Memory.SetHot(Current >= 0 ? int(FAllItems[int(FVisibleItems[size_t(Current)])].FMediaId) : -1);
    Memory.SetTop(FVisibleItems.empty() ? 0 : lvResults->TopRow());
    for (quint32 Row : FVisibleItems) {
        const TViewItem& Item = FAllItems[int(Row)];
        if (!Item.FSelected && !Item.FMarked)
            continue;
        TViewItemStorage* Entry = Memory.AddItem();
        Entry->SetMediaId(Item.FMediaId);
        Entry->SetSelected(Item.FSelected);
        Entry->SetMarked(Item.FMarked);
    }
    Memory.Organize();
}

void TfrmQueryResult::RestoreView(TViewStorage* Memory) {
    SetErrorText(QString());
    FSessionID.clear();
    SetCurrentPosition(-1, false);
    ClearSelectionFlags();
    SyncSelectionToView();
    SortItems();
    if (Memory == nullptr || Memory->IsEmpty()) {
        UnmarkAll();
        ClearSelectionFlags();
        SyncSelectionToView();
        return;
    }
    int Unmatched = Memory->Count();
    {
        TBrowseUpdate Update(*this);
        THourGlass Wait;
        if (Memory == FViewStorage.get()) {
            for (const TViewNode* Node : FTreeModel->Nodes())
                if (Node->ImageIndex == Memory->Media() && NodeKey(Node) == Memory->User()) {
                    SelectNode(Node);
                    break;
                }
        }
        FSessionID = Memory->SessionID();
        int FirstSelected = -1;
        int HotPosition = -1;
        for (int I = 0; I < int(FVisibleItems.size()) && Unmatched > 0; ++I) {
            const int Row = int(FVisibleItems[size_t(I)]);
            TViewItem& Item = FAllItems[Row];
            Item.FSelected = false;
            if (Item.FMarked) {
                Item.FMarked = false;
                RemoveFromBrowseList(Row);
            }
            TViewItemStorage* Entry = nullptr;
            if (!Memory->Find(Item.FMediaId, Entry))
                continue;
            if (Entry->Marked()) {
                Item.FMarked = true;
                AddToBrowseList(Row);
            }
            if (Entry->Selected()) {
                Item.FSelected = true;
                if (FirstSelected < 0)
                    FirstSelected = I;
            }
            if (int(Item.FMediaId) == Memory->Hot())
                HotPosition = I;
            --Unmatched;
        }
        SyncSelectionToView();
        const int Count = int(FVisibleItems.size());
        bool Scrolled = false;
        if (Memory->Top() < Count && Unmatched == 0 && Memory->ItemCount() == Count) {
            lvResults->SetTopRow(Memory->Top());
            Scrolled = true;
        }
        if (FirstSelected >= 0) {
            SetCurrentPosition(HotPosition >= 0 ? HotPosition : FirstSelected, false);
            if (!Scrolled)
                lvResults->scrollTo(FListModel->index(FirstSelected, 0));
        }
    }
    if (Unmatched > 0)
        SetErrorText(QStringLiteral("Some records of previous view are not found."));
    Memory->Clear();
    Repaint();
}

// ---------------------------------------------------------------------------
// Marks

void TfrmQueryResult::AddToBrowseList(int Row) {
    const quint32 Id = FAllItems[Row].FMediaId;
    const auto At = std::upper_bound(
        FBrowseList.begin(), FBrowseList.end(), Id,
        [&](quint32 Key, quint32 Other) { return Key < FAllItems[int(Other)].FMediaId; });
    FBrowseList.insert(At, quint32(Row));
    ScheduleUpdate();
}

void TfrmQueryResult::RemoveFromBrowseList(int Row) {
    const auto It = std::find(FBrowseList.begin(), FBrowseList.end(), quint32(Row));
    if (It != FBrowseList.end())
        FBrowseList.erase(It);
    ScheduleUpdate();
}

int TfrmQueryResult::FirstMarkedType() const {
    return FBrowseList.empty() ? -1 : FAllItems[int(FBrowseList.front())].MediaType();
}

void TfrmQueryResult::SetMarked(int Row, bool Value) {
    if (Row < 0 || Row >= FAllItems.Count())
        return;
    TViewItem& Item = FAllItems[Row];
    if (Value) {
        if (Item.FMarked)
            return;
        const int Type = Item.MediaType();
        if (Type == mtCallRec || Type == mtVM || Type == mtFax ||
            (!FBrowseList.empty() && FirstMarkedType() != Type))
            UnmarkAll();
        Item.FMarked = true;
        AddToBrowseList(Row);
        FBrowsingChanged = true;
        return;
    }
    if (!Item.FMarked)
        return;
    Item.FMarked = false;
    RemoveFromBrowseList(Row);
    if (FBUCount > 0)
        FBrowsingChanged = true;
    else
        UpdateBrowse();
}

void TfrmQueryResult::UnmarkAll() {
    for (quint32 Row : FBrowseList)
        FAllItems[int(Row)].FMarked = false;
    FBrowseList.clear();
    ScheduleUpdate();
}

void TfrmQueryResult::BeginBrowseUpdate() {
    ++FBUCount;
}

void TfrmQueryResult::EndBrowseUpdate() {
    if (FBUCount > 0)
        --FBUCount;
    if (FBUCount == 0 && FBrowsingChanged) {
        FBrowsingChanged = false;
        UpdateBrowse();
    }
}

void TfrmQueryResult::BrowseSelection() {
    const int Current = CurrentPosition();
    FSessionID =
        Current >= 0 ? FAllItems.SessionID(int(FVisibleItems[size_t(Current)])) : QString();
    {
        TBrowseUpdate Update(*this);
        if (FSelCount == 1) {
            int Position = Current >= 0 && FAllItems[int(FVisibleItems[size_t(Current)])].FSelected
                               ? Current
                               : -1;
            for (int I = 0; Position < 0 && I < int(FVisibleItems.size()); ++I)
                if (FAllItems[int(FVisibleItems[size_t(I)])].FSelected)
                    Position = I;
            if (Position >= 0) {
                const int Row = int(FVisibleItems[size_t(Position)]);
                MarkSession(Position, FAllItems.SessionID(Row),
                            qint64(FMsgViewer->SessionDuration()) * 60, FAllItems[Row].FTimeStamp);
            }
        } else {
            MarkSelected();
        }
    }
    Repaint();
}

void TfrmQueryResult::MarkSession(int Position, const QString& Session, qint64 Seconds,
                                  qint64 Time) {
    if (Position < 0 || Position >= int(FVisibleItems.size()))
        return;
    UnmarkAll();
    FBrowsingChanged = true;
    const int First = int(FVisibleItems[size_t(Position)]);
    SetMarked(First, true);
    // The conversation around a message: the later messages of the same
    // two parties within the minutes the message view asks for, unless it
    // asks for the selected message alone.
    if (FAllItems[First].MediaType() != mtIM || !FMsgViewer->SessionMode())
        return;
    const int Type = FirstMarkedType();
    for (int I = Position + 1; I < int(FVisibleItems.size()); ++I) {
        const int Row = int(FVisibleItems[size_t(I)]);
        const TViewItem& Item = FAllItems[Row];
        if (Item.FTimeStamp >= Time + Seconds)
            break;
        if (Item.MediaType() == Type && FAllItems.SessionID(Row) == Session)
            SetMarked(Row, true);
    }
}

void TfrmQueryResult::MarkSelected() {
    THourGlass Wait;
    UnmarkAll();
    FBrowsingChanged = true;
    int FirstSelected = -1;
    for (int I = 0; I < int(FVisibleItems.size()); ++I)
        if (FAllItems[int(FVisibleItems[size_t(I)])].FSelected) {
            FirstSelected = int(FVisibleItems[size_t(I)]);
            break;
        }
    if (FirstSelected < 0)
        return;
    const int FirstType = FAllItems[FirstSelected].MediaType();
    if (FirstType == mtCallRec || FirstType == mtVM || FirstType == mtFax) {
        SetMarked(FirstSelected, true);
        return;
    }
    for (quint32 Row : FVisibleItems) {
        TViewItem& Item = FAllItems[int(Row)];
        if (!Item.FSelected)
            continue;
        if (FBrowseList.empty() || Item.MediaType() == FirstMarkedType()) {
            Item.FMarked = true;
            AddToBrowseList(int(Row));
        }
    }
}

void TfrmQueryResult::aSelectAllExecute() {
    THourGlass Wait;
    for (quint32 Row : FVisibleItems)
        FAllItems[int(Row)].FSelected = true;
    SyncSelectionToView();
    BrowseSelection();
}

void TfrmQueryResult::aMarkAllExecute() {
    {
        TBrowseUpdate Update(*this);
        for (quint32 Row : FVisibleItems) {
            TViewItem& Item = FAllItems[int(Row)];
            if (Item.FMarked)
                continue;
            Item.FMarked = true;
            AddToBrowseList(int(Row));
        }
    }
    Repaint();
}

void TfrmQueryResult::aUnmarkAllExecute() {
    if (FJob->Running() && FJob->Kind() == opDownload)
        CancelCurrentJob();
    {
        TBrowseUpdate Update(*this);
        UnmarkAll();
    }
    Repaint();
}

// ---------------------------------------------------------------------------
// Mouse and keys

void TfrmQueryResult::lvResultsMouseDown(QMouseEvent* Event) {
    FStateClick = false;
    if (Event->button() == Qt::RightButton) {
        const QPoint At = Event->position().toPoint();
        PostDBMessage(TWindowHandle(this), WM_SHOW_POPUP, quintptr(quint32(At.x())),
                      quintptr(quint32(At.y())));
        return;
    }
    const int Position = lvResults->StateImageRowAt(Event->position().toPoint());
    if (Position >= 0 && Position < int(FVisibleItems.size())) {
        FStateClick = true;
        const int Row = int(FVisibleItems[size_t(Position)]);
        {
            TBrowseUpdate Update(*this);
            SetMarked(Row, !FAllItems[Row].FMarked);
        }
        Repaint();
    }
}

void TfrmQueryResult::lvResultsMouseUp(QMouseEvent* Event) {
    if (Event->button() == Qt::RightButton)
        return;
    // The selection is final once the button is up. The release of a
    // double-click changed nothing the first click had not: browsing again
    // would cancel the download the double-click started.
    if (!FStateClick && !std::exchange(FDoubleClicked, false))
        BrowseSelection();
    FStateClick = false;
    Repaint();
}

void TfrmQueryResult::lvResultsDblClick(QMouseEvent* Event) {
    FDoubleClicked = Event->button() == Qt::LeftButton;
    if (Event->button() != Qt::LeftButton ||
        lvResults->StateImageRowAt(Event->position().toPoint()) >= 0)
        return;
    if (FBrowseList.empty() || !aBrowseBlob->isEnabled())
        return;
    switch (FirstMarkedType()) {
    case mtIM: {
        const bool Was = aBrowseBlob->isChecked();
        aBrowseBlob->setChecked(true);
        if (!Was)
            Browse(true);
        break;
    }
    case mtCallRec:
    case mtVM:
        aBrowseBlob->setChecked(true);
        if (!FMediaPlayer->Autostart() && FMediaPlayer->aPlay != nullptr)
            FMediaPlayer->aPlay->trigger();
        break;
    case mtFax:
        aBrowseBlob->setChecked(true);
        FFAXBrowser->SetAutoOpen(true);
        break;
    default:
        break;
    }
    ShowMarked();
}

bool TfrmQueryResult::lvResultsKeyDown(QKeyEvent* Event) {
    // The list's own select-all would leave the marks behind.
    if (Event->matches(QKeySequence::SelectAll)) {
        aSelectAll->trigger();
        return true;
    }
    switch (Event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (aBrowseBlob->isEnabled())
            aBrowseBlob->trigger();
        else
            QApplication::beep();
        return true;
    case Qt::Key_Menu:
        PopupMenu1->popup(lvResults->mapToGlobal(QPoint(0, 0)));
        return true;
    default:
        if (ViewerShown(FMediaPlayer))
            FMediaPlayer->ProcessKey(Event->key());
        return false;
    }
}

void TfrmQueryResult::lvResultsKeyUp(QKeyEvent* Event) {
    switch (Event->key()) {
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_End:
    case Qt::Key_Home:
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (!Event->isAutoRepeat())
            BrowseSelection();
        break;
    default:
        break;
    }
}
