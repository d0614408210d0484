// The editors of the query builder's conditions: each kind of condition is
// edited in place, by a popup menu at the mouse or by a small dialog.
#pragma once

#include "Conditions.h"

#include <QPoint>

#include <memory>

class QAction;
class QMenu;
class TdlgQueryBuilder;
class TVQQuery;

class TAQConditionEditor {
public:
    TAQConditionEditor(TdlgQueryBuilder& Builder, TAQCondition& Condition);
    virtual ~TAQConditionEditor();
    TAQConditionEditor(const TAQConditionEditor&) = delete;
    TAQConditionEditor& operator=(const TAQConditionEditor&) = delete;

    // Edits the condition at a point of the screen, while its query is
    // shown in a list box.
    void Edit(const QPoint& ScreenPos);

    TVQQuery* Query() const;
    TAQCondition& Condition() const { return FCondition; }
    TdlgQueryBuilder& Builder() const { return FBuilder; }

protected:
    virtual void DoEdit(const QPoint& ScreenPos) = 0;
    // Redraws the lines after a change the condition does not report itself.
    void Notify();

private:
    TAQCondition& FCondition;
    TdlgQueryBuilder& FBuilder;
};

// An editor that offers its choices in a popup menu.
class TAQConditionPopup : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
    // Fills the menu; this one ends it with a separator and "Cancel".
    virtual void FillPopup(QMenu& Popup);
    // The operator chose an item of the menu.
    virtual void ItemClick(QAction* Item) = 0;
};

// The media types, checked while the query has them.
class TTypePopup : public TAQConditionPopup {
public:
    using TAQConditionPopup::TAQConditionPopup;

protected:
    void FillPopup(QMenu& Popup) override;
    void ItemClick(QAction* Item) override;
};

// The kinds of condition that can be added at the end of the query.
class TTailPopup : public TAQConditionPopup {
public:
    using TAQConditionPopup::TAQConditionPopup;

protected:
    void FillPopup(QMenu& Popup) override;
    void ItemClick(QAction* Item) override;
};

// Adds the users selected in the user list as participants.
class TUserEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

// Steps a participant to its next role.
class TRoleEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

class TDateTimeEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

class TTimeEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

// The global caller id.
class TIntegerEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

class TCADEditor : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

// Starts a further query with its own heading and tail.
class TSuperTailPopup : public TAQConditionEditor {
public:
    using TAQConditionEditor::TAQConditionEditor;

protected:
    void DoEdit(const QPoint& ScreenPos) override;
};

// The editor of a condition's kind, or none.
std::unique_ptr<TAQConditionEditor> CreateConditionEditor(TdlgQueryBuilder& Builder,
                                                          TAQCondition& Condition);
