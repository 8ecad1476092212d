// The log file: one entry per call, appended to /tmp/memmgr-<pid>.log.
//
// The file is opened and closed for every entry, so each entry has reached
// the file when the call returns and no descriptor is held between calls.
// The path is predictable and /tmp is shared, so the writer trusts only a
// file it can call its own: a regular file with a single link, owned by the
// effective user. Such a file is the process's own whatever its mode (a host
// or its start script may create it first, with the usual 0644), and the
// writer tightens the mode to 0600 before it appends, so the log's call
// chains and addresses are never readable by other users. A file it
// creates gets 0600 whatever the umask. A symbolic link, a FIFO, a device, a
// hard link to another file, or a file someone else owns counts as a failed
// open: the entry is lost and nothing else happens. Opens are non-blocking, so a FIFO
// at the path never blocks; descriptors never leak into a child process;
// errno is left as the caller had it.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "../internal.h"

using kovamem::memLoad;
using kovamem::memStore;

namespace {

constexpr const char kCapText[] = "Max file size reached";
constexpr uint32_t kCapMarkerReserve = sizeof(kCapText);  // 22, with the NUL
constexpr int kOpenFlags = O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC;
constexpr mode_t kFileMode = 0600;

// Opens the log with the access in flags, creating it when missing, and
// returns the descriptor only when the file passes the checks above; its
// size goes to *size. -1 otherwise.
int openLog(int flags, uint32_t *size) {
    if (memLoad(kovamem::memLogOff) != 0) return -1;  // report_to leaves the file out
    int fd = open(memLogPath, flags | kOpenFlags);
    if (fd < 0 && errno == ENOENT) {
        fd = open(memLogPath, flags | kOpenFlags | O_CREAT | O_EXCL, kFileMode);
        if (fd >= 0)
            (void)fchmod(fd, kFileMode);
        else if (errno == EEXIST)  // created by another thread meanwhile
            fd = open(memLogPath, flags | kOpenFlags);
    }
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() ||
        ((st.st_mode & 07777) != kFileMode && fchmod(fd, kFileMode) != 0)) {
        close(fd);
        return -1;
    }
    *size = static_cast<uint32_t>(st.st_size);
    return fd;
}

// Keeps the caller's errno across the writer's system calls.
struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

// Write results are ignored as for any entry, but a short write is finished.
void writeAll(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}

}  // namespace

void kovamem::memTextAppendV(char *buf, size_t cap, size_t *len, const char *format, va_list ap) {
    if (*len + 1 >= cap) return;
    const int n = vsnprintf(buf + *len, cap - *len, format, ap);
    if (n <= 0) return;
    const size_t room = cap - *len - 1;
    *len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
}

void kovamem::memLogNotInitialized() {
    memLogPrint(kDashLine);
    memLogPrint(kNotInitBanner);
    memLogPrint(kDashLine);
}

void kovamem::LogBatch::begin(char *buffer, size_t bytes) {
    buf = buffer;
    cap = bytes;
    len = 0;
    fd = -1;
}

void kovamem::LogBatch::flush() {
    if (fd < 0 || len == 0) return;
    const ErrnoKeeper keep;
    writeAll(fd, buf, len);
    len = 0;
    // Entries of other threads may have been appended since: the size test
    // of the next entry starts from the file as it is now.
    size = static_cast<uint32_t>(lseek(fd, 0, SEEK_END));
}

void kovamem::LogBatch::close() {
    flush();
    const ErrnoKeeper keep;
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// One entry, with the cap test memLogPrint makes, on the size the file has
// once the entries before it in this batch are written.
void kovamem::LogBatch::print(const char *format, ...) {
    if (memLoad(memLogFull) == 1) return;
    const ErrnoKeeper keep;
    if (fd < 0) {  // opened by the first entry, as memLogPrint opens for each
        fd = openLog(O_RDWR | O_APPEND, &size);
        if (fd < 0) return;
    }
    if (cap - len < MEM_LOG_ENTRY_SIZE) flush();
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf + len, MEM_LOG_ENTRY_SIZE, format, ap);
    va_end(ap);
    if (n < 0) n = 0;
    if (n > MEM_LOG_ENTRY_SIZE - 1) n = MEM_LOG_ENTRY_SIZE - 1;
    const uint32_t at = size + static_cast<uint32_t>(len);
    if (at < memLoad(memLogMaxSize) - kCapMarkerReserve) {
        len += static_cast<size_t>(n);
        return;
    }
    n = snprintf(buf + len, MEM_LOG_ENTRY_SIZE, "%s fs %d", kCapText, static_cast<int32_t>(at));
    if (n > 0) len += static_cast<size_t>(n);
    memStore(memLogFull, 1u);
}

