// The viewer's binding to libvqlink.so. TDBInterface is the only place in
// the viewer that calls the library: it starts and stops it, registers the
// callbacks, turns the viewer's strings and lists into the library's records
// and the library's error reports into exceptions.
#pragma once

#include "SearchOptions.h"

#include "vqlink/vqlink.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <stdexcept>

// The protocol's enumerations, under the names the viewer uses. SearchMode
// is the query model's own (same values), converted when a record is built.
using IPC_DA_DBServer::Operation;
using IPC_DA_DBServer::State;
using enum IPC_DA_DBServer::Operation;
using enum IPC_DA_DBServer::State;

// Record ids of the archive.
using TIDs = QList<quint32>;

// Base of the errors the library reports (kind 3, an unknown error inside
// the library) and of the connection, RPC and runtime errors below. The
// message is what the operator sees in the error box.
class EDllException : public std::runtime_error {
public:
    explicit EDllException(const QString& Message);
    const QString& Message() const { return FMessage; }

private:
    QString FMessage;
};

// Kind 0: the library is not connected; also raised by the controller for
// every connection failure.
class EConnectionException : public EDllException {
public:
    using EDllException::EDllException;
};

// Kind 1: an RPC error; the message is the RPC error's kind.
class EQREXException : public EDllException {
public:
    using EDllException::EDllException;
};

// Kind 2: an error of the library's runtime. The name is the one the rest of
// the viewer has always used.
class EGenericExceptoin : public EDllException {
public:
    using EDllException::EDllException;
};

// Receives the library's result records. All four run on the library's
// serving thread; the record belongs to the library and is valid only until
// the operation returns.
class TDBListener {
public:
    virtual ~TDBListener() = default;
    virtual void SelectResult(const IPC_DA_DBClient::TSelectResult* res) = 0;
    virtual void DeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res) = 0;
    virtual void DownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res) = 0;
    virtual void SearchProcess(const IPC_DA_DBClient::TSearchProcess* res) = 0;
};

class TDBInterface {
public:
    // The library's functions as this binding calls them. The real exports
    // are the default; the tests put recording doubles in their place to see
    // the records the binding builds.
    struct TEntryPoints {
        int (*Connect_)(const char*, std::uint16_t, const char*) = nullptr;
        void (*Disconnect_)() = nullptr;
        void (*GetStatus_)(IPC_DA_DBServer::TStatus*) = nullptr;
        void (*TStatus_Free_)(IPC_DA_DBServer::TStatus*) = nullptr;
        int (*GetServerType_)() = nullptr;
        void (*SQLExecute_)(const IPC_DA_DBServer::TSQLExecute*) = nullptr;
        void (*Delete_)(const IPC_DA_DBServer::TDelete*) = nullptr;
        void (*Download_)(const IPC_DA_DBServer::TDownload*) = nullptr;
        void (*SearchText_)(const IPC_DA_DBServer::TSearchText*) = nullptr;
        void (*CancelOperation_)(const IPC_DA_DBServer::TCancelOperation*) = nullptr;
    };

    // Created on first use (at program start, before any window) and
    // destroyed at program end, which stops the library.
    static TDBInterface& GetInstance();

    TDBInterface(const TDBInterface&) = delete;
    TDBInterface& operator=(const TDBInterface&) = delete;

    // Not owned. Results that arrive while no listener is set are dropped.
    void SetListener(TDBListener* AListener);
    TDBListener* Listener() const { return FListener.load(); }

    // The library's result code, unchanged. A port outside 0..65535 raises
    // EConnectionException "Invalid port" instead of being cut to 16 bits.
    int Connect(const QString& host, int port, const QString& password);
    void Disconnect();
    // statement: already in the system's 8-bit code page.
    void SQLExecute(quint32 id, const QByteArray& statement);
    void Delete(quint32 id, const TIDs& ids);
    void Download(quint32 id, const TIDs& ids);
    // The phrases travel as UTF-8, the only UTF-8 texts the viewer sends.
    void SearchText(quint32 id, const TIDs& ids, SearchMode mode, const QStringList& strings);
    void CancelOperation(Operation operation, quint32 id);
    // message is cleared first. The library's status record is always
    // released, also when the call fails.
    State GetStatus(QString& message);
    int GetServerType();

    // The callbacks registered with the library. They find the singleton
    // through GetInstance, never through a context pointer.
    static void OnSelectResult(const IPC_DA_DBClient::TSelectResult* res);
    static void OnDeleteComplete(const IPC_DA_DBClient::TDeleteComplete* res);
    static void OnDownloadProcess(const IPC_DA_DBClient::TDownloadProcess* res);
    static void OnSearchProcess(const IPC_DA_DBClient::TSearchProcess* res);
    // Records the report for the calling thread; the export that failed
    // then returns normally and the binding raises the report (see
    // RaiseLibraryError), so that no exception unwinds through the library.
    // Kinds other than 0..3 are ignored.
    static void OnException(const char* message, int kind);
    // Raises the report recorded on this thread since the last call, if
    // any, as the exception of its kind, and forgets it.
    static void RaiseLibraryError();
    // Forgets a report recorded on this thread without raising it.
    static void ClearLibraryError();

    static TEntryPoints LibraryEntryPoints();
    void SetEntryPoints(const TEntryPoints& Entries);
    const TEntryPoints& EntryPoints() const { return FEntries; }

private:
    TDBInterface();
    ~TDBInterface();

    std::atomic<TDBListener*> FListener{nullptr};
    TEntryPoints FEntries;
};
