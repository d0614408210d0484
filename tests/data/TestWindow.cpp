#include "TestWindow.h"

#include <QCoreApplication>

int TTestWindow::Count(int Msg) const {
    int N = 0;
    for (const TReceived& R : Received)
        if (R.Msg == Msg)
            ++N;
    return N;
}

void TTestWindow::Pump() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

bool TTestWindow::event(QEvent* Event) {
    if (!IsDBMessage(Event))
        return QObject::event(Event);
    const auto* M = static_cast<const TDBMessage*>(Event);
    TReceived R;
    R.Msg = M->Msg();
    R.WParam = M->WParam;
    R.LParam = M->LParam;
    if (R.Msg == WM_DB_SELECTRESULT && M->WParam != 0) {
        const auto* Res = M->Record<IPC_DA_DBClient::TSelectResult>();
        R.RecordId = Res->id;
        R.Rows = static_cast<int>(Res->rows.rows_len);
        R.HasMore = Res->hasMore;
    } else if (R.Msg == WM_DB_DOWNLOADPROCESS && M->WParam != 0) {
        R.RecordId = M->Record<IPC_DA_DBClient::TDownloadProcess>()->id;
    } else if (R.Msg == WM_DB_SEARCHPROCESS && M->WParam != 0) {
        R.RecordId = M->Record<IPC_DA_DBClient::TSearchProcess>()->id;
    } else if (R.Msg == WM_DB_DELETECOMPLETE && M->WParam != 0) {
        R.RecordId = M->Record<IPC_DA_DBClient::TDeleteComplete>()->id;
    }
    Received.push_back(R);
    if (OnMessage)
        OnMessage(*M);
    return true;
}
