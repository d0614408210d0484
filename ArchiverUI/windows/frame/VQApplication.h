// The application object. Qt lets no exception pass through its event
// loop, so every event is delivered inside a handler that hands whatever
// escapes to the application's exception display (the main window's
// AppException), as the original framework did, and the program goes on.
#pragma once

#include <QApplication>
#include <QString>

class TVQApplication : public QApplication {
    Q_OBJECT
public:
    TVQApplication(int& argc, char** argv);

    bool notify(QObject* Receiver, QEvent* Event) override;

    static void SetTitle(const QString& Title);
    static QString Title();
    // Lets pending events run, including the deletion of closed windows.
    static void ProcessMessages();
};