extern "C" {

char memLogPath[31];
uint32_t memLogMaxSize = 16384;
uint32_t memLogFull;
uint32_t memLogResets;

}  // extern "C"

namespace {

// One entry through its own open of the file. An entry (note false) past
// the cap writes the marker and stops the log; a note is written only
// below three quarters of the cap and is otherwise left out.
bool writeEntry(bool note, const char *text, size_t n);

bool logWrite(bool note, const char *format, va_list ap) {
    if (memLoad(memLogFull) == 1) return false;
    char text[MEM_LOG_ENTRY_SIZE];
    int len = vsnprintf(text, sizeof text, format, ap);
    if (len < 0) len = 0;
    size_t n = static_cast<size_t>(len) < sizeof text ? static_cast<size_t>(len) : sizeof text - 1;
    return writeEntry(note, text, n);
}

// The entry's text written under the cap, through system calls only (open,
// fstat, fchmod, write, close): the part a signal handler may use. The cap
// marker is composed by hand for the same reason.
bool writeEntry(bool note, const char *text, size_t n) {
    if (memLoad(memLogFull) == 1) return false;
    const ErrnoKeeper keep;
    uint32_t size;
    int fd = openLog(O_RDWR | O_APPEND, &size);
    if (fd < 0) return false;
    const uint32_t cap = memLoad(memLogMaxSize);
    uint32_t threshold = cap - kCapMarkerReserve;
    bool written = false;
    if (note) {
        written = static_cast<uint64_t>(size) < static_cast<uint64_t>(cap) * 3 / 4 && size < threshold;
        if (written) writeAll(fd, text, n);
    } else if (size < threshold) {
        writeAll(fd, text, n);
        written = true;
    } else {
        kovamem::TextBuffer<64> marker;
        marker.clear();
        marker.put(kCapText);
        marker.put(" fs ");
        marker.dec(static_cast<int32_t>(size), 0);
        writeAll(fd, marker.buf, marker.len);
        memStore(memLogFull, 1u);
    }
    close(fd);
    return written;
}

}  // namespace

extern "C" {

void memLogPrint(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    logWrite(false, format, ap);
    va_end(ap);
}

void memLogText(const char *text, size_t n) { (void)writeEntry(false, text, n < MEM_LOG_ENTRY_SIZE ? n : MEM_LOG_ENTRY_SIZE - 1); }

int memLogNote(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const bool written = logWrite(true, format, ap);
    va_end(ap);
    return written ? 1 : 0;
}

}  // extern "C"

namespace {

// When this process started, in seconds since 1970: now, less the time
// since boot, plus its start in clock ticks since boot (/proc/self/stat);
// 0 when that cannot be read. System calls only: it runs in a fork child
// too.
int64_t processStart() {
    char buf[1024];
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    const char *p = strrchr(buf, ')');  // the name may hold spaces; the fields follow it
    for (int field = 2; p != nullptr && field < 22; ++field) p = strchr(p + 1, ' ');
    const long hz = sysconf(_SC_CLK_TCK);
    struct timespec now, boot;
    if (p == nullptr || hz <= 0 || clock_gettime(CLOCK_REALTIME, &now) != 0 || clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) - static_cast<int64_t>(boot.tv_sec) + strtoll(p + 1, nullptr, 10) / hz;
}

}  // namespace

// A log left at this process's path by an earlier process of the same pid
// (pids are reused: 32768 of them by default) is set aside as <path>.old,
// replacing an older one, so that this process's entries neither follow
// another process's nor find its cap reached. Earlier: written before this
// process started. A file the host or its start script made for it is
// younger and stays. Only a file the log would write to is moved.
void kovamem::memLogSetAside() {
    if (config_classic) return;
    const ErrnoKeeper keep;
    struct stat st;
    if (lstat(memLogPath, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid()) return;
    const int64_t start = processStart();
    if (start == 0 || static_cast<int64_t>(st.st_mtime) >= start - 1) return;
    char old[sizeof memLogPath + 4];
    memcpy(old, memLogPath, sizeof memLogPath);
    strcat(old, ".old");
    (void)rename(memLogPath, old);
}

extern "C" {

void KovaMemSetFileSize(uint32_t kilobytes) {
    memStore(memLogMaxSize, kilobytes * 1024u);
    memStore(memLogFull, 0u);
}

// Opened without truncating, checked like every open, then emptied: a file
// that is not the log's own is never cut.
void KovaMemResetFile(void) {
    const ErrnoKeeper keep;
    uint32_t size;
    int fd = openLog(O_WRONLY, &size);
    if (fd < 0) return;
    if (ftruncate(fd, 0) == 0) {
        memStore(memLogFull, 0u);
        __atomic_fetch_add(&memLogResets, 1u, __ATOMIC_RELAXED);
    }
    close(fd);
}

}  // extern "C"
