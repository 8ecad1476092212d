// Where fault records go (default build; report_to= in KOVAMEM_OPTIONS,
// KovaMemSetReportOptions for hosts): a comma-separated list of
//
//   file                    the log at /tmp/memmgr-<pid>.log (on unless the list omits it)
//   syslog[:FACILITY]       the local syslog socket /dev/log, as syslog(3) writes it:
//                           "<PRI>Mmm dd hh:mm:ss kovamem[PID]: LINE" (daemon by default)
//   syslog-udp://ADDR:PORT  RFC 5424 to a collector, one record per datagram
//   syslog-tcp://ADDR:PORT  RFC 5424, octet-counted framing
//   journald                the journal's native protocol, one datagram of FIELD=value lines
//   spool:DIR               one file per record, written as NAME.tmp and renamed to NAME
//
// The syslog lines carry at most 900 bytes of record (logd takes 1023 a
// message; report_line= lowers it, down to 160): a longer record goes as parts, "kovamem/1 part=I/N rec=PID.SEQ
// <the next piece of the record after 'kovamem/1 '>", which a reader joins in
// order. The journal and the spool take each record whole.
//
// The local socket is written directly rather than through syslog(3), so the
// host's own openlog() ident and options stay as the host set them, and a
// signal handler can send.
//
// Nothing is opened before the first record needs it; every socket is
// close-on-exec and non-blocking, and before each use the descriptor is
// checked to be still the socket it was (a program that closed it may have
// that number for a file of its own). A sink that cannot take a record now
// drops it and counts the drop: nothing here waits for a daemon or the
// network, except at exit, where a TCP connection gets up to one second to
// take what it holds. A child of fork opens its own. All of it runs under
// the record lock (diag/record.cpp), with async-signal-safe calls only.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include "../internal.h"

namespace {

using kovamem::RecordOut;

enum SinkType : uint8_t { kFile, kSyslog, kUdp, kTcp, kJournal, kSpool };

constexpr size_t kLinePart = 900;  // record bytes in one syslog line, at most
constexpr unsigned kMaxSinks = 8;  // a list of more is refused whole
constexpr size_t kPendingBytes = 8192;  // a TCP connection's unsent frames

struct Sink {
    SinkType type;
    int facility;  // syslog facility, as a code (daemon: 3)
    sockaddr_storage addr;
    socklen_t addrLen;
    char dir[200];
    char name[96];  // as it was given, for the log
    int fd;
    dev_t dev;
    ino_t ino;
    bool connecting;
    char *pending;      // TCP: frames not yet taken by the connection
    size_t pendingLen;
    uint32_t queued;    // frames in pending
    uint64_t sent, dropped, evicted;
};

Sink gSinks[kMaxSinks];
char gPending[kMaxSinks][kPendingBytes];  // touched only by a TCP sink's first record
unsigned gSinkCount;
size_t gLinePart = kLinePart;  // report_line=: busybox syslogd reads 256 bytes a message by default
uint32_t gSpoolFiles = 100;
uint32_t gSpoolBytes = 512 * 1024;
// Messages are made here rather than on the stack: a signal handler may
// run on a small alternate stack. Used under the record lock only.
char gMessage[kovamem::kRecordBytes + 1024];
char gPart[kLinePart + 1];

struct ErrnoKeeper {
    int saved = errno;
    ~ErrnoKeeper() { errno = saved; }
};

using Out = kovamem::SafeText;

// ---- the list ----
struct Facility {
    const char *name;
    int code;
};
// local7 is left out: many systems send boot messages there.
constexpr Facility kFacilities[] = {{"kern", 0},    {"user", 1},    {"mail", 2},     {"daemon", 3},
                                    {"auth", 4},    {"syslog", 5},  {"lpr", 6},      {"news", 7},
                                    {"uucp", 8},    {"cron", 9},    {"authpriv", 10}, {"ftp", 11},
                                    {"local0", 16}, {"local1", 17}, {"local2", 18},  {"local3", 19},
                                    {"local4", 20}, {"local5", 21}, {"local6", 22}};

bool starts(const char *s, size_t n, const char *word) {
    const size_t k = strlen(word);
    return n >= k && memcmp(s, word, k) == 0;
}

// ADDR:PORT, ADDR a numeric IPv4 address or [IPv6].
bool address(const char *s, size_t n, Sink *k) {
    char host[64];
    const char *colon = nullptr;
    for (size_t i = n; i-- > 0;)
        if (s[i] == ':') {
            colon = s + i;
            break;
        }
    if (colon == nullptr || colon == s) return false;
    size_t hl = static_cast<size_t>(colon - s);
    const char *h = s;
    if (h[0] == '[') {
        if (hl < 3 || h[hl - 1] != ']') return false;
        ++h, hl -= 2;
    }
    if (hl >= sizeof host) return false;
    memcpy(host, h, hl);
    host[hl] = '\0';
    uint32_t port = 0;
    const char *p = colon + 1;
    const size_t pl = static_cast<size_t>(s + n - p);
    if (pl == 0 || pl > 5) return false;
    for (size_t i = 0; i < pl; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        port = port * 10 + static_cast<uint32_t>(p[i] - '0');
    }
    if (port == 0 || port > 65535) return false;
    memset(&k->addr, 0, sizeof k->addr);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&k->addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&k->addr);
    if (s[0] != '[' && inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        k->addrLen = sizeof *v4;
        return true;
    }
    if (s[0] == '[' && inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        k->addrLen = sizeof *v6;
        return true;
    }
    return false;
}

