// The interface of libvqlink.so, the archive client library, as a host sees
// it: plain functions under undecorated names, five callback slots, and the
// protocol records (vqlink_records.h) that cross by pointer.
//
// Order of use: InitDLL; the Register*Callback functions; Connect; any
// requests; Disconnect; FinalizeDLL. Nothing raised inside the library
// crosses this interface: Connect returns a code, every other function
// reports a failure once through the exception callback and returns.
#pragma once

#include "vqlink/vqlink_records.h"

extern "C" {

// Exception callback codes.
enum {
    VQLINK_NOT_CONNECTED = 0, // "Not connected"
    VQLINK_RPC_ERROR = 1,     // the RPC error's kind, e.g. "communication_error"
    VQLINK_RUNTIME_ERROR = 2, // the runtime error's text
    VQLINK_UNKNOWN_ERROR = 3, // "Unknown exception"
};

// Connect result codes.
enum {
    VQLINK_CONNECTED = 0,
    VQLINK_ALREADY_CONNECTED = 1,
    VQLINK_NO_WINSOCK = 2,
    VQLINK_UNRESOLVED_HOST = 3,
    VQLINK_NO_CHANNEL = 4,
    VQLINK_NO_PROXY = 5,
    VQLINK_NO_LISTENER = 6,
    VQLINK_REFUSED_VALID_PASSWORD = 7,
    VQLINK_REFUSED_INVALID_PASSWORD = 8,
    VQLINK_CONNECT_FAILED = -1,
};

// The message is valid only while the callback runs. A host may leave the
// callback by raising an exception of its own.
typedef void (*ExceptionCallback)(const char* message, int code);
// Result callbacks run on the library's serving thread, one at a time, in
// the server's order. The record belongs to the library and is released as
// soon as the callback returns.
typedef void (*SelectResultCallback)(const IPC_DA_DBClient::TSelectResult* result);
typedef void (*DeleteCompleteCallback)(const IPC_DA_DBClient::TDeleteComplete* result);
typedef void (*DownloadProcessCallback)(const IPC_DA_DBClient::TDownloadProcess* result);
typedef void (*SearchProcessCallback)(const IPC_DA_DBClient::TSearchProcess* result);

// Counted: as many FinalizeDLL calls as InitDLL calls stop the library.
// The last FinalizeDLL waits until the serving thread has ended, so it must
// not be called from a result callback, which runs on that thread.
VQLINK_API void InitDLL();
VQLINK_API void FinalizeDLL();

// A null callback empties the slot.
VQLINK_API void RegisterExceptionCallback(ExceptionCallback callback);
VQLINK_API void RegisterSelectResultCallback(SelectResultCallback callback);
VQLINK_API void RegisterDeleteCompleteCallback(DeleteCompleteCallback callback);
VQLINK_API void RegisterDownloadProcessCallback(DownloadProcessCallback callback);
VQLINK_API void RegisterSearchProcessCallback(SearchProcessCallback callback);

// host: a name or a dotted address. Returns one of the codes above.
VQLINK_API int Connect(const char* host, std::uint16_t port, const char* password);
VQLINK_API void Disconnect();

// Pass a zero-filled record; give the message back with
// IPC_DA_DBServer::TStatus_Free.
VQLINK_API void GetStatus(IPC_DA_DBServer::TStatus* status);
// The server's SQL dialect; 0 after a reported failure.
VQLINK_API int GetServerType();
// One-way requests: they return once sent. The records stay the host's.
VQLINK_API void SQLExecute(const IPC_DA_DBServer::TSQLExecute* request);
VQLINK_API void Delete(const IPC_DA_DBServer::TDelete* request);
VQLINK_API void Download(const IPC_DA_DBServer::TDownload* request);
VQLINK_API void SearchText(const IPC_DA_DBServer::TSearchText* request);
VQLINK_API void CancelOperation(const IPC_DA_DBServer::TCancelOperation* request);

// A copy from the library's allocator (null for null), so that it can go
// into a record that a release function later frees.
VQLINK_API char* StrDup(const char* text);

// Global call ids in their text form "FFFFF-SS-TTTTT-TTT"; the buffer holds
// 19 bytes. Text not in that form parses to 0.
VQLINK_API void GCIdToStr(const TGCallID* id, char* buffer);
VQLINK_API void StrToGCId(TGCallID* id, const char* text);

} // extern "C"
