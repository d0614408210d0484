// The result list's view (lvResults): a report list with whole-row,
// multiple selection over the window's list model. It reports the mouse and
// key events the window acts on, and finds the row whose mark (the state
// image at the start of the first column) a point hits.
#pragma once

#include <QTableView>

#include <functional>

class QKeyEvent;
class QMouseEvent;

class TResultListView : public QTableView {
    Q_OBJECT
public:
    explicit TResultListView(QWidget* Parent);

    // The row whose state image lies under Point (viewport coordinates), or
    // -1.
    int StateImageRowAt(const QPoint& Point) const;
    // The first row on screen and how many rows fit on screen.
    int TopRow() const;
    int VisibleRowCount() const;
    // Scrolls so that Row is the first row on screen.
    void SetTopRow(int Row);

    // Called after the view handled the event itself.
    std::function<void(QMouseEvent*)> OnMouseDown;
    std::function<void(QMouseEvent*)> OnMouseUp;
    std::function<void(QMouseEvent*)> OnDoubleClick;
    // Called before the view handles the key; true: the key is used up.
    std::function<bool(QKeyEvent*)> OnKeyDown;
    std::function<void(QKeyEvent*)> OnKeyUp;

protected:
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    bool event(QEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void focusInEvent(QFocusEvent* Event) override;
    void focusOutEvent(QFocusEvent* Event) override;
};
