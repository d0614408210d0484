// What the query needs of the list box that shows its conditions. The query
// builder's list widget implements it; TConditionListModel is the plain
// in-memory list used where there is no window.
#pragma once

#include <QPoint>

class IConditionList {
public:
    virtual ~IConditionList() = default;

    virtual int ItemCount() const = 0;
    virtual void SetItemCount(int Value) = 0;
    // Selected position, -1 for none.
    virtual int ItemIndex() const = 0;
    virtual void SetItemIndex(int Value) = 0;
    // Draws every line again.
    virtual void Repaint() = 0;
    // The line under a point of the list, -1 for none.
    virtual int ItemAtPos(const QPoint& Point) const = 0;
};

class TConditionListModel : public IConditionList {
public:
    int ItemCount() const override { return FItemCount; }
    void SetItemCount(int Value) override;
    int ItemIndex() const override { return FItemIndex; }
    void SetItemIndex(int Value) override;
    void Repaint() override { ++FRepaintCount; }
    // Lines are ItemHeight apart from the top; the builder's list uses 18.
    int ItemAtPos(const QPoint& Point) const override;

    int RepaintCount() const { return FRepaintCount; }
    int ItemCountChanges() const { return FItemCountChanges; }
    void SetItemHeight(int Value) { FItemHeight = Value > 0 ? Value : 1; }

private:
    int FItemCount = 0;
    int FItemIndex = -1;
    int FRepaintCount = 0;
    int FItemCountChanges = 0;
    int FItemHeight = 18;
};
