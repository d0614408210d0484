#include "FakeLibrary.h"

#include <cstring>

TFakeLibrary Fake;

namespace {

// As the library does it: through the registered callback, on the calling
// thread, as the last thing the export does.
void Report(const TFakeFailure& F) {
    TDBInterface::OnException(F.Text.c_str(), F.Kind);
}

bool CheckRequest() {
    if (!Fake.Connected) {
        Report({0, "Not connected"});
        return false;
    }
    if (Fake.RequestFailure.Kind >= 0) {
        const TFakeFailure F = Fake.RequestFailure;
        Fake.RequestFailure = {};
        Report(F);
        return false;
    }
    return true;
}

template <typename TArray> void CopyIds(TFakeRequest& R, const TArray& A) {
    R.IdsNull = A.recs_val == nullptr;
    for (std::uint32_t I = 0; I < A.recs_len; ++I)
        R.Ids.push_back(A.recs_val[I]);
}

int FakeConnect(const char* host, std::uint16_t port, const char* password) {
    ++Fake.ConnectCalls;
    Fake.ConnectHost = host;
    Fake.ConnectPort = port;
    Fake.ConnectPassword = password;
    if (Fake.Connected)
        return 1;
    int Code = Fake.ConnectCode;
    if (!Fake.ConnectCodes.empty()) {
        Code = Fake.ConnectCodes.front();
        Fake.ConnectCodes.pop_front();
    }
    // 1: the library already had a connection, which stays.
    Fake.Connected = Code == 0 || Code == 1;
    return Code;
}

void FakeDisconnect() {
    ++Fake.DisconnectCalls;
    Fake.Connected = false;
}

void FakeGetStatus(IPC_DA_DBServer::TStatus* status) {
    ++Fake.StatusCalls;
    if (!Fake.Connected) {
        Report({0, "Not connected"});
        return;
    }
    if (Fake.StatusFailures != 0) {
        if (Fake.StatusFailures > 0)
            --Fake.StatusFailures;
        Report(Fake.StatusFailure);
        return;
    }
    status->state = static_cast<IPC_DA_DBServer::State>(Fake.StatusState);
    status->message = new char[Fake.StatusMessage.size() + 1];
    std::memcpy(status->message, Fake.StatusMessage.c_str(), Fake.StatusMessage.size() + 1);
    ++Fake.StatusLive;
}

void FakeTStatusFree(IPC_DA_DBServer::TStatus* status) {
    ++Fake.StatusFrees;
    if (status->message != nullptr) {
        delete[] status->message;
        --Fake.StatusLive;
    }
    status->message = nullptr;
}

int FakeGetServerType() {
    ++Fake.ServerTypeCalls;
    if (!CheckRequest())
        return 0;
    return Fake.ServerType;
}

void FakeSQLExecute(const IPC_DA_DBServer::TSQLExecute* request) {
    TFakeRequest R;
    R.Kind = "SQLExecute";
    R.Id = request->id;
    R.Statement = request->statement == nullptr ? "<null>" : request->statement;
    Fake.Requests.push_back(R);
    CheckRequest();
}

void FakeDelete(const IPC_DA_DBServer::TDelete* request) {
    TFakeRequest R;
    R.Kind = "Delete";
    R.Id = request->id;
    CopyIds(R, request->recs);
    Fake.Requests.push_back(R);
    CheckRequest();
}

void FakeDownload(const IPC_DA_DBServer::TDownload* request) {
    TFakeRequest R;
    R.Kind = "Download";
    R.Id = request->id;
    CopyIds(R, request->recs);
    Fake.Requests.push_back(R);
    CheckRequest();
}

void FakeSearchText(const IPC_DA_DBServer::TSearchText* request) {
    TFakeRequest R;
    R.Kind = "SearchText";
    R.Id = request->id;
    CopyIds(R, request->recs);
    R.Mode = request->criteria.mode;
    const auto& S = request->criteria.strings;
    R.PhrasesNull = S.strings_val == nullptr;
    for (std::uint32_t I = 0; I < S.strings_len; ++I)
        R.Phrases.push_back(S.strings_val[I].value);
    Fake.Requests.push_back(R);
    CheckRequest();
}

void FakeCancelOperation(const IPC_DA_DBServer::TCancelOperation* request) {
    TFakeRequest R;
    R.Kind = "CancelOperation";
    R.Id = request->id;
    R.Operation = request->operation;
    Fake.Requests.push_back(R);
    CheckRequest();
}

} // namespace

int TFakeLibrary::Count(const std::string& Kind) const {
    int N = 0;
    for (const TFakeRequest& R : Requests)
        if (R.Kind == Kind)
            ++N;
    return N;
}

void InstallFakeLibrary() {
    Fake = TFakeLibrary{};
    TDBInterface::TEntryPoints E;
    E.Connect_ = FakeConnect;
    E.Disconnect_ = FakeDisconnect;
    E.GetStatus_ = FakeGetStatus;
    E.TStatus_Free_ = FakeTStatusFree;
    E.GetServerType_ = FakeGetServerType;
    E.SQLExecute_ = FakeSQLExecute;
    E.Delete_ = FakeDelete;
    E.Download_ = FakeDownload;
    E.SearchText_ = FakeSearchText;
    E.CancelOperation_ = FakeCancelOperation;
    TDBInterface::GetInstance().SetEntryPoints(E);
    TDBInterface::ClearLibraryError();
}

void InstallRealLibrary() {
    TDBInterface::GetInstance().SetEntryPoints(TDBInterface::LibraryEntryPoints());
    TDBInterface::ClearLibraryError();
}