void unixAddress(Sink *k, const char *path) {
    memset(&k->addr, 0, sizeof k->addr);
    auto *un = reinterpret_cast<sockaddr_un *>(&k->addr);
    un->sun_family = AF_UNIX;
    memcpy(un->sun_path, path, strlen(path) + 1);
    k->addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path) + 1);
}

bool parseSink(const char *s, size_t n, Sink *k) {
    memset(k, 0, sizeof *k);
    k->fd = -1;
    k->facility = 3;
    if (n == 0 || n >= sizeof k->name) return false;
    memcpy(k->name, s, n);
    if (n == 4 && memcmp(s, "file", 4) == 0) {
        k->type = kFile;
        return true;
    }
    if (n == 8 && memcmp(s, "journald", 8) == 0) {
        k->type = kJournal;
        unixAddress(k, "/run/systemd/journal/socket");
        return true;
    }
    if (starts(s, n, "syslog-udp://") || starts(s, n, "syslog-tcp://")) {
        k->type = s[7] == 'u' ? kUdp : kTcp;
        return address(s + 13, n - 13, k);
    }
    if (starts(s, n, "syslog") && (n == 6 || s[6] == ':')) {
        k->type = kSyslog;
        unixAddress(k, "/dev/log");
        if (n == 6) return true;
        for (const Facility &f : kFacilities)
            if (strlen(f.name) == n - 7 && memcmp(s + 7, f.name, n - 7) == 0) {
                k->facility = f.code;
                return true;
            }
        return false;
    }
    if (starts(s, n, "spool:/") && n - 6 < sizeof k->dir) {
        k->type = kSpool;
        memcpy(k->dir, s + 6, n - 6);
        return true;
    }
    return false;
}

// Whatever a connection still held is counted as dropped.
void forget(Sink &k) {
    k.fd = -1;
    k.connecting = false;
    k.pendingLen = 0;
    k.dropped += k.queued;
    k.queued = 0;
}

void closeSink(Sink &k) {
    if (k.fd >= 0) {
        struct stat st;
        if (fstat(k.fd, &st) == 0 && st.st_dev == k.dev && st.st_ino == k.ino) close(k.fd);
    }
    forget(k);
}

