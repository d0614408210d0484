#include "ORTU_Format.h"

#include "ORTU_Assert.h"

#include <atomic>
#include <cmath>
#include <cstring>

namespace {

// Every conversion is built backwards into one of these on the stack.
constexpr int WORK_SIZE = 512;
// Keeps "%.Nf" of the largest double (309 integer digits) inside the work
// buffer; more digits than that carry no information anyway.
constexpr int MAX_FLOAT_PRECISION = 150;
constexpr int EXTENSION_COUNT = 52;

std::atomic<ORTU_Format_Extension> extensions[EXTENSION_COUNT];

int extension_index(int c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    return -1;
}

// The letters the engine handles itself after "%p"; an extension under one of
// them would never be called.
bool builtin_p_letter(int c) {
    return c == 'a' || c == 'A' || c == 'b' || c == 'B' || c == 'p';
}

int always_stop(ORTU_Format_Buffer*) {
    return 1;
}

class Output {
public:
    Output(ORTU_Format_Flush flush, ORTU_Format_Buffer* buffer)
        : flush_(flush ? flush : always_stop), buffer_(buffer) {}

    bool put(char c) {
        if (buffer_->cur >= buffer_->end) {
            // A flush function that claims success without making room would
            // loop forever: treat it as a stop.
            if (flush_(buffer_) != 0 || buffer_->cur >= buffer_->end) {
                stopped_ = true;
                return false;
            }
        }
        *buffer_->cur++ = c;
        ++count_;
        return true;
    }

    bool put(const char* text, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            if (!put(text[i]))
                return false;
        }
        return true;
    }

    bool repeat(char c, int n) {
        for (int i = 0; i < n; ++i) {
            if (!put(c))
                return false;
        }
        return true;
    }

    bool stopped() const { return stopped_; }
    int count() const { return count_; }

private:
    ORTU_Format_Flush flush_;
    ORTU_Format_Buffer* buffer_;
    int count_ = 0;
    bool stopped_ = false;
};

struct Directive {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1; // -1: none given
    enum Size { sz_default, sz_short, sz_long, sz_64, sz_size } size = sz_default;
};

// Writes prefix (sign, "0x"), leading zeros and body, padded to the width.
bool emit(Output& out, const Directive& d, const char* prefix, int prefix_length, int zeros,
          const char* body, int body_length, bool zero_pad_allowed) {
    ORTU_INT64 total = ORTU_INT64(prefix_length) + zeros + body_length;
    int pad = d.width > total ? static_cast<int>(d.width - total) : 0;
    if (d.left)
        return out.put(prefix, prefix_length) && out.repeat('0', zeros) &&
               out.put(body, body_length) && out.repeat(' ', pad);
    if (d.zero && zero_pad_allowed)
        return out.put(prefix, prefix_length) && out.repeat('0', zeros + pad) &&
               out.put(body, body_length);
    return out.repeat(' ', pad) && out.put(prefix, prefix_length) && out.repeat('0', zeros) &&
           out.put(body, body_length);
}

// Text that only the precision may cut (addresses, extensions, "%s").
bool emit_text(Output& out, const Directive& d, const char* text, int length) {
    if (d.precision >= 0 && length > d.precision)
        length = d.precision;
    return emit(out, d, "", 0, 0, text, length, false);
}

char* unsigned_backwards(char* end, ORTU_UINT64 value, unsigned base, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char* p = end;
    do {
        *--p = digits[value % base];
        value /= base;
    } while (value != 0);
    return p;
}

bool emit_integer(Output& out, const Directive& d, char conversion, ORTU_UINT64 magnitude,
                  bool negative) {
    char work[WORK_SIZE];
    char* end = work + WORK_SIZE;
    unsigned base = 10;
    if (conversion == 'o')
        base = 8;
    else if (conversion == 'x' || conversion == 'X')
        base = 16;
    char* start = unsigned_backwards(end, magnitude, base, conversion == 'X');
    int digits = static_cast<int>(end - start);

    char prefix[3];
    int prefix_length = 0;
    bool is_signed = conversion == 'd' || conversion == 'i';
    if (is_signed) {
        if (negative)
            prefix[prefix_length++] = '-';
        else if (d.plus)
            prefix[prefix_length++] = '+';
        else if (d.space)
            prefix[prefix_length++] = ' ';
    }
    int precision = d.precision < WORK_SIZE ? d.precision : WORK_SIZE;
    int zeros = precision > digits ? precision - digits : 0;
    if (d.alternate) {
        if (base == 8 && zeros == 0 && *start != '0')
            zeros = 1;
        else if (base == 16 && magnitude != 0) {
            prefix[prefix_length++] = '0';
            prefix[prefix_length++] = conversion;
        }
    }
    // As in C, an explicit precision decides the leading zeros alone.
    return emit(out, d, prefix, prefix_length, zeros, start, digits, d.precision < 0);
}

