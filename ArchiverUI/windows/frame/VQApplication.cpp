#include "VQApplication.h"

#include "DataCache.h"
#include "VQAccessible.h"

TVQApplication::TVQApplication(int& argc, char** argv) : QApplication(argc, argv) {
    InstallViewerAccessibility();
}

bool TVQApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (...) {
        HandleApplicationException(std::current_exception());
        return false;
    }
}

void TVQApplication::SetTitle(const QString& Title) {
    QApplication::setApplicationDisplayName(Title);
}

QString TVQApplication::Title() {
    return QApplication::applicationDisplayName();
}

void TVQApplication::ProcessMessages() {
    QApplication::processEvents(QEventLoop::AllEvents);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