// ---- sockets ----
// The sink's socket, opened when missing or no longer ours.
bool ensureSocket(Sink &k) {
    if (k.fd >= 0) {
        struct stat st;
        if (fstat(k.fd, &st) == 0 && st.st_dev == k.dev && st.st_ino == k.ino) return true;
        forget(k);  // closed by the program: the number is not ours to close
    }
    const int family = reinterpret_cast<const sockaddr *>(&k.addr)->sa_family;
    const int type = k.type == kTcp ? SOCK_STREAM : SOCK_DGRAM;
    const int fd = socket(family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    k.fd = fd;
    k.dev = st.st_dev;
    k.ino = st.st_ino;
    if (k.type == kTcp) {
        if (connect(fd, reinterpret_cast<const sockaddr *>(&k.addr), k.addrLen) != 0) {
            if (errno != EINPROGRESS) {
                closeSink(k);
                return false;
            }
            k.connecting = true;
        }
    }
    return true;
}

// A TCP connection still being made: true once it is made (failed: the
// socket is closed and what waited for it counted as dropped).
bool connected(Sink &k, int waitMs) {
    if (!k.connecting) return true;
    struct pollfd p = {k.fd, POLLOUT, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(k.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        closeSink(k);
        return false;
    }
    k.connecting = false;
    return true;
}

// Sends what a TCP connection holds, as far as it takes it now.
void drain(Sink &k) {
    while (k.pendingLen > 0 && !k.connecting) {
        const ssize_t w = send(k.fd, k.pending, k.pendingLen, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            closeSink(k);  // the connection is gone with what it held
            return;
        }
        memmove(k.pending, k.pending + w, k.pendingLen - static_cast<size_t>(w));
        k.pendingLen -= static_cast<size_t>(w);
    }
    if (k.pendingLen == 0) k.sent += k.queued, k.queued = 0;
}

void sendTcp(Sink &k, const char *frame, size_t n) {
    if (!ensureSocket(k)) {
        ++k.dropped;
        return;
    }
    (void)connected(k, 0);
    if (k.fd < 0 || k.pendingLen + n + 8 > kPendingBytes) {
        ++k.dropped;
        return;
    }
    // Octet-counted: "LEN SP MESSAGE", queued whole so frames never interleave.
    Out o{k.pending + k.pendingLen, kPendingBytes - k.pendingLen, 0};
    o.u(n);
    o.c(' ');
    o.n(frame, n);
    k.pendingLen += o.len;
    ++k.queued;
    drain(k);
}

void sendDatagram(Sink &k, const char *msg, size_t n) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!ensureSocket(k)) break;
        if (sendto(k.fd, msg, n, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&k.addr), k.addrLen) ==
            static_cast<ssize_t>(n)) {
            ++k.sent;
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EMSGSIZE) break;
        closeSink(k);  // the daemon went away or came back: one new socket
    }
    ++k.dropped;
}

// ---- time and names ----
struct Civil {
    int64_t y;
    unsigned mo, d, h, mi, s, ms;
};
Civil civil(const struct timespec &t) {
    int64_t days = t.tv_sec / 86400, rest = t.tv_sec % 86400;
    if (rest < 0) rest += 86400, --days;
    // Days since 1970-01-01 to a proleptic Gregorian date.
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    Civil c;
    c.d = doy - (153 * mp + 2) / 5 + 1;
    c.mo = mp < 10 ? mp + 3 : mp - 9;
    c.y = static_cast<int64_t>(yoe) + era * 400 + (c.mo <= 2);
    c.h = static_cast<unsigned>(rest / 3600);
    c.mi = static_cast<unsigned>(rest / 60 % 60);
    c.s = static_cast<unsigned>(rest % 60);
    c.ms = static_cast<unsigned>(t.tv_nsec / 1000000);
    return c;
}

int severityOf(const RecordOut &r) {
    switch (r.kind) {
        case kovamem::kRecordCensus:
            return 6;  // info
        case kovamem::kRecordRepeat:
            return 4;  // warning
        case kovamem::kRecordDoubleFree:
        case kovamem::kRecordFreeQuarantined:
        case kovamem::kRecordFreeInterior:
        case kovamem::kRecordReallocFree:
        case kovamem::kRecordReallocQuarantined:
        case kovamem::kRecordReallocInterior:
            return 3;  // err, as the log's ERROR entries
        default:
            return 2;  // crit, as the log's CRIT entries
    }
}

void hostName(char *out, size_t cap) {
    struct utsname u;
    Out o{out, cap, 0};
    if (uname(&u) == 0)
        for (const char *c = u.nodename; *c != '\0' && o.len < 63; ++c) o.c(*c > ' ' && *c < 127 ? *c : '_');
    if (o.len == 0) o.c('-');
}

