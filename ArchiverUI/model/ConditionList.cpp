#include "ConditionList.h"

void TConditionListModel::SetItemCount(int Value) {
    FItemCount = Value < 0 ? 0 : Value;
    ++FItemCountChanges;
    // A list box forgets a selection beyond its end.
    if (FItemIndex >= FItemCount) {
        FItemIndex = -1;
    }
}

void TConditionListModel::SetItemIndex(int Value) {
    FItemIndex = (Value >= 0 && Value < FItemCount) ? Value : -1;
}

int TConditionListModel::ItemAtPos(const QPoint& Point) const {
    if (Point.y() < 0 || Point.x() < 0) {
        return -1;
    }
    const int Line = Point.y() / FItemHeight;
    return Line < FItemCount ? Line : -1;
}
