// The library's process-wide callback slots and the reporting of failures
// to the host. Slots are read at the moment of each call, so a host may
// replace a callback at any time.
#pragma once

#include "vqlink/vqlink.h"

#include <atomic>

struct VQLink_Callbacks {
    static inline std::atomic<ExceptionCallback> exception{nullptr};
    static inline std::atomic<SelectResultCallback> select_result{nullptr};
    static inline std::atomic<DeleteCompleteCallback> delete_complete{nullptr};
    static inline std::atomic<DownloadProcessCallback> download_process{nullptr};
    static inline std::atomic<SearchProcessCallback> search_process{nullptr};
};

// Calls the exception callback, when one is registered, on the calling
// thread; file and line stay inside the library. The callback may raise.
void report_exception(const char* file, int line, const char* message, int code);