// RFC 5424 structured data: a parameter value with '"', '\' and ']' escaped.
void sdValue(Out &o, const char *name, const char *v) {
    o.c(' ');
    o.s(name);
    o.s("=\"");
    for (; *v != '\0'; ++v) {
        if (*v == '"' || *v == '\\' || *v == ']') o.c('\\');
        o.c(*v);
    }
    o.c('"');
}

// One syslog message of a line (or a part of one) to sink k.
void sendSyslog(Sink &k, const RecordOut &r, const char *text, size_t n, unsigned part, unsigned parts) {
    char *const msg = gMessage;
    Out o{msg, sizeof gMessage, 0};
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const Civil c = civil(now);
    o.c('<');
    o.u(static_cast<uint64_t>(k.facility * 8 + severityOf(r)));
    o.c('>');
    if (k.type == kSyslog) {
        static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
        o.n(kMonths + 3 * (c.mo - 1), 3);
        o.c(' ');
        if (c.d < 10) o.c(' ');
        o.u(c.d);
        o.c(' ');
        o.u(c.h, 2), o.c(':'), o.u(c.mi, 2), o.c(':'), o.u(c.s, 2);
        o.s(" kovamem[");
        o.u(static_cast<uint64_t>(r.pid));
        o.s("]: ");
    } else {
        char host[64];
        hostName(host, sizeof host);
        o.s("1 ");
        o.u(static_cast<uint64_t>(c.y), 4), o.c('-'), o.u(c.mo, 2), o.c('-'), o.u(c.d, 2);
        o.c('T');
        o.u(c.h, 2), o.c(':'), o.u(c.mi, 2), o.c(':'), o.u(c.s, 2), o.c('.'), o.u(c.ms, 3);
        o.s("Z ");
        o.s(host);
        o.s(" kovamem ");
        o.u(static_cast<uint64_t>(r.pid));
        o.c(' ');
        o.s(r.kindName);
        // 32473 is the enterprise number RFC 5612 reserves for documentation
        // and examples: these names are the library's own, not registered.
        o.s(" [kovamem@32473");
        sdValue(o, "kind", r.kindName);
        if (r.kind != kovamem::kRecordCensus) sdValue(o, "sig", r.sig);
        sdValue(o, "fw", r.fw);
        sdValue(o, "device", r.device);
        if (r.buildIds[0] != '\0') sdValue(o, "build_ids", r.buildIds);
        if (parts > 1) {
            char pp[24];
            Out q{pp, sizeof pp, 0};
            q.u(part), q.c('/'), q.u(parts);
            sdValue(o, "part", pp);
        }
        o.s("] ");
    }
    o.n(text, n);
    if (k.type == kTcp)
        sendTcp(k, msg, o.len);
    else
        sendDatagram(k, msg, o.len);
}

void toSyslog(Sink &k, const RecordOut &r) {
    if (r.len <= gLinePart) {
        sendSyslog(k, r, r.line, r.len, 1, 1);
        return;
    }
    constexpr size_t kTag = sizeof "kovamem/1 " - 1;
    const char *body = r.line + kTag;
    const size_t bodyLen = r.len - kTag;
    // Room for "kovamem/1 part=I/N rec=PID.SEQ "; a part never ends in a
    // space, which a daemon may trim.
    const size_t chunk = gLinePart - 64;
    unsigned parts = 0;
    size_t cut[kovamem::kRecordBytes / 64 + 2];
    for (size_t at = 0; at < bodyLen; ++parts) {
        size_t n = bodyLen - at < chunk ? bodyLen - at : chunk;
        if (at + n < bodyLen && body[at + n - 1] == ' ') --n;
        cut[parts] = at;
        at += n;
    }
    cut[parts] = bodyLen;
    for (unsigned i = 0; i < parts; ++i) {
        char *const line = gPart;
        Out o{line, sizeof gPart, 0};
        o.s("kovamem/1 part=");
        o.u(i + 1), o.c('/'), o.u(parts);
        o.s(" rec=");
        o.u(static_cast<uint64_t>(r.pid)), o.c('.'), o.u(r.seq);
        o.c(' ');
        o.n(body + cut[i], cut[i + 1] - cut[i]);
        sendSyslog(k, r, line, o.len, i + 1, parts);
    }
}

