/* libvqlink, the archive client library, as a host program sees it: plain
   functions under undecorated names, five callback slots, and the protocol
   records of vqlink_records.h, which cross by pointer. Usable from C and
   from C++; examples/host/ is a complete small host in C.

   Order of use: InitDLL; the Register*Callback functions; Connect; any
   number of requests; Disconnect; FinalizeDLL. After Disconnect, or after a
   failed Connect, Connect may be called again.

   Errors: nothing raised inside the library crosses this interface.
   Connect returns a code (VQLINK_CONNECTED and the rest below) and never
   calls the exception callback. Every other request reports a failure once,
   through the exception callback on the caller's thread, and then returns
   (GetServerType with 0); with no exception callback registered a failure
   is silent.

   Threads: every function runs on the caller's thread. The exception
   callback runs on that same thread, inside the function that failed, as
   the last thing it does. The four result callbacks run on the library's
   serving thread of the current connection, never on a host thread, one at
   a time, in the order in which the server sent the results. Requests from
   several host threads are serialized inside the library, but Connect,
   Disconnect and FinalizeDLL must not run while another thread makes a
   request: a host serializes those itself.

   Calling convention: every function here and every callback a host
   registers uses VQLINK_CALL (vqlink_records.h): __cdecl on Windows,
   nothing to say elsewhere. */
#ifndef VQLINK_H
#define VQLINK_H

#include "vqlink/vqlink_records.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The second argument of the exception callback: what kind of failure the
   message describes. */
enum {
    VQLINK_NOT_CONNECTED = 0, /* no connection exists; the message is "Not connected" */
    VQLINK_RPC_ERROR = 1,     /* the exchange with the server failed; the message is the error's
                                 kind, e.g. "communication_error" (the connection dropped or a
                                 call got no answer in time) or "selector_error" (the server
                                 speaks another version of the interface) */
    VQLINK_RUNTIME_ERROR = 2, /* another failure inside the library (sockets, memory); the
                                 message is its text */
    VQLINK_UNKNOWN_ERROR = 3, /* anything else; the message is "Unknown exception" */
};

/* The bound, in milliseconds, of every call to the server and of Connect's
   handshake, unless the debug configuration's "call_timeout" section sets
   another. A host that waits for a job's results waits no longer than this
   for the server's next answer either. */
#define VQLINK_CALL_TIMEOUT_MS 30000

/* Connect's result. */
enum {
    VQLINK_CONNECTED = 0,                /* connected: the server accepted the password */
    VQLINK_ALREADY_CONNECTED = 1,        /* a connection exists; nothing was done */
    VQLINK_NO_WINSOCK = 2,               /* the socket layer could not be started */
    VQLINK_UNRESOLVED_HOST = 3,          /* the host has no IPv4 address */
    VQLINK_NO_CHANNEL = 4,               /* the TCP connection to the server failed */
    VQLINK_NO_PROXY = 5,                 /* the server interface could not be set up */
    VQLINK_NO_LISTENER = 6,              /* no listening socket for the server's back
                                            connection */
    VQLINK_REFUSED_VALID_PASSWORD = 7,   /* the server refused although the password was right,
                                            or the handshake got no answer in time */
    VQLINK_REFUSED_INVALID_PASSWORD = 8, /* the server refused the password */
    VQLINK_CONNECT_FAILED = -1,          /* any other failure during the handshake, e.g. a
                                            server of another interface version */
};

/* ---- Callbacks ------------------------------------------------------------------------------- */

/* Called on the thread of the request that failed, inside it, with one of
   the VQLINK_*_ERROR codes above. The message belongs to the library and is
   valid only while the callback runs. The library holds no lock meanwhile
   and has nothing left to do, so a C++ host may leave the callback by
   throwing; the request then does not return normally. */
typedef void(VQLINK_CALL* ExceptionCallback)(const char* message, int code);

/* The result callbacks. Each runs on the library's serving thread (never a
   host thread), one at a time, in the server's order. The record and all it
   points to belong to the library and are released as soon as the callback
   returns: a host copies what it needs, and must not hand the pointer to
   another thread that outlives the call. The result's id is the job id the
   host chose for the request. A callback must not call FinalizeDLL, which
   waits for the very thread the callback runs on. */

/* Rows of an SQLExecute job, in batches of at most 32; the batch with
   hasMore false, or with an error other than deSuccess, is the last. */
typedef void(VQLINK_CALL* SelectResultCallback)(const IPC_DA_DBClient_TSelectResult* result);
/* The end of a Delete job. */
typedef void(VQLINK_CALL* DeleteCompleteCallback)(const IPC_DA_DBClient_TDeleteComplete* result);
/* A piece of a Download job; the piece with recId VQLINK_DOWNLOAD_END is the
   last. */
