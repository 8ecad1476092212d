#include "membarrier.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "../../config.h"

namespace {

// From linux/membarrier.h, spelled here so that older kernel headers build.
constexpr int kCmdQuery = 0;
constexpr int kCmdPrivateExpedited = 1 << 3;
constexpr int kCmdRegisterPrivateExpedited = 1 << 4;

long membarrier(int cmd) {
#ifdef SYS_membarrier
    return syscall(SYS_membarrier, cmd, 0, 0);
#else
    (void)cmd;
    return -1;
#endif
}

}  // namespace

int kovamem::memHeavyBarrierState;

bool kovamem::memHeavyBarrierReady() {
    int st = __atomic_load_n(&memHeavyBarrierState, __ATOMIC_ACQUIRE);
    if (__builtin_expect(st != 0, 1)) return st == 1;
    const long cmds = membarrier(kCmdQuery);
    const bool ok = cmds >= 0 && (cmds & kCmdPrivateExpedited) != 0 && (cmds & kCmdRegisterPrivateExpedited) != 0 &&
                    membarrier(kCmdRegisterPrivateExpedited) == 0;
    // Two first callers register twice, which the kernel allows; the first
    // answer stored is everybody's.
    int unknown = 0;
    (void)__atomic_compare_exchange_n(&memHeavyBarrierState, &unknown, ok ? 1 : 2, false, __ATOMIC_ACQ_REL,
                                      __ATOMIC_ACQUIRE);
    return __atomic_load_n(&memHeavyBarrierState, __ATOMIC_ACQUIRE) == 1;
}

bool kovamem::memHeavyBarrier() {
    if (membarrier(kCmdPrivateExpedited) == 0) return true;
    // Registered once more, in case the process was not (it always is once
    // ready: the registration is inherited across fork).
    return membarrier(kCmdRegisterPrivateExpedited) == 0 && membarrier(kCmdPrivateExpedited) == 0;
}