// A fixed MESSAGE_ID per kind, so that journalctl MESSAGE_ID=... finds
// every record of one kind on any device.
constexpr const char *kMessageIds[] = {
    "0e9d4ee7113d470db4e8f2338e43b511", "2b73d49cf14d43bc95f02063f0dd21eb", "4e83f1e0943a46059322bf3f0e00f5f4",
    "c36c865bf4594f19a18c2a9880e8deec", "02090c75cb2544008f4ede4d1a3e3f6e", "208d71b0afcb4849a9ffaab33d9e4c69",
    "4f67bfbc3e98494bb20401fb5537e7d7", "18dbb50ed153466bbcc4489c4bb2e9ce", "03c01cdebd02482989da43c291fda479",
    "de0ccd0b488f477cbe78b467fe8fb1bf", "ce5f39454ff94a7f9748f17afeedf352", "330e858aa415445280d71568b5e7544a",
    "35fcdf9eb7644cbfafec182849c4c8a5", "cf6fef7659484e67bb628db09b488ca2", "6cac5bc725cd401a999a0b3bc1afa1b8"};
static_assert(sizeof kMessageIds / sizeof kMessageIds[0] == kovamem::kRecordKinds, "an id per kind");

void toJournal(Sink &k, const RecordOut &r) {
    char *const msg = gMessage;
    Out o{msg, sizeof gMessage, 0};
    o.s("MESSAGE="), o.n(r.line, r.len), o.c('\n');
    o.s("PRIORITY="), o.u(static_cast<uint64_t>(severityOf(r))), o.c('\n');
    o.s("SYSLOG_IDENTIFIER=kovamem\n");
    o.s("SYSLOG_PID="), o.u(static_cast<uint64_t>(r.pid)), o.c('\n');
    o.s("MESSAGE_ID="), o.s(kMessageIds[r.kind]), o.c('\n');
    o.s("KOVAMEM_KIND="), o.s(r.kindName), o.c('\n');
    if (r.kind != kovamem::kRecordCensus) o.s("KOVAMEM_SIGNATURE="), o.s(r.sig), o.c('\n');
    if (r.kind == kovamem::kRecordRepeat) o.s("KOVAMEM_COUNT="), o.u(r.count), o.c('\n');
    o.s("KOVAMEM_FW="), o.s(r.fw), o.c('\n');
    o.s("KOVAMEM_DEVICE="), o.s(r.device), o.c('\n');
    if (r.buildIds[0] != '\0') o.s("KOVAMEM_BUILD_IDS="), o.s(r.buildIds), o.c('\n');
    sendDatagram(k, msg, o.len);
}

// ---- the spool ----
struct Dirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

bool endsWith(const char *s, const char *tail) {
    const size_t a = strlen(s), b = strlen(tail);
    return a >= b && memcmp(s + a - b, tail, b) == 0;
}

// The pid in "kovamem-<s>.<ns>-<pid>-<seq>.rec.tmp".
pid_t tmpOwner(const char *name) {
    const char *dash = strchr(name + 8, '-');
    pid_t pid = 0;
    if (dash == nullptr) return 0;
    for (const char *c = dash + 1; *c >= '0' && *c <= '9'; ++c) pid = pid * 10 + (*c - '0');
    return pid;
}

// One pass over the directory: the records' count and bytes and the
// oldest one's name; the files a killed writer left half-written go.
void scanSpool(int dir, uint32_t *files, uint64_t *bytes, char *oldest, size_t cap) {
    *files = 0;
    *bytes = 0;
    oldest[0] = '\0';
    (void)lseek(dir, 0, SEEK_SET);
    alignas(8) char buf[2048];
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n <= 0) return;
        for (long at = 0; at < n;) {
            const auto *e = reinterpret_cast<const Dirent64 *>(buf + at);
            at += e->reclen;
            if (strncmp(e->name, "kovamem-", 8) != 0) continue;
            if (endsWith(e->name, ".rec.tmp")) {
                const pid_t owner = tmpOwner(e->name);
                if (owner > 0 && kill(owner, 0) != 0 && errno == ESRCH) (void)unlinkat(dir, e->name, 0);
                continue;
            }
            if (!endsWith(e->name, ".rec")) continue;
            struct stat st;
            if (fstatat(dir, e->name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
            ++*files;
            *bytes += static_cast<uint64_t>(st.st_size);
            if ((oldest[0] == '\0' || strcmp(e->name, oldest) < 0) && strlen(e->name) < cap) strcpy(oldest, e->name);
        }
    }
}

