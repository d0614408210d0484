// What every stub and proxy of the archive protocol shares.
#pragma once

#include "QREX_XDR.h"

#include <cstring>

namespace ipc_da {

// A record that starts with every pointer null and releases what it owns,
// also when the stub leaves by an exception: decoding failed half way still
// leaves only null or owned pointers.
template <class T> class Local_Record {
public:
    explicit Local_Record(XDR_function function) : function_(function) {
        std::memset(static_cast<void*>(&value_), 0, sizeof(value_));
    }
    ~Local_Record() { XDR_Free(&value_, function_); }
    Local_Record(const Local_Record&) = delete;
    Local_Record& operator=(const Local_Record&) = delete;

    T* get() { return &value_; }

private:
    T value_;
    XDR_function function_;
};

// Records the host hands in are only read; the channel's interface is not
// const-correct.
template <class T> void* arg(const T* record) {
    return const_cast<void*>(static_cast<const void*>(record));
}

} // namespace ipc_da
