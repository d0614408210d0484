// The few C library calls of the POSIX world the shared test sources use,
// in their Windows form. Included ahead of every Windows test source.
#pragma once

#include <cstdlib>
#include <process.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name))
        return 0;
    return _putenv_s(name, value);
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, ""); // an empty value removes the variable
}
