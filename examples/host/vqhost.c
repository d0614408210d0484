/* vqhost: the smallest useful host of libvqlink, in C.

     vqhost HOST PORT PASSWORD [STATEMENT]

   Connects to an archive server (the library proves the password), runs
   one SELECT (by default every record id), prints how many rows came back,
   downloads the record named in the first column of the first row and
   prints how many bytes it had. Exit status 0 on success, 1 on any failure,
   2 on a bad command line.

   Results arrive on the library's own thread, so the callbacks only note
   what they see under a mutex and wake the main thread, which waits with a
   time limit: a server that stops answering ends the program, not hangs
   it. */
#include <vqlink/vqlink.h>

#include <errno.h>
#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define WAIT_SECONDS 60

/* The one job under way, shared with the callbacks. */
static struct {
    pthread_mutex_t lock;
    pthread_cond_t changed;
    uint32_t id; /* the job id the results must carry */
    int done;    /* the job's last result has arrived */
    int failed;  /* it ended with an error; message holds it */
    char message[256];
    uint64_t rows;  /* SELECT: rows so far */
    uint32_t first; /* SELECT: the first row's first column, as a record id */
    int have_first;
    uint64_t bytes; /* download: bytes so far */
} job = {.lock = PTHREAD_MUTEX_INITIALIZER, .changed = PTHREAD_COND_INITIALIZER};

/* Under the job's lock. */
static void finish(int failed, const char* what, const char* text) {
    job.done = 1;
    job.failed = failed;
    if (failed)
        snprintf(job.message, sizeof job.message, "%s%s", what, text ? text : "");
    pthread_cond_broadcast(&job.changed);
}

/* Under the job's lock: a job error from the server ends the job. */
static int server_error(const TDAError* error) {
    char text[200];
    if (error->error == deSuccess)
        return 0;
    snprintf(text, sizeof text, "%s: %s", __E2S_TDAErrorCode(error->error),
             error->msg ? error->msg : "");
    finish(1, "server error ", text);
    return 1;
}

/* Runs on this thread, inside the request that failed. */
static void VQLINK_CALL on_exception(const char* message, int code) {
    char what[32];
    snprintf(what, sizeof what, "library error %d: ", code);
    pthread_mutex_lock(&job.lock);
    finish(1, what, message);
    pthread_mutex_unlock(&job.lock);
}

/* Runs on the library's thread; the record is gone once this returns. */
static void VQLINK_CALL on_rows(const IPC_DA_DBClient_TSelectResult* result) {
    pthread_mutex_lock(&job.lock);
    if (result->id == job.id && !job.done) {
        if (!job.have_first && result->rows.rows_len > 0 &&
            result->rows.rows_val[0].cols.cols_len > 0) {
            const char* value = result->rows.rows_val[0].cols.cols_val[0].value;
            char* end;
            unsigned long id;
            errno = 0;
            id = strtoul(value ? value : "", &end, 10);
            if (value && end != value && *end == '\0' && errno == 0 && id <= UINT32_MAX) {
                job.first = (uint32_t)id;
                job.have_first = 1;
            }
        }
        job.rows += result->rows.rows_len;
        if (!server_error(&result->error) && !result->hasMore)
            finish(0, "", NULL);
    }
    pthread_mutex_unlock(&job.lock);
}

static void VQLINK_CALL on_piece(const IPC_DA_DBClient_TDownloadProcess* piece) {
    pthread_mutex_lock(&job.lock);
    if (piece->id == job.id && !job.done && !server_error(&piece->error)) {
        if (piece->recId == VQLINK_DOWNLOAD_END)
            finish(0, "", NULL);
        else
            job.bytes += piece->data.data_len;
    }
    pthread_mutex_unlock(&job.lock);
}

/* Starts a job: its id, nothing seen yet. */
static void begin(uint32_t id) {
    pthread_mutex_lock(&job.lock);
    job.id = id;
    job.done = job.failed = 0;
    job.message[0] = '\0';
    pthread_mutex_unlock(&job.lock);
}

/* Waits for the job's end; 0 when it ended well. */
static int wait_for_job(const char* name) {
    struct timespec until;
    int timed_out = 0;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += WAIT_SECONDS;
    pthread_mutex_lock(&job.lock);
    while (!job.done && !timed_out)
        timed_out = pthread_cond_timedwait(&job.changed, &job.lock, &until) == ETIMEDOUT;
    if (!job.done)
        fprintf(stderr, "vqhost: %s: no answer within %d s\n", name, WAIT_SECONDS);
    else if (job.failed)
        fprintf(stderr, "vqhost: %s: %s\n", name, job.message);
    timed_out = !job.done || job.failed;
    pthread_mutex_unlock(&job.lock);
    return timed_out;
}

static int run(const char* host, uint16_t port, const char* password, const char* statement) {
    IPC_DA_DBServer_TSQLExecute select;
    IPC_DA_DBServer_TDownload download;
    uint32_t record;
    int code = Connect(host, port, password);
    if (code != VQLINK_CONNECTED) {
        fprintf(stderr, "vqhost: Connect failed with code %d\n", code);
        return 1;
    }

    begin(1);
    select.id = 1;
    select.statement = (char*)statement; /* only read during the call */
    SQLExecute(&select);
    if (wait_for_job("SELECT"))
        return 1;
    printf("records: %" PRIu64 "\n", job.rows);
    if (!job.have_first) {
        fprintf(stderr, "vqhost: the first row names no record id\n");
        return 1;
    }

    begin(2);
    record = job.first;
    download.id = 2;
    download.recs.recs_len = 1;
    download.recs.recs_val = &record;
    Download(&download);
    if (wait_for_job("download"))
        return 1;
    printf("downloaded: %" PRIu64 " bytes of record %" PRIu32 "\n", job.bytes, record);
    return 0;
}

int main(int argc, char** argv) {
    char* end;
    unsigned long port;
    int status;
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "usage: vqhost HOST PORT PASSWORD [STATEMENT]\n");
        return 2;
    }
    errno = 0;
    port = strtoul(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || errno != 0 || port == 0 || port > 65535) {
        fprintf(stderr, "vqhost: bad port '%s'\n", argv[2]);
        return 2;
    }

    InitDLL();
    RegisterExceptionCallback(on_exception);
    RegisterSelectResultCallback(on_rows);
    RegisterDownloadProcessCallback(on_piece);
    status = run(argv[1], (uint16_t)port, argv[3],
                 argc == 5 ? argv[4] : "SELECT Media_ID FROM media ORDER BY Media_ID");
    Disconnect();
    FinalizeDLL();
    return status;
}
