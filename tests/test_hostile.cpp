// Hostile and unlucky environments: things planted at the log's predictable
// path, fork while other threads work, and a second initialisation.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support.h"

namespace {

std::string readFile(const std::string &path) {
    std::stringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &text, mode_t mode) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    fchmod(fd, mode);
    close(fd);
}

}  // namespace

using HostileLog = kt::Scenario;

// What stands at the log's predictable path, one thing after another in one
// process: the file is written only when it is the process's own regular
// file, ends owner-only, and nothing there blocks or silences the log.
TEST_F(HostileLog, WhatStandsAtThePathIsWrittenOnlyWhenItIsTheProcesssOwnFile) {
    const std::string path = kt::logPath(), other = path + ".other";
    auto mode = [&] {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    // The log of an earlier process with this pid (written before this one
    // started): set aside as <path>.old (default build), appended to as
    // described (classic).
    writeFile(path, "an earlier process's line\n", 0600);
    const struct timeval hourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimes(path.c_str(), hourAgo), 0);
    KovaMemInit(kt::Cfg{{0, 4}}.v);
    EXPECT_EQ(kt::readLog().rfind(kt::config_classic ? "an earlier process's line\nNumber of pools" : "Number of pools", 0),
              0u) << kt::readLog();
    EXPECT_EQ(readFile(path + ".old"), kt::config_classic ? "" : "an earlier process's line\n");
    unlink((path + ".old").c_str());
    // A file the host or its start script made, with the usual 0644: kept,
    // written to from the first entry, made owner-only.
    writeFile(path, "host's own line\n", 0644);
    kovamem::memLogSetAside();
    memLogPrint("entry\n");
    EXPECT_EQ(kt::readLog(), "host's own line\nentry\n");
    EXPECT_EQ(mode(), 0600u);
    // A symbolic link is not followed.
    unlink(path.c_str());
    unlink(other.c_str());
    ASSERT_EQ(symlink(other.c_str(), path.c_str()), 0);
    memLogPrint("x\n");
    EXPECT_EQ(access(other.c_str(), F_OK), -1);
    // A hard link to another file is neither written nor emptied.
    writeFile(other, "precious\n", 0600);
    unlink(path.c_str());
    ASSERT_EQ(link(other.c_str(), path.c_str()), 0);
    memLogPrint("entry\n");
    KovaMemResetFile();
    EXPECT_EQ(readFile(other), "precious\n");
    unlink(other.c_str());
    // A FIFO never blocks the writer and gets no cap marker.
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    alarm(20);  // a blocking open would hang here: the alarm ends the test as failed
    KovaMemResetFile();
    memLogPrint("entry\n");
    KovaMemPrintMemStatus();
    alarm(0);
    EXPECT_EQ(memLogFull, 0u);  // no "Max file size reached fs -1", and the log is not silenced
    // A file of another owner is refused, its mode left alone (as root).
    if (geteuid() == 0) {
        writeFile(path, "theirs\n", 0644);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        memLogPrint("entry\n");
        KovaMemResetFile();
        EXPECT_EQ(kt::readLog(), "theirs\n");
        EXPECT_EQ(mode(), 0644u);  // not ours to change
    }
    // Made anew: owner-only whatever the umask, and the caller's errno kept.
    unlink(path.c_str());
    const mode_t old = umask(0277);  // would leave 0400
    errno = 1234;
    memLogPrint("entry\n");
    EXPECT_EQ(errno, 1234);
    umask(old);
    EXPECT_EQ(mode(), 0600u);
    memLogPrint("more\n");
    EXPECT_EQ(kt::readLog(), "entry\nmore\n");
}

// ---- fork ----

