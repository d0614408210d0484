#include "ConditionEditors.h"

#include "CADSearchDlg.h"
#include "DTDialog.h"
#include "GlobalCallerIDDlg.h"
#include "QueryBuilder.h"
#include "QueryLines.h"
#include "TimeDlg.h"
#include "VQQuery.h"

#include <QAction>
#include <QMenu>
#include <QPointer>

namespace {

// The media types in menu order, with the captions their conditions get.
struct TMediaItem {
    TConditionKind Kind;
    const char* Caption;
};
constexpr TMediaItem MediaItems[] = {
    {ckIM, "instant messages"},
    {ckRVM, "call recording"},
    {ckVM, "voice mail && personal call recording "},
    {ckFaxes, "faxes"},
};

struct TTailItem {
    TConditionKind Kind;
    const char* Caption;
};
constexpr TTailItem TailItems[] = {
    {ckParticipants, "Participants"},  {ckTimeSpan, "Time Span"},
    {ckTimeFrame, "Daily Time Frame"}, {ckGCID, "Global Caller ID"},
    {ckCAD, "Call Attached Data"},
};

QAction* AddKindItem(QMenu& Popup, TConditionKind Kind, const char* Caption) {
    QAction* Item = Popup.addAction(QString::fromLatin1(Caption));
    Item->setObjectName(QStringLiteral("MI%1").arg(int(Kind)));
    Item->setData(int(Kind));
    return Item;
}

TParticipantRole NextRole(TParticipantRole Role) {
    switch (Role) {
    case prAny:
        return prCaller;
    case prCaller:
        return prRecipient;
    case prRecipient:
        return prSupervisor;
    default:
        return prAny;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// TAQConditionEditor

TAQConditionEditor::TAQConditionEditor(TdlgQueryBuilder& Builder, TAQCondition& Condition)
    : FCondition(Condition), FBuilder(Builder) {}

TAQConditionEditor::~TAQConditionEditor() = default;

TVQQuery* TAQConditionEditor::Query() const {
    return FCondition.Query();
}

void TAQConditionEditor::Edit(const QPoint& ScreenPos) {
    TVQQuery* Owner = Query();
    if (Owner != nullptr && Owner->ListBox() != nullptr)
        DoEdit(ScreenPos);
}

void TAQConditionEditor::Notify() {
    if (TVQQuery* Owner = Query(); Owner != nullptr && Owner->ListBox() != nullptr)
        Owner->ListBox()->Repaint();
}

// ---------------------------------------------------------------------------
// Popups

void TAQConditionPopup::DoEdit(const QPoint& ScreenPos) {
    QMenu Popup(&Builder());
    Popup.setObjectName(QStringLiteral("FPopup"));
    FillPopup(Popup);
    // The choice is acted on once the menu is closed, so that what it
    // raises reaches the builder's error handling, not the menu's.
    QPointer<QAction> Chosen(Popup.exec(ScreenPos));
    if (Chosen && Chosen->isEnabled() && Chosen->data().isValid())
        ItemClick(Chosen);
}

void TAQConditionPopup::FillPopup(QMenu& Popup) {
    Popup.addSeparator();
    QAction* Cancel = Popup.addAction(QStringLiteral("Cancel"));
    Cancel->setObjectName(QStringLiteral("MICancel"));
}

void TTypePopup::FillPopup(QMenu& Popup) {
    const int Position = Condition().Index();
    for (const TMediaItem& Media : MediaItems) {
        QAction* Item = AddKindItem(Popup, Media.Kind, Media.Caption);
        Item->setCheckable(true);
        Item->setChecked(Query()->MediaTypeExists(Media.Kind, Position));
    }
    TAQConditionPopup::FillPopup(Popup);
}

void TTypePopup::ItemClick(QAction* Item) {
    const auto Kind = TConditionKind(Item->data().toInt());
    const int Position = Condition().Index();
    const bool Present = Query()->MediaTypeExists(Kind, Position);
    if (Item->isChecked() != Present)
        Query()->AddDeleteMediaType(Kind, Position);
}

void TTailPopup::FillPopup(QMenu& Popup) {
    const quint8 QueryID = Condition().CIDQueryID();
    for (const TTailItem& Tail : TailItems) {
        QAction* Item = AddKindItem(Popup, Tail.Kind, Tail.Caption);
        if (Tail.Kind == ckParticipants || Tail.Kind == ckCAD)
            Item->setEnabled(!Query()->KindExists(KindSet({Tail.Kind}), QueryID));
        if (Tail.Kind == ckGCID) {
            Item->setCheckable(true);
            Item->setChecked(Query()->KindExists(KindSet({ckGCID}), QueryID));
        }
    }
    TAQConditionPopup::FillPopup(Popup);
}

void TTailPopup::ItemClick(QAction* Item) {
    const int Position = Condition().Index();
    switch (TConditionKind(Item->data().toInt())) {
    case ckParticipants:
        Query()->AddCondition(QStringLiteral("Participants"), Query()->QueryIDAt(Position), 4,
                              ckParticipants, QStringLiteral("(add)"), nullptr, 0);
        break;
    case ckTimeSpan:
        Query()->AddTimeSpan(Position);
        break;
    case ckTimeFrame:
        Query()->AddTimeFrame(Position);
        break;
    case ckGCID:
        Builder().ToggleGCID(Position);
        break;
    case ckCAD:
        Builder().AddCADWithDialog(Position);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Editors

void TUserEditor::DoEdit(const QPoint&) {
    Builder().InsertSelectedUsers(Condition().Index());
}

void TRoleEditor::DoEdit(const QPoint&) {
    TParticipantRole Role = Condition().Role();
    // A supervisor the query does not allow is passed over at once.
    do {
        Role = NextRole(Role);
        Condition().SetRole(Role);
    } while (Role == prSupervisor && Condition().HasError());
    // A participant with a role of its own is joined to the one before by
    // "or", as after an insertion or an operator switch.
    Query()->NormalizeOperators(Condition().CIDQueryID());
    Notify();
}

void TDateTimeEditor::DoEdit(const QPoint&) {
    TDateTime Start = Condition().DTStart();
    TDateTime End = Condition().DTEnd();
    if (!EditDateTimeSpan(&Builder(), Condition().Caption(), Start, End))
        return;
    Condition().SetDTStart(Start);
    Condition().SetDTEnd(End);
    Notify();
}

void TTimeEditor::DoEdit(const QPoint&) {
    TDateTime Start = Condition().DTStart();
    TDateTime End = Condition().DTEnd();
    if (!EditTimeFrame(&Builder(), Condition().Caption(), Start, End))
        return;
    Condition().SetDTStart(Start);
    Condition().SetDTEnd(End);
}

void TIntegerEditor::DoEdit(const QPoint&) {
    QString GCID = Condition().GCID();
    if (!EditGlobalCallerID(&Builder(), Condition().Caption(), GCID))
        return;
    Condition().SetGCID(GCID);
    Notify();
}

void TCADEditor::DoEdit(const QPoint&) {
    TCADSearchCriteria Criteria = Condition().CAD();
    if (!EditCADCriteria(&Builder(), Condition().Caption(), Criteria))
        return;
    Condition().SetCAD(Criteria);
    Notify();
}

void TSuperTailPopup::DoEdit(const QPoint&) {
    Query()->AddQueryStart();
    Condition().SetPrompt(QString());
}

std::unique_ptr<TAQConditionEditor> CreateConditionEditor(TdlgQueryBuilder& Builder,
                                                          TAQCondition& Condition) {
    switch (Condition.EditorClass()) {
    case ecTypePopup:
        return std::make_unique<TTypePopup>(Builder, Condition);
    case ecTailPopup:
        return std::make_unique<TTailPopup>(Builder, Condition);
    case ecUserEditor:
        return std::make_unique<TUserEditor>(Builder, Condition);
    case ecRoleEditor:
        return std::make_unique<TRoleEditor>(Builder, Condition);
    case ecDateTimeEditor:
        return std::make_unique<TDateTimeEditor>(Builder, Condition);
    case ecTimeEditor:
        return std::make_unique<TTimeEditor>(Builder, Condition);
    case ecIntegerEditor:
        return std::make_unique<TIntegerEditor>(Builder, Condition);
    case ecCADEditor:
        return std::make_unique<TCADEditor>(Builder, Condition);
    case ecSuperTailPopup:
        return std::make_unique<TSuperTailPopup>(Builder, Condition);
    case ecNone:
        break;
    }
    return nullptr;
}
