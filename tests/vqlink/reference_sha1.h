// SHA-1 from an implementation other than the library's, for the tests to
// check the library's digests against. OpenSSL when the build has it;
// without it the library's own (then only the published vectors check it).
#pragma once

#include <cstddef>
#include <string>

#if defined(VQ_TEST_HAVE_OPENSSL)
#include <openssl/sha.h>
#else
#include "SHA1.h"
#endif

inline std::string reference_sha1_hex(const void* data, size_t size) {
    unsigned char digest[20];
#if defined(VQ_TEST_HAVE_OPENSSL)
    SHA1(static_cast<const unsigned char*>(data), size, digest);
#else
    sha1(data, size, digest);
#endif
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : digest) {
        text += hex[b >> 4];
        text += hex[b & 0xF];
    }
    return text;
}

inline std::string reference_sha1_hex(const std::string& text) {
    return reference_sha1_hex(text.data(), text.size());
}

inline bool reference_sha1_is_independent() {
#if defined(VQ_TEST_HAVE_OPENSSL)
    return true;
#else
    return false;
#endif
}