bool emit_float(Output& out, const Directive& d, char conversion, double value) {
    char directive[16];
    int n = 0;
    directive[n++] = '%';
    if (d.plus)
        directive[n++] = '+';
    else if (d.space)
        directive[n++] = ' ';
    if (d.alternate)
        directive[n++] = '#';
    directive[n++] = '.';
    directive[n++] = '*';
    directive[n++] = conversion;
    directive[n] = 0;
    int precision = d.precision < 0 ? 6 : d.precision;
    if (precision > MAX_FLOAT_PRECISION)
        precision = MAX_FLOAT_PRECISION;

    char work[WORK_SIZE];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = std::snprintf(work, sizeof work, directive, precision, value);
#pragma GCC diagnostic pop
    if (length < 0)
        return true;
    if (length >= WORK_SIZE)
        length = WORK_SIZE - 1;
    // Zero padding goes between the sign and the digits.
    int prefix_length = (work[0] == '-' || work[0] == '+' || work[0] == ' ') ? 1 : 0;
    bool finite = std::isfinite(value);
    return emit(out, d, work, prefix_length, 0, work + prefix_length, length - prefix_length,
                finite);
}

char* ipv4_backwards(char* end, ORTU_UINT32 address) {
    char* p = end;
    for (int i = 0; i < 4; ++i) {
        if (i != 0)
            *--p = '.';
        p = unsigned_backwards(p, (address >> (8 * i)) & 0xFF, 10, false);
    }
    return p;
}

// The standard text form; mapped addresses bare when bare_mapped is set.
int ipv6_text(char* out, const ORTU_BYTE* bytes, bool bare_mapped) {
    ORTU_UINT32 groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = (ORTU_UINT32(bytes[2 * i]) << 8) | bytes[2 * i + 1];
    ORTU_UINT32 low32 = (ORTU_UINT32(bytes[12]) << 24) | (ORTU_UINT32(bytes[13]) << 16) |
                        (ORTU_UINT32(bytes[14]) << 8) | bytes[15];
    bool upper80_zero = true;
    for (int i = 0; i < 5; ++i)
        upper80_zero = upper80_zero && groups[i] == 0;

    char work[64];
    char* end = work + sizeof work;
    char* p = end;
    if (upper80_zero && groups[5] == 0xFFFF) {
        p = ipv4_backwards(end, low32);
        if (!bare_mapped) {
            static const char mapped[] = "::ffff:";
            p -= sizeof mapped - 1;
            std::memcpy(p, mapped, sizeof mapped - 1);
        }
    } else if (upper80_zero && groups[5] == 0 && low32 > 1) {
        p = ipv4_backwards(end, low32);
        *--p = ':';
        *--p = ':';
    } else {
        int best_start = -1, best_length = 0;
        for (int i = 0; i < 8;) {
            if (groups[i] != 0) {
                ++i;
                continue;
            }
            int j = i;
            while (j < 8 && groups[j] == 0)
                ++j;
            if (j - i >= 2 && j - i > best_length) {
                best_start = i;
                best_length = j - i;
            }
            i = j;
        }
        // Built forwards: simpler with the "::" in the middle.
        char* q = work;
        for (int i = 0; i < 8; ++i) {
            if (i == best_start) {
                *q++ = ':';
                if (i == 0)
                    *q++ = ':';
                i += best_length - 1;
                continue;
            }
            char digits[8];
            char* dend = digits + sizeof digits;
            char* d = unsigned_backwards(dend, groups[i], 16, false);
            std::memcpy(q, d, static_cast<size_t>(dend - d));
            q += dend - d;
            if (i != 7)
                *q++ = ':';
        }
        int length = static_cast<int>(q - work);
        std::memcpy(out, work, static_cast<size_t>(length));
        return length;
    }
    int length = static_cast<int>(end - p);
    std::memcpy(out, p, static_cast<size_t>(length));
    return length;
}

ORTU_UINT32 swap32(ORTU_UINT32 v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

const char BOGUS[] = "bogus %p";

} // namespace