typedef void(VQLINK_CALL* DownloadProcessCallback)(const IPC_DA_DBClient_TDownloadProcess* result);
/* Progress and hits of a SearchText job. */
typedef void(VQLINK_CALL* SearchProcessCallback)(const IPC_DA_DBClient_TSearchProcess* result);

/* ---- Start and stop -------------------------------------------------------------------------- */

/* Starts the library's runtime on the first call; later calls only count. */
VQLINK_API void VQLINK_CALL InitDLL(void);
/* Disconnects, then counts one stop; the stop that matches the first
   InitDLL waits until every connection thread and every call under way has
   ended and stops the runtime. Must not be called from a result callback. */
VQLINK_API void VQLINK_CALL FinalizeDLL(void);

/* ---- Callback registration --------------------------------------------------------------------

   Each stores the callback in its slot (all empty at load); null empties
   the slot. A slot is read at the moment of each call, so a callback may be
   replaced at any time, but a host registers its callbacks before Connect.
   Results for an empty slot are read and dropped. */
VQLINK_API void VQLINK_CALL RegisterExceptionCallback(ExceptionCallback callback);
VQLINK_API void VQLINK_CALL RegisterSelectResultCallback(SelectResultCallback callback);
VQLINK_API void VQLINK_CALL RegisterDeleteCompleteCallback(DeleteCompleteCallback callback);
VQLINK_API void VQLINK_CALL RegisterDownloadProcessCallback(DownloadProcessCallback callback);
VQLINK_API void VQLINK_CALL RegisterSearchProcessCallback(SearchProcessCallback callback);

/* ---- Connection -------------------------------------------------------------------------------

   Connect opens the one connection to the archive server at host (a name
   or a dotted IPv4 address) and port, and proves the password: the library
   answers the server's challenge with a digest and never sends the
   password. Returns a VQLINK_* result code above; the strings are only read
   during the call. Blocks until the handshake is over (bounded by the
   library's call timeout). A host that wants to reconnect calls Disconnect
   first. */
VQLINK_API int VQLINK_CALL Connect(const char* host, uint16_t port, const char* password);
/* Ends the current connection, and every call still waiting on it with
   VQLINK_RPC_ERROR; does nothing when there is none. */
VQLINK_API void VQLINK_CALL Disconnect(void);

/* ---- Requests ---------------------------------------------------------------------------------

   Each fails with VQLINK_NOT_CONNECTED when there is no connection and
   with VQLINK_RPC_ERROR when the exchange fails; requests are never queued.
   Once the connection has failed, later requests fail the same way until
   Disconnect and Connect, or until the server closes its back connection,
   after which they report VQLINK_NOT_CONNECTED. */

/* Asks the server for its state and message and waits for the answer.
   Pass a zero-filled record: the library stores a message string of its own
   allocation into it, which the host gives back with
   IPC_DA_DBServer_TStatus_Free (C++: IPC_DA_DBServer::TStatus_Free). */
VQLINK_API void VQLINK_CALL GetStatus(IPC_DA_DBServer_TStatus* status);
/* Asks the server for the SQL dialect of its database and waits: 1, 2 or
   3 as the server says; 0 after a reported failure. */
VQLINK_API int VQLINK_CALL GetServerType(void);

/* One-way requests: each returns as soon as the request is sent, and the
   server answers through the result callback named. The record stays the
   host's and is only read during the call; its id is the job id that the
   results carry. */
/* Runs one SQL statement; rows come through the select-result callback. */
VQLINK_API void VQLINK_CALL SQLExecute(const IPC_DA_DBServer_TSQLExecute* request);
/* Deletes the listed records; the delete-complete callback reports the end. */
VQLINK_API void VQLINK_CALL Delete(const IPC_DA_DBServer_TDelete* request);
/* Downloads the listed records; pieces come through the download-process
   callback. */
VQLINK_API void VQLINK_CALL Download(const IPC_DA_DBServer_TDownload* request);
/* Searches the text of the listed records; progress and hits come through
   the search-process callback. */
VQLINK_API void VQLINK_CALL SearchText(const IPC_DA_DBServer_TSearchText* request);
/* Asks the server to stop the job of that kind and id; its last results
   may report deCancelled. */
VQLINK_API void VQLINK_CALL CancelOperation(const IPC_DA_DBServer_TCancelOperation* request);

/* ---- Helpers ----------------------------------------------------------------------------------
 */

/* A copy of text (its length + 1 bytes) from the library's allocator, for
   a string the host places into a record that a release function will
   free; null for null, and null when memory runs out. */
VQLINK_API char* VQLINK_CALL StrDup(const char* text);

/* Writes the text form "FFFFF-SS-TTTTT-TTT" of a global call id, with its
   terminator, into the host's buffer, which holds at least 19 bytes. */
VQLINK_API void VQLINK_CALL GCIdToStr(const TGCallID* id, char* buffer);
/* Parses that text form into *id; any other text gives 0. */
VQLINK_API void VQLINK_CALL StrToGCId(TGCallID* id, const char* text);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VQLINK_H */
