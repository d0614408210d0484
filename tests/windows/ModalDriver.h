// Answers a modal dialog or a popup menu from inside its own message loop,
// as a person at the screen would: the test schedules the answer before
// the action that opens the window.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

namespace viewer_test {

// The modal window or popup on top now, if any.
inline QWidget* TopWindow() {
    if (QWidget* Popup = QApplication::activePopupWidget())
        return Popup;
    return QApplication::activeModalWidget();
}

// Runs Answer once on the next modal window or popup that opens on top of
// what is open now; gives up after Limit milliseconds. Returns a flag that
// turns true once Answer ran.
inline std::shared_ptr<bool> WhenModal(std::function<void(QWidget*)> Answer, int Limit = 20000) {
    auto Ran = std::make_shared<bool>(false);
    QPointer<QWidget> Before(TopWindow());
    auto* Poll = new QTimer(qApp);
    auto Clock = std::make_shared<QElapsedTimer>();
    Clock->start();
    auto Seen = std::make_shared<QElapsedTimer>();
    QObject::connect(Poll, &QTimer::timeout, Poll, [=]() mutable {
        QWidget* Top = TopWindow();
        const bool Shown = Top != nullptr && Top != Before.data() && Top->isVisible();
        if (Shown && !Seen->isValid())
            Seen->start();
        // A dialog's shortcuts answer only once it is the active window,
        // which on a busy machine comes a moment after it shows.
        if (Shown && (Top == QApplication::activePopupWidget() || Top->isActiveWindow() ||
                      Seen->elapsed() > 2000)) {
            Poll->stop();
            Poll->deleteLater();
            *Ran = true;
            Answer(Top);
            return;
        }
        if (Clock->elapsed() > Limit) {
            Poll->stop();
            Poll->deleteLater();
        }
    });
    Poll->start(10);
    return Ran;
}

// Chooses the item with object name Name in a popup menu by the keyboard.
inline bool ChooseMenuItem(QWidget* Popup, const char* Name) {
    auto* Menu = qobject_cast<QMenu*>(Popup);
    if (Menu == nullptr)
        return false;
    auto* Item = Menu->findChild<QAction*>(QLatin1String(Name));
    if (Item == nullptr) {
        for (QAction* A : Menu->actions())
            if (A->objectName() == QLatin1String(Name))
                Item = A;
    }
    if (Item == nullptr || !Item->isEnabled()) {
        Menu->close();
        return false;
    }
    Menu->setActiveAction(Item);
    QKeyEvent Press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(Menu, &Press);
    return true;
}

} // namespace viewer_test