int ortu_vformat(ORTU_Format_Flush flush, ORTU_Format_Buffer* buffer, const char* format,
                 va_list args) {
    if (!buffer || !format)
        return -1;
    Output out(flush, buffer);
    va_list ap;
    va_copy(ap, args);

    const char* f = format;
    while (*f) {
        if (*f != '%') {
            if (!out.put(*f++))
                break;
            continue;
        }
        ++f;
        Directive d;
        // Flags, width and precision; a directive starting with a lower-case
        // letter has none, which the loops below find by themselves.
        for (;; ++f) {
            if (*f == '-')
                d.left = true;
            else if (*f == '+')
                d.plus = true;
            else if (*f == ' ')
                d.space = true;
            else if (*f == '#')
                d.alternate = true;
            else if (*f == '0')
                d.zero = true;
            else
                break;
        }
        if (*f == '*') {
            ++f;
            int w = va_arg(ap, int);
            if (w < 0) {
                d.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            d.width = w;
        } else {
            while (*f >= '0' && *f <= '9') {
                int digit = *f++ - '0';
                d.width = d.width > (INT32_MAX - digit) / 10 ? INT32_MAX : d.width * 10 + digit;
            }
        }
        if (*f == '.') {
            ++f;
            d.precision = 0;
            if (*f == '*') {
                ++f;
                int p = va_arg(ap, int);
                d.precision = p < 0 ? 0 : p;
            } else {
                while (*f >= '0' && *f <= '9') {
                    int digit = *f++ - '0';
                    d.precision = d.precision > (INT32_MAX - digit) / 10 ? INT32_MAX
                                                                         : d.precision * 10 + digit;
                }
            }
        }
        if (*f == 'q') {
            d.size = Directive::sz_64;
            ++f;
        } else if (f[0] == 'l' && f[1] == 'l') {
            d.size = Directive::sz_64;
            f += 2;
        } else if (*f == 'l') {
            d.size = Directive::sz_long;
            ++f;
        } else if (*f == 'h') {
            d.size = Directive::sz_short;
            ++f;
        } else if (*f == 'z') {
            d.size = Directive::sz_size;
            ++f;
        }

        char c = *f;
        if (c == 0)
            break;
        ++f;
        bool ok = true;
        switch (c) {
        case 'd':
        case 'i': {
            ORTU_INT64 v;
            switch (d.size) {
            case Directive::sz_64:
                v = va_arg(ap, long long);
                break;
            case Directive::sz_long:
                v = static_cast<ORTU_INT32>(va_arg(ap, long));
                break;
            case Directive::sz_short:
                v = static_cast<ORTU_INT16>(va_arg(ap, int));
                break;
            case Directive::sz_size:
                v = static_cast<ORTU_INT64>(va_arg(ap, size_t));
                break;
            default:
                v = va_arg(ap, int);
                break;
            }
            ORTU_UINT64 magnitude = v < 0 ? ORTU_UINT64(0) - ORTU_UINT64(v) : ORTU_UINT64(v);
            ok = emit_integer(out, d, c, magnitude, v < 0);
            break;
        }
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            ORTU_UINT64 v;
            switch (d.size) {
            case Directive::sz_64:
                v = va_arg(ap, unsigned long long);
                break;
            case Directive::sz_long:
                v = static_cast<ORTU_UINT32>(va_arg(ap, unsigned long));
                break;
            case Directive::sz_short:
                v = static_cast<ORTU_UINT16>(va_arg(ap, unsigned int));
                break;
            case Directive::sz_size:
                v = va_arg(ap, size_t);
                break;
            default:
                v = va_arg(ap, unsigned int);
                break;
            }
            ok = emit_integer(out, d, c, v, false);
            break;
        }
        case 'c': {
            char ch = static_cast<char>(va_arg(ap, int));
            ok = emit(out, d, "", 0, 0, &ch, 1, false);
            break;
        }
        case 's': {
            const char* s = va_arg(ap, const char*);
            if (!s)
                s = "(null)";
            // strnlen: a precision lets the caller pass text without terminator.
            size_t limit = d.precision >= 0 ? static_cast<size_t>(d.precision) : SIZE_MAX;
            size_t length = strnlen(s, limit);
            // Texts longer than an int can count are cut rather than wrapped.
            ok = emit(out, d, "", 0, 0, s, length > INT32_MAX ? INT32_MAX : int(length), false);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G': {
            double v = va_arg(ap, double);
            Directive fd = d;
            if ((c == 'g' || c == 'G') && fd.precision == 0)
                fd.precision = 1;
            ok = emit_float(out, fd, c, v);
            break;
        }
        case 'n': {
            int produced = out.count();
            if (d.size == Directive::sz_64) {
                long long* p = va_arg(ap, long long*);
                if (p)
                    *p = produced;
            } else if (d.size == Directive::sz_short) {
                short* p = va_arg(ap, short*);
                if (p)
                    *p = static_cast<short>(produced);
            } else {
                int* p = va_arg(ap, int*);
                if (p)
                    *p = produced;
            }
            break;
        }
        case '%':
            ok = out.put('%');
            break;
        case 'p': {
            char letter = *f;
            if (letter == 0)
                goto done;
            ++f;
            char text[WORK_SIZE];
            switch (letter) {
            case 'a':
            case 'A': {
                ORTU_UINT32 v = va_arg(ap, unsigned int);
                if (letter == 'A')
                    v = swap32(v);
                char* end = text + sizeof text;
                char* start = ipv4_backwards(end, v);
                ok = emit_text(out, d, start, int(end - start));
                break;
            }
            case 'b':
            case 'B': {
                const ORTU_BYTE* bytes = va_arg(ap, const ORTU_BYTE*);
                if (!bytes) {
                    ok = emit_text(out, d, "(null)", 6);
                    break;
                }
                int length = ipv6_text(text, bytes, letter == 'b');
                ok = emit_text(out, d, text, length);
                break;
            }
            case 'p': {
                const void* ptr = va_arg(ap, const void*);
                char* end = text + sizeof text;
                char* start = unsigned_backwards(end, reinterpret_cast<uintptr_t>(ptr), 16, false);
                ok = emit_text(out, d, start, int(end - start));
                break;
            }
            default: {
                int index = extension_index(static_cast<unsigned char>(letter));
                ORTU_Format_Extension ext = index >= 0 ? extensions[index].load() : nullptr;
                if (!ext) {
                    // The caller passed a 32-bit value for a letter; keep the
                    // following arguments in step.
                    if (index >= 0)
                        (void)va_arg(ap, unsigned int);
                    ok = emit_text(out, d, BOGUS, sizeof BOGUS - 1);
                    break;
                }
                ORTU_UINT32 v = va_arg(ap, unsigned int);
                int length = WORK_SIZE;
                char* end = text + sizeof text;
                const char* start = ext(v, end, &length);
                // An extension that reports text outside its work buffer is
                // not trusted with our stack.
                if (!start || start < text || start > end || length < 0 || length > end - start) {
                    start = BOGUS;
                    length = sizeof BOGUS - 1;
                }
                ok = emit_text(out, d, start, length);
                break;
            }
            }
            break;
        }
        default:
            ok = out.put('%') && out.put(c);
            break;
        }
        if (!ok)
            break;
    }
done:
    va_end(ap);
    return out.stopped() ? -1 : out.count();
}

