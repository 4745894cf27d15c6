#include "runtime/log_format.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

struct FacilityName {
    uint32_t bit;
    const char* name;
};

constexpr FacilityName kFacilities[] = {
    {0x00000001, "Init"},   {0x00000002, "Shutdown"}, {0x00000004, "Sys"},       {0x00000008, "Win"},
    {0x00000010, "Mem"},    {0x00000020, "Proc"},     {0x00000040, "Thread"},    {0x00000080, "File"},
    {0x00000100, "Policy"}, {0x00000200, "Etw"},      {0x00000400, "Path"},      {0x00000800, "Net"},
    {0x00001000, "Reg"},    {0x00002000, "Obj"},      {0x00004000, "Crypto"},    {0x00008000, "FileFlt"},
    {0x00010000, "Comms"},  {0x00020000, "Notify"},   {0x00040000, "FileScan"},  {0x00080000, "FileHash"},
    {0x00100000, "Ravel"},  {0x00200000, "EvtJrn"},   {0x00400000, "Telemetry"}, {0x80000000, "Assert"},
};

constexpr const char* kLevels[] = {"Debug", "Info", "Notice", "Warning", "Error", "Crit", "Alert", "Emerg"};

// The counted-string layouts passed to %wZ and %hZ.
struct CountedWide {
    uint16_t length;  // bytes
    uint16_t maximumLength;
    const uint16_t* buffer;
};
struct CountedNarrow {
    uint16_t length;
    uint16_t maximumLength;
    const char* buffer;
};

char* PutDigits(char* p, unsigned value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        p[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return p + digits;
}

// Output cursor that cuts at capacity - 1 and remembers that it did.
struct Sink {
    char* out;
    size_t capacity;
    size_t used;
    bool cut;

    void Put(const char* text, size_t length) {
        if (capacity == 0) {
            cut = cut || length > 0;
            return;
        }
        size_t room = capacity - 1 - used;
        if (length > room) {
            // Cut at a character boundary so the line stays valid UTF-8.
            length = room;
            while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
            cut = true;
        }
        memcpy(out + used, text, length);
        used += length;
    }
};

size_t EncodeUtf8(uint32_t cp, char* buf) {
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    buf[0] = static_cast<char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Units before the first NUL, reading no more than `limit` units: text that a precision
// bounds need not be NUL-terminated, as for narrow text.
size_t WideLength(const uint16_t* text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) ++n;
    return n;
}

// Emits text honouring the conversion's '-' flag, width and precision (precision counts bytes).
void PutField(Sink& sink, const char* text, size_t length, bool leftAlign, int width, int precision) {
    if (precision >= 0 && static_cast<size_t>(precision) < length) length = static_cast<size_t>(precision);
    size_t pad = (width > 0 && static_cast<size_t>(width) > length) ? static_cast<size_t>(width) - length : 0;
    static const char kBlanks[] = "                                ";
    // The padding ends where the output does: a width beyond it is bounded by it, and what is
    // written is printf's text cut at the capacity.
    auto putPad = [&] {
        while (pad > 0 && !sink.cut) {
            size_t n = pad < sizeof(kBlanks) - 1 ? pad : sizeof(kBlanks) - 1;
            sink.Put(kBlanks, n);
            pad -= n;
        }
    };
    if (!leftAlign) putPad();
    sink.Put(text, length);
    if (leftAlign) putPad();
}

void PutWideField(Sink& sink, const uint16_t* text, size_t units, bool leftAlign, int width, int precision) {
    char converted[1024];
    size_t n = SgUtf16ToUtf8(text, units, converted, sizeof(converted));
    // The precision counts bytes of the UTF-8 text and, as printf's does for wide text, never
    // ends inside a character.
    if (precision >= 0 && static_cast<size_t>(precision) < n) {
        n = static_cast<size_t>(precision);
        while (n > 0 && (static_cast<unsigned char>(converted[n]) & 0xC0) == 0x80) --n;
    }
    PutField(sink, converted, n, leftAlign, width, -1);
}

// A width given as an argument (`%*`), read as printf reads it: a negative width left-justifies
// with its magnitude, INT_MIN's included (which no int holds; it is taken as INT_MAX). However
// wide, a field costs no more than the output holds: PutField stops padding when it is full.
int ArgumentWidth(int value, bool* leftAlign) {
    unsigned magnitude = static_cast<unsigned>(value);
    if (value < 0) {
        *leftAlign = true;
        magnitude = 0u - magnitude;
    }
    return magnitude < static_cast<unsigned>(INT_MAX) ? static_cast<int>(magnitude) : INT_MAX;
}

bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }

}  // namespace

