// The desktop's "open" for files and web addresses (the fax browser, links
// in the message view), with a seam through which a test records what
// would have been opened instead of starting another program.
#pragma once

#include <QList>
#include <QUrl>

#include <functional>

class TVQDesktop {
public:
    // Opens the file or address with the desktop's associated program;
    // false when the desktop could not.
    static bool Open(const QUrl& Url);
    static bool OpenFile(const QString& FileName);

    // Test seam: while set, Open calls this instead of the desktop.
    using TOpener = std::function<bool(const QUrl&)>;
    static void SetOpener(TOpener Opener);
    // Everything Open was asked to open, in order (recorded with or
    // without an opener).
    static QList<QUrl> Opened();
    static void ClearOpened();
};