int ortu_vsnprintf(char* buffer, size_t size, const char* format, va_list args) {
    if (size == 0 || !buffer)
        return 0;
    ORTU_Format_Buffer b{buffer, buffer + size - 1, nullptr, nullptr};
    int produced = ortu_vformat(nullptr, &b, format, args);
    *b.cur = 0;
    if (produced < 0)
        return size > INT32_MAX ? INT32_MAX : static_cast<int>(size);
    return produced;
}

int ortu_snprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = ortu_vsnprintf(buffer, size, format, args);
    va_end(args);
    return result;
}

namespace {

int flush_to_file(ORTU_Format_Buffer* buffer) {
    FILE* file = static_cast<FILE*>(buffer->user1);
    char* start = static_cast<char*>(buffer->user2);
    size_t pending = static_cast<size_t>(buffer->cur - start);
    if (pending && std::fwrite(start, 1, pending, file) != pending)
        return 1;
    buffer->cur = start;
    return 0;
}

} // namespace

int ortu_vfprintf(FILE* file, const char* format, va_list args) {
    if (!file)
        return -1;
    char chunk[512];
    ORTU_Format_Buffer b{chunk, chunk + sizeof chunk, file, chunk};
    int produced = ortu_vformat(flush_to_file, &b, format, args);
    if (flush_to_file(&b) != 0)
        return -1;
    return produced;
}

int ortu_fprintf(FILE* file, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = ortu_vfprintf(file, format, args);
    va_end(args);
    return result;
}

int ortu_register_format_extension(char letter, ORTU_Format_Extension extension) {
    int code = static_cast<unsigned char>(letter);
    int index = extension_index(code);
    if (index < 0) {
        ortu_debug_print("Attempt to register bogus %d vformatter extension\n", code);
        return 0;
    }
    if (!extension) {
        // Gives the letter back, for a module that goes away.
        extensions[index].store(nullptr);
        return index;
    }
    ORTU_Format_Extension expected = nullptr;
    if (builtin_p_letter(code) || !extensions[index].compare_exchange_strong(expected, extension)) {
        ortu_debug_print("Extension '%c' already registered\n", code);
        return 0;
    }
    return index;
}
