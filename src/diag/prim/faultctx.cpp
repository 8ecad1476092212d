// What a fault's signal context says, per target: the faulting pc, the
// stack pointer and return-address register there, and whether the access
// was a read or a write where the target tells it. Reads only the context
// the kernel handed to the handler.
#include <signal.h>
#include <string.h>
#include <ucontext.h>

#include "../../internal.h"
#include "faultctx.h"

bool kovamem::memFaultContext(const void *context, FaultContext *out) {
    memset(out, 0, sizeof *out);
    if (context == nullptr) return false;
    const ucontext_t *uc = static_cast<const ucontext_t *>(context);
#if defined(__x86_64__)
    out->pc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    out->sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    // The page-fault error code: bit 1 set for a write.
    out->access = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0 ? kAccessWrite : kAccessRead;
    return true;
#elif defined(__aarch64__)
    out->pc = static_cast<uintptr_t>(uc->uc_mcontext.pc);
    out->sp = static_cast<uintptr_t>(uc->uc_mcontext.sp);
    out->ra = static_cast<uintptr_t>(uc->uc_mcontext.regs[30]);
    // The kernel's records behind the registers: an ESR record (magic
    // 0x45535201) holds the syndrome, whose WnR bit (6) tells a write in a
    // data abort (exception classes 0x24, 0x25).
    const uint8_t *p = reinterpret_cast<const uint8_t *>(uc->uc_mcontext.__reserved);
    const uint8_t *end = p + sizeof uc->uc_mcontext.__reserved;
    while (p + 8 <= end) {
        uint32_t magic, size;
        memcpy(&magic, p, 4);
        memcpy(&size, p + 4, 4);
        if (magic == 0 || size < 8 || size > static_cast<size_t>(end - p)) break;
        if (magic == 0x45535201u && size >= 16) {
            uint64_t esr;
            memcpy(&esr, p + 8, 8);
            const uint32_t ec = static_cast<uint32_t>(esr >> 26) & 0x3Fu;
            if (ec == 0x24 || ec == 0x25) out->access = (esr & (1u << 6)) != 0 ? kAccessWrite : kAccessRead;
            break;
        }
        p += size;
    }
    return true;
#elif defined(__mips__)
    // No access kind in the context: reported as an access.
    out->pc = static_cast<uintptr_t>(uc->uc_mcontext.pc);
    out->sp = static_cast<uintptr_t>(uc->uc_mcontext.gregs[29]);
    out->ra = static_cast<uintptr_t>(uc->uc_mcontext.gregs[31]);
    return true;
#else
    (void)uc;
    return false;
#endif
}