// Waits for a child that arms its own alarm (a deadlocked one dies of
// SIGALRM). Under qemu's user-mode emulation a child of a multi-threaded
// process now and then hangs inside the emulator itself, where no signal
// reaches it: that child is killed and -1 returned, so that the fork is
// tried again. Otherwise the child's wait status.
int waitForChild(pid_t pid) {
    int status = 0;
    pid_t got = 0;
    for (int waited = 0; (got = waitpid(pid, &status, WNOHANG)) == 0 && waited < 3000; ++waited) usleep(10000);
    if (got == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return status;
}

// Forks count children that each run child() and _exit with what it
// returns (0: every check held); counts the children that exited 0. A child
// deadlocked in the library dies of its own alarm; one that hangs in the
// emulator is forked again (at most twice).
template <class Child>
int forkChildren(int count, Child child) {
    int ok = 0, emulatorHangs = 0;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        if (pid == 0) {
            alarm(10);
            _exit(child());
        }
        const int status = waitForChild(pid);
        if (status == -1) {
            if (++emulatorHangs >= 3) {
                ADD_FAILURE() << "children hang without their alarm firing";
                break;
            }
            --i;
            continue;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ok;
        else ADD_FAILURE() << "child " << i << " status " << status;
    }
    if (emulatorHangs > 0) printf("note: %d child(ren) hung in the emulator and were forked again\n", emulatorHangs);
    return ok;
}

TEST(Fork, ChildrenOfABusyParentAllocateAtOnceAndLogUnderTheirOwnName) {
    kt::init(kt::Cfg{{0, 64}, {2, 64}, {5, 16}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemSetFileSize(4096);
    KovaMemUpdateLogStackFlag(1);
    std::atomic<bool> done{false};
    std::vector<std::thread> busy;
    for (int t = 0; t < 3; ++t) {
        busy.emplace_back([t, &done] {
            std::vector<void *> held;
            for (uint32_t i = 0; !done; ++i) {
                if (t == 2 && i % 64 == 0) KovaMemPrintMemStatus();
                held.push_back(KovaMemAlloc(1 + (i * 7 + static_cast<uint32_t>(t)) % 300));
                if (held.size() > 8) {
                    KovaMemFree(held.front());
                    held.erase(held.begin());
                }
            }
            for (void *p : held) KovaMemFree(p);
        });
    }
    const int ok = forkChildren(20, [] {
        const std::string own = "/tmp/memmgr-" + std::to_string(getpid()) + ".log";
        unlink(own.c_str());  // a file left by an earlier process with this pid
        char why[256];
        void *p = KovaMemAlloc(24);
        const int freed = KovaMemFree(p);
        KovaMemPrintMemStatus();
        const bool valid = memValidate(why, sizeof why) == 1;
        const bool ownLog = access(own.c_str(), F_OK) == 0;
        unlink(own.c_str());
        // Exit status: 0, or which check failed.
        return (p != nullptr && freed == 1 ? 0 : 1) | (valid ? 0 : 2) | (ownLog != kt::config_classic ? 0 : 4);
    });
    done = true;
    for (auto &t : busy) t.join();
    EXPECT_EQ(ok, 20);
    EXPECT_EQ(kt::validity(), "valid");
    unlink(kt::logPath().c_str());
}

// The module map is written under the loader's lock and a lock of its own;
// a child forked while another thread writes it inherits neither held: its
// first traced allocation and its own map go through.
TEST(Fork, ChildForkedWhileAnotherThreadLogsModulesTracesAndLogsItsOwn) {
    kt::init(kt::Cfg{{0, 64}, {2, 64}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemSetFileSize(4096);
    KovaMemUpdateLogStackFlag(1);
    std::atomic<bool> done{false};
    std::thread logger([&done] {
        while (!done) {
            KovaMemLogModules();
            KovaMemResetFile();  // every call writes a whole map
            KovaMemFree(KovaMemAlloc(40));
        }
    });
    const int children = kt::kMips ? 10 : 40;
    const int ok = forkChildren(children, [] {
        const std::string own = "/tmp/memmgr-" + std::to_string(getpid()) + ".log";
        unlink(own.c_str());
        void *p = KovaMemAlloc(24);  // traced: the walk checks the modules
        KovaMemLogModules();
        const bool freed = KovaMemFree(p) == 1;
        char why[256];
        const bool valid = memValidate(why, sizeof why) == 1;
        const bool mapped = kt::config_classic || kt::count(readFile(own), "KovaMemLogModules: module 0 base") == 1;
        unlink(own.c_str());
        return (p != nullptr && freed ? 0 : 1) | (valid ? 0 : 2) | (mapped ? 0 : 4);
    });
    done = true;
    logger.join();
    EXPECT_EQ(ok, children);
    EXPECT_EQ(kt::validity(), "valid");
    unlink(kt::logPath().c_str());
}

// ---- a second initialisation ----

TEST(SecondInit, DefaultRefusesItAndKeepsThePools) {
    kt::init(kt::Cfg{{1, 4}});
    void *p = KovaMemAlloc(10);
    MemPool *first = memPoolData;
    KovaMemResetFile();
    KovaMemInit(kt::Cfg{{2, 8}}.v);
    if (kt::config_classic) {  // the described behaviour: a second table is built
        EXPECT_NE(memPoolData, first);
    } else {
        EXPECT_EQ(kt::readLog(), " EXIT: CRIT: KovaMemInit: already initialized, second call refused \n");
        EXPECT_EQ(memPoolData, first);
        EXPECT_EQ(KovaMemFree(p), 1);
        EXPECT_EQ(kt::validity(), "valid");
    }
    unlink(kt::logPath().c_str());
}