const char* SgFacilityName(uint32_t facility) {
    for (const auto& f : kFacilities) {
        if (f.bit == facility) return f.name;
    }
    return "Unknown";
}

const char* SgLevelName(uint32_t level) {
    if (level >= 1 && level <= 8) return kLevels[level - 1];
    return "Unknown";
}

bool SgFormatIsoTime(const SgTimeFields* t, char* out) {
    out[0] = '\0';
    if (t == nullptr) return false;
    if (t->year < 1601 || t->year > 30827 || t->month < 1 || t->month > 12 || t->day < 1 || t->day > 31 ||
        t->hour > 23 || t->minute > 59 || t->second > 59 || t->milliseconds > 999) {
        return false;
    }
    // Years past 9999 keep the four-digit field of the format: the line layout is fixed.
    char* p = PutDigits(out, t->year % 10000, 4);
    *p++ = '-';
    p = PutDigits(p, t->month, 2);
    *p++ = '-';
    p = PutDigits(p, t->day, 2);
    *p++ = 'T';
    p = PutDigits(p, t->hour, 2);
    *p++ = ':';
    p = PutDigits(p, t->minute, 2);
    *p++ = ':';
    p = PutDigits(p, t->second, 2);
    *p++ = '.';
    p = PutDigits(p, t->milliseconds, 3);
    *p++ = 'Z';
    *p = '\0';
    return true;
}

int SgFormatLogPrefix(uint32_t facility, uint32_t level, const SgTimeFields* time, char* out) {
    if (!SgFormatIsoTime(time, out)) return -1;
    const char* fac = SgFacilityName(facility);
    const char* lvl = SgLevelName(level);
    size_t n = strlen(fac), m = strlen(lvl);
    char* p = out + kIsoTimeLength;
    memcpy(p, " NVXS ", 6);
    p += 6;
    memcpy(p, fac, n);
    p += n;
    *p++ = ' ';
    memcpy(p, lvl, m);
    p += m;
    *p++ = ' ';
    *p = '\0';
    return static_cast<int>(p - out);
}

size_t SgUtf16ToUtf8(const uint16_t* text, size_t units, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t used = 0;
    for (size_t i = 0; text != nullptr && i < units; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        char buf[4];
        size_t n = EncodeUtf8(cp, buf);
        if (used + n > capacity - 1) break;
        memcpy(out + used, buf, n);
        used += n;
    }
    out[used] = '\0';
    return used;
}

