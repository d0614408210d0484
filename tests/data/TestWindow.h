// A window for the tests: it records every window message it receives, and
// copies what the forwarded records carry while the message is handled,
// since the record is valid only then.
#pragma once

#include "DataCache.h"

#include <QObject>

#include <functional>
#include <ostream>
#include <vector>

// Readable QString values in failure messages.
inline void PrintTo(const QString& S, std::ostream* Out) {
    *Out << '"' << S.toStdString() << '"';
}

struct TReceived {
    int Msg = 0;
    quintptr WParam = 0;
    quintptr LParam = 0;
    quint32 RecordId = 0; // the id of a forwarded record
    int Rows = 0;         // rows of a select result
    bool HasMore = false;
};

class TTestWindow : public QObject {
public:
    std::vector<TReceived> Received;
    // Runs inside the handler, for tests that react as a window would.
    std::function<void(const TDBMessage&)> OnMessage;

    int Count(int Msg) const;
    // Lets posted messages arrive.
    static void Pump();

protected:
    bool event(QEvent* Event) override;
};
