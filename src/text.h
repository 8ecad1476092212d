// Text the library composes: the fixed buffers of its log entries, the
// signal-safe appender of its fault records, the batched writer of the
// report, and the rule lines its texts share.
#ifndef KOVAMEM_TEXT_H
#define KOVAMEM_TEXT_H

#include "base.h"

namespace kovamem {

// Rule and banner lines shared by the report, the cleanup and the commands.
constexpr const char kDashLine[] =
    "-------------------------------------------------------------------------------\n";
constexpr const char kNotInitBanner[] =
    "---------------------- Memory Manager is Not Initialized ----------------------\n";

// Formats at buf + *len and advances *len; text that does not fit in cap
// bytes (with its terminating NUL) is cut, and a full buffer stays as it is.
void memTextAppendV(char *buf, size_t cap, size_t *len, const char *format, va_list ap);

// A fixed text buffer that log entries are composed in.
template <size_t N>
struct TextBuffer {
    char buf[N];
    size_t len;
    void clear() {
        memset(buf, 0, N);
        len = 0;
    }
    MEM_PRINTF(2, 3) void add(const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        memTextAppendV(buf, N, &len, format, ap);
        va_end(ap);
    }
    // The formatting below calls nothing of the C library but memset and
    // memcpy, so that it may run in a signal handler; each gives what
    // add's "%s", "%*X" / "%0*X" (upper) or "%*x" and "%*d" give.
    void put(const char *text) {
        for (; *text != '\0' && len + 1 < N; ++text) buf[len++] = *text;
        buf[len] = '\0';
    }
    void hex(uintptr_t v, int width, bool zero, bool upper) {
        char d[2 * sizeof(uintptr_t)];
        int n = 0;
        do {
            d[n++] = (upper ? "0123456789ABCDEF" : "0123456789abcdef")[v & 15u];
            v >>= 4;
        } while (v != 0);
        pad(width - n, zero ? '0' : ' ');
        while (n > 0 && len + 1 < N) buf[len++] = d[--n];
        buf[len] = '\0';
    }
    void dec(int64_t v, int width) {
        char d[24];
        int n = 0;
        uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        do {
            d[n++] = static_cast<char>('0' + u % 10u);
            u /= 10u;
        } while (u != 0);
        if (v < 0) d[n++] = '-';
        pad(width - n, ' ');
        while (n > 0 && len + 1 < N) buf[len++] = d[--n];
        buf[len] = '\0';
    }

   private:
    void pad(int count, char c) {
        for (; count > 0 && len + 1 < N; --count) buf[len++] = c;
    }
};

// The text of one printed trace (without its "STACK DETAILS: " prefix): the
// longest, with the widest header and 10 address lines, is far shorter.
using TraceText = TextBuffer<2000>;
void memFormatTrace(TraceText &t, const MemTraceAddr *trace, uintptr_t address, int32_t length, uint32_t tag);

// Entries written through one open of the log file, composed in a caller's
// buffer of at least MEM_LOG_ENTRY_SIZE bytes and appended when it fills.
// Each entry meets the same cap test as one of memLogPrint, on the size the
// file has once the entries before it are written; the entries of one
// buffer reach the file together. Used by the status report, whose hundreds
// of entries would otherwise each open and close the file.
struct LogBatch {
    char *buf;
    size_t cap;
    size_t len;
    int fd;
    uint32_t size;  // the file's size before buf's entries
    void begin(char *buffer, size_t bytes);
    void print(const char *format, ...) MEM_PRINTF(2, 3);
    void flush();
    void close();
};

// Text appended to a caller's buffer with no C-library formatting, so that
// a signal handler may build records: always NUL-terminated, cut at cap.
struct SafeText {
    char *b;
    size_t cap, len;
    void c(char ch) {
        if (len + 1 < cap) b[len++] = ch;
        b[len] = '\0';
    }
    void s(const char *t) {
        for (; *t != '\0'; ++t) c(*t);
    }
    void n(const char *t, size_t k) {
        for (size_t i = 0; i < k; ++i) c(t[i]);
    }
    void u(uint64_t v, int width = 1) {  // decimal, zero-padded to width
        char d[24];
        int k = 0;
        do d[k++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0 || k < width);
        while (k > 0) c(d[--k]);
    }
    void x(uint64_t v, int width = 1) {  // lower-case hex, zero-padded to width
        char d[16];
        int k = 0;
        do d[k++] = "0123456789abcdef"[v & 15u]; while ((v >>= 4) != 0 || k < width);
        while (k > 0) c(d[--k]);
    }
};

}  // namespace kovamem

#endif  // KOVAMEM_TEXT_H