int SgFormatMessageV(char* out, size_t capacity, const char* format, va_list args) {
    Sink sink{out, capacity, 0, false};
    if (format == nullptr) format = "";
    va_list ap;
    va_copy(ap, args);
    const char* p = format;
    while (*p != '\0') {
        const char* percent = strchr(p, '%');
        if (percent == nullptr) {
            sink.Put(p, strlen(p));
            break;
        }
        sink.Put(p, static_cast<size_t>(percent - p));
        const char* q = percent + 1;
        // Parse one conversion: flags, width, precision, length, conversion.
        char flags[32];
        size_t flagsLen = 0;
        flags[flagsLen++] = '%';
        bool leftAlign = false;
        while (IsFlag(*q)) {
            if (*q == '-') leftAlign = true;
            if (flagsLen < 8) flags[flagsLen++] = *q;
            ++q;
        }
        int width = -1;
        if (*q == '*') {
            width = ArgumentWidth(va_arg(ap, int), &leftAlign);
            // The C runtime, which writes numbers, sees a negative width as the '-' flag.
            if (leftAlign && memchr(flags, '-', flagsLen) == nullptr) flags[flagsLen++] = '-';
            ++q;
        } else {
            width = 0;
            while (*q >= '0' && *q <= '9') {
                width = width * 10 + (*q - '0');
                if (width > 4096) width = 4096;
                ++q;
            }
        }
        int precision = -1;
        if (*q == '.') {
            ++q;
            if (*q == '*') {
                precision = va_arg(ap, int);
                ++q;
            } else {
                precision = 0;
                while (*q >= '0' && *q <= '9') {
                    precision = precision * 10 + (*q - '0');
                    if (precision > 4096) precision = 4096;
                    ++q;
                }
            }
        }
        // Length modifiers; 'w' marks wide text, I64/I32/I are the C runtime's sizes.
        enum { kNone, kHH, kH, kL, kLL, kBigL, kZ, kJ, kT, kW } len = kNone;
        // clang-format off: one modifier per line reads as the table it is.
        if (q[0] == 'h' && q[1] == 'h')
            len = kHH, q += 2;
        else if (q[0] == 'h')
            len = kH, q += 1;
        else if (q[0] == 'l' && q[1] == 'l')
            len = kLL, q += 2;
        else if (q[0] == 'l')
            len = kL, q += 1;
        else if (q[0] == 'L')
            len = kBigL, q += 1;
        else if (q[0] == 'z')
            len = kZ, q += 1;
        else if (q[0] == 'j')
            len = kJ, q += 1;
        else if (q[0] == 't')
            len = kT, q += 1;
        else if (q[0] == 'w')
            len = kW, q += 1;
        else if (q[0] == 'I' && q[1] == '6' && q[2] == '4')
            len = kLL, q += 3;
        else if (q[0] == 'I' && q[1] == '3' && q[2] == '2')
            len = kNone, q += 3;
        else if (q[0] == 'I')
            len = kZ, q += 1;
        // clang-format on
        char conv = *q;
        if (conv == '\0') {
            sink.Put(percent, static_cast<size_t>(q - percent));
            break;
        }
        p = q + 1;

        // Rebuild a plain conversion with explicit width and precision for the C runtime. Its
        // field is never wider than buf, so a wide field still ends in its value.
        char plain[48];
        char buf[512];
        auto buildPlain = [&](const char* lengthText, char c) {
            int n = snprintf(plain, sizeof(plain), "%.*s", static_cast<int>(flagsLen), flags);
            const int widest = static_cast<int>(sizeof(buf)) - 1;
            if (width > 0) n += snprintf(plain + n, sizeof(plain) - n, "%d", width < widest ? width : widest);
            if (precision >= 0) n += snprintf(plain + n, sizeof(plain) - n, ".%d", precision);
            snprintf(plain + n, sizeof(plain) - n, "%s%c", lengthText, c);
        };
        int n = 0;
        switch (conv) {
            case '%':
                sink.Put("%", 1);
                break;
            case 'Z': {
                if (len == kW) {
                    const auto* s = va_arg(ap, const CountedWide*);
                    if (s == nullptr || s->buffer == nullptr) {
                        PutField(sink, "(null)", 6, leftAlign, width, precision);
                    } else {
                        PutWideField(sink, s->buffer, s->length / 2, leftAlign, width, precision);
                    }
                } else {
                    const auto* s = va_arg(ap, const CountedNarrow*);
                    if (s == nullptr || s->buffer == nullptr) {
                        PutField(sink, "(null)", 6, leftAlign, width, precision);
                    } else {
                        PutField(sink, s->buffer, s->length, leftAlign, width, precision);
                    }
                }
                break;
            }
            case 'S':
            case 's': {
                bool wide = conv == 'S' ? len != kH : (len == kL || len == kW);
                if (wide) {
                    const auto* s = va_arg(ap, const uint16_t*);
                    if (s == nullptr) {
                        PutField(sink, "(null)", 6, leftAlign, width, precision);
                    } else {
                        // Precision limits the characters read, as it does for narrow text.
                        const size_t units = WideLength(s, precision >= 0 ? static_cast<size_t>(precision) : SIZE_MAX);
                        PutWideField(sink, s, units, leftAlign, width, precision);
                    }
                } else {
                    const char* s = va_arg(ap, const char*);
                    if (s == nullptr) s = "(null)";
                    size_t length = precision >= 0 ? strnlen(s, static_cast<size_t>(precision)) : strlen(s);
                    PutField(sink, s, length, leftAlign, width, precision);
                }
                break;
            }
            case 'C':
            case 'c': {
                bool wide = conv == 'C' ? len != kH : (len == kL || len == kW);
                int value = va_arg(ap, int);
                if (wide) {
                    uint16_t unit = static_cast<uint16_t>(value);
                    PutWideField(sink, &unit, 1, leftAlign, width, -1);
                } else {
                    char c = static_cast<char>(value);
                    PutField(sink, &c, 1, leftAlign, width, -1);
                }
                break;
            }
            case 'd':
            case 'i':
            case 'u':
            case 'o':
            case 'x':
            case 'X': {
                bool isSigned = conv == 'd' || conv == 'i';
                switch (len) {
                    case kLL:
                    case kJ:
                        buildPlain("ll", conv);
                        n = isSigned ? snprintf(buf, sizeof(buf), plain, va_arg(ap, long long))
                                     : snprintf(buf, sizeof(buf), plain, va_arg(ap, unsigned long long));
                        break;
                    case kZ:
                    case kT:
                        buildPlain("ll", conv);
                        n = isSigned ? snprintf(buf, sizeof(buf), plain, static_cast<long long>(va_arg(ap, ptrdiff_t)))
                                     : snprintf(buf, sizeof(buf), plain,
                                                static_cast<unsigned long long>(va_arg(ap, size_t)));
                        break;
                    case kL:
                        buildPlain("l", conv);
                        n = isSigned ? snprintf(buf, sizeof(buf), plain, va_arg(ap, long))
                                     : snprintf(buf, sizeof(buf), plain, va_arg(ap, unsigned long));
                        break;
                    case kHH:
                        buildPlain("hh", conv);
                        n = snprintf(buf, sizeof(buf), plain, va_arg(ap, int));
                        break;
                    case kH:
                        buildPlain("h", conv);
                        n = snprintf(buf, sizeof(buf), plain, va_arg(ap, int));
                        break;
                    default:
                        buildPlain("", conv);
                        n = isSigned ? snprintf(buf, sizeof(buf), plain, va_arg(ap, int))
                                     : snprintf(buf, sizeof(buf), plain, va_arg(ap, unsigned int));
                        break;
                }
                sink.Put(buf, n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(buf) ? n : sizeof(buf) - 1));
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                if (len == kBigL) {
                    buildPlain("L", conv);
                    n = snprintf(buf, sizeof(buf), plain, va_arg(ap, long double));
                } else {
                    buildPlain("", conv);
                    n = snprintf(buf, sizeof(buf), plain, va_arg(ap, double));
                }
                sink.Put(buf, n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(buf) ? n : sizeof(buf) - 1));
                break;
            }
            case 'p': {
                // Fixed width, as the Windows C runtime writes pointers.
                unsigned long long value = reinterpret_cast<uintptr_t>(va_arg(ap, void*));
                n = snprintf(buf, sizeof(buf), "%0*llX", static_cast<int>(sizeof(void*) * 2), value);
                PutField(sink, buf, static_cast<size_t>(n), leftAlign, width, -1);
                break;
            }
            case 'n':
                // Writing through a caller's pointer is never honoured.
                (void)va_arg(ap, void*);
                break;
            default:
                // Unknown conversion: copy it as text.
                sink.Put(percent, static_cast<size_t>(p - percent));
                break;
        }
    }
    va_end(ap);
    if (capacity > 0) out[sink.used] = '\0';
    return sink.cut ? -1 : static_cast<int>(sink.used);
}

int SgFormatMessage(char* out, size_t capacity, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    int n = SgFormatMessageV(out, capacity, format, ap);
    va_end(ap);
    return n;
}