void toSpool(Sink &k, const RecordOut &r) {
    int dir = open(k.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 && errno == ENOENT && mkdir(k.dir, 0700) == 0) dir = open(k.dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        ++k.dropped;
        return;
    }
    const uint64_t size = r.len + 1;
    // The oldest records go first while the new one would pass a bound.
    for (int rounds = 0; rounds < 64; ++rounds) {
        uint32_t files;
        uint64_t bytes;
        char oldest[96];
        scanSpool(dir, &files, &bytes, oldest, sizeof oldest);
        if ((files < gSpoolFiles && bytes + size <= gSpoolBytes) || oldest[0] == '\0') break;
        if (unlinkat(dir, oldest, 0) == 0) ++k.evicted;
    }
    if (size > gSpoolBytes || gSpoolFiles == 0) {
        ++k.dropped;
        close(dir);
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    char name[96], tmp[100];
    Out o{name, sizeof name, 0};
    o.s("kovamem-");
    o.u(static_cast<uint64_t>(now.tv_sec), 10), o.c('.'), o.u(static_cast<uint64_t>(now.tv_nsec), 9);
    o.c('-'), o.u(static_cast<uint64_t>(r.pid)), o.c('-'), o.u(r.seq);
    o.s(".rec");
    memcpy(tmp, name, o.len);
    memcpy(tmp + o.len, ".tmp", 5);
    const int fd = openat(dir, tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool ok = fd >= 0;
    if (ok) {
        memcpy(gMessage, r.line, r.len);
        gMessage[r.len] = '\n';
        ok = write(fd, gMessage, r.len + 1) == static_cast<ssize_t>(r.len + 1);
        ok = close(fd) == 0 && ok;
        ok = ok && renameat(dir, tmp, dir, name) == 0;
        if (!ok) (void)unlinkat(dir, tmp, 0);  // a full disk: no partial record stays
    }
    if (ok)
        ++k.sent;
    else
        ++k.dropped;
    close(dir);
}

}  // namespace

bool kovamem::memSinksChoose(const char *list, size_t n) {
    Sink chosen[kMaxSinks];
    unsigned count = 0;
    bool file = false, records = false;
    for (size_t at = 0; at <= n;) {
        size_t end = at;
        while (end < n && list[end] != ',') ++end;
        if (count == kMaxSinks || !parseSink(list + at, end - at, &chosen[count])) return false;
        file = file || chosen[count].type == kFile;
        records = records || chosen[count].type != kFile;
        ++count;
        at = end + 1;
    }
    for (unsigned i = 0; i < gSinkCount; ++i) closeSink(gSinks[i]);
    memcpy(gSinks, chosen, sizeof(Sink) * count);
    for (unsigned i = 0; i < count; ++i) gSinks[i].pending = gPending[i];
    gSinkCount = count;
    memStore(memLogOff, static_cast<uint8_t>(!file));
    memStore(memRecordsOn, static_cast<uint8_t>(records));
    return true;
}

bool kovamem::memSinkOption(const char *key, size_t keyLen, const char *v, size_t vLen) {
    uint64_t n = 0;
    if (vLen == 0 || vLen > 7) return false;
    for (size_t i = 0; i < vLen; ++i) {
        if (v[i] < '0' || v[i] > '9') return false;
        n = n * 10 + static_cast<uint64_t>(v[i] - '0');
    }
    if (keyLen == 11 && memcmp(key, "spool_files", 11) == 0 && n >= 1 && n <= 100000) {
        gSpoolFiles = static_cast<uint32_t>(n);
        return true;
    }
    if (keyLen == 11 && memcmp(key, "report_line", 11) == 0 && n >= 160 && n <= kLinePart) {
        gLinePart = static_cast<size_t>(n);
        return true;
    }
    if (keyLen == 8 && memcmp(key, "spool_kb", 8) == 0 && n >= 1 && n <= 4194303) {
        gSpoolBytes = static_cast<uint32_t>(n * 1024);
        return true;
    }
    return false;
}

void kovamem::memSinksSend(const RecordOut &r) {
    const ErrnoKeeper keep;
    for (unsigned i = 0; i < gSinkCount; ++i) {
        Sink &k = gSinks[i];
        switch (k.type) {
            case kFile:
                break;
            case kSyslog:
            case kUdp:
            case kTcp:
                toSyslog(k, r);
                break;
            case kJournal:
                toJournal(k, r);
                break;
            case kSpool:
                toSpool(k, r);
                break;
        }
    }
}

const char *kovamem::memSinksInvalid(char *why, size_t cap) {
    bool file = false, records = false;
    for (unsigned i = 0; i < gSinkCount; ++i) {
        const Sink &k = gSinks[i];
        file = file || k.type == kFile;
        records = records || k.type != kFile;
        // A connection's queue holds whole frames but the first, which may
        // be partly sent: frames and bytes are there together or not at all.
        const bool socket = k.type == kSyslog || k.type == kUdp || k.type == kTcp || k.type == kJournal;
        if ((k.fd >= 0 && !socket) || k.pendingLen > kPendingBytes || (k.pendingLen == 0) != (k.queued == 0) ||
            (k.type != kTcp && (k.pendingLen != 0 || k.connecting)) || k.pending != gPending[i]) {
            snprintf(why, cap, "records: sink %s holds descriptor %d, %zu bytes and %u frames queued", k.name, k.fd,
                     k.pendingLen, k.queued);
            return why;
        }
    }
    if (memLoad(memLogOff) != static_cast<uint8_t>(gSinkCount != 0 && !file) ||
        memLoad(memRecordsOn) != static_cast<uint8_t>(records)) {
        snprintf(why, cap, "records: the log is %s and records %s, but the sinks say otherwise",
                 memLoad(memLogOff) != 0 ? "off" : "on", memLoad(memRecordsOn) != 0 ? "on" : "off");
        return why;
    }
    return nullptr;
}

void kovamem::memSinksForked() {
    for (unsigned i = 0; i < gSinkCount; ++i) {
        Sink &k = gSinks[i];
        closeSink(k);
        k.sent = k.dropped = k.evicted = 0;  // the parent's to tell
    }
}

uint64_t kovamem::memSinksDropped() {
    uint64_t n = 0;
    for (unsigned i = 0; i < gSinkCount; ++i) n += gSinks[i].dropped;
    return n;
}

void kovamem::memSinksFinish() {
    const ErrnoKeeper keep;
    for (unsigned i = 0; i < gSinkCount; ++i) {
        Sink &k = gSinks[i];
        if (k.type == kTcp && k.fd >= 0) {
            // Up to a second for the connection to take what it holds.
            for (int waited = 0; waited < 1000 && k.fd >= 0 && k.pendingLen > 0; waited += 10) {
                if (connected(k, 10)) drain(k);
                if (k.pendingLen > 0 && !k.connecting) {
                    struct pollfd p = {k.fd, POLLOUT, 0};
                    (void)poll(&p, 1, 10);
                }
            }
        }
        if (k.pendingLen > 0) closeSink(k);  // what the connection did not take is counted
        if (k.type != kFile && k.type != kSpool)
            memLogPrint(" INFO: KovaMemFlushReports: %s: %llu records sent, %llu dropped\n", k.name,
                        static_cast<unsigned long long>(k.sent), static_cast<unsigned long long>(k.dropped));
        else if (k.type == kSpool)
            memLogPrint(" INFO: KovaMemFlushReports: %s: %llu records written, %llu dropped, %llu oldest removed\n",
                        k.name, static_cast<unsigned long long>(k.sent), static_cast<unsigned long long>(k.dropped),
                        static_cast<unsigned long long>(k.evicted));
        closeSink(k);
    }
}
