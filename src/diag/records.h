// The fault records' interface: what a record names, how it is made
// (diag/record.cpp) and where it goes (diag/sinks.cpp).
#ifndef KOVAMEM_DIAG_RECORDS_H
#define KOVAMEM_DIAG_RECORDS_H

#include "../text.h"

struct dl_phdr_info;

namespace kovamem {

// ---- fault records (diag/record.cpp, diag/sinks.cpp) ----
// What a record names: one kind per fault entry, then the two kinds of line
// that are no fault.
enum RecordKind : uint8_t {
    kRecordOverrun,
    kRecordUnderrun,
    kRecordBothGuards,
    kRecordDoubleFree,
    kRecordFreeQuarantined,
    kRecordFreeInterior,
    kRecordReallocFree,
    kRecordReallocQuarantined,
    kRecordReallocInterior,
    kRecordWriteAfterFree,
    kRecordGuardedOverrun,
    kRecordGuardedUnderrun,
    kRecordGuardedUseAfterFree,
    kRecordRepeat,
    kRecordCensus,
    kRecordKinds
};
struct FaultRecord {
    RecordKind kind;
    bool atReport;  // found by a report, not at the fault's own operation
    uintptr_t ptr;  // the block, 0: none
    uint32_t size;
    const MemTraceAddr *alloc;  // the allocating chain, NULL: none
    const MemTraceAddr *fault;  // the chain of the operation that met it, NULL: none
};
constexpr size_t kRecordBytes = 4096;
// A record as the sinks send it.
struct RecordOut {
    char line[kRecordBytes];  // "kovamem/1 kind=...", whole
    size_t len;
    RecordKind kind;
    const char *kindName;
    char sig[17];
    const char *fw, *device;
    char buildIds[1024];  // the modules' build-ids, space-separated
    uint32_t seq;         // per process, from 1
    pid_t pid;
    uint64_t count;  // a repeat's count
};
// 1 while report_to names a sink other than the file; records are made
// only then.
extern uint8_t memRecordsOn;
// 1 while report_to leaves the file out: the log is not written.
extern uint8_t memLogOff;
// One record of a fault entry, after the entry (inHandler: from a signal
// handler, which drops the record when another holds the record lock).
void memRecordFault(const FaultRecord &f, bool inHandler);
MEM_ALWAYS_INLINE void memRecord(const FaultRecord &f, bool inHandler = false) {
    if (__builtin_expect(memLoad(memRecordsOn) != 0, 0)) memRecordFault(f, inHandler);
}
// A record's signature: FNV-1a 64 over the kind's name and each chain's
// frames as text (module build-id or name, '+', hex offset), each text
// followed by a 0xFF byte and each chain by an empty text.
uint64_t memRecordSignature(const char *kind, const char *const *alloc, int na, const char *const *fault, int nf);
// Learns the program's name and the module table before a handler needs them.
void memRecordsPrepare();
// One KOVAMEM_OPTIONS item of the records; false: refused.
bool memRecordOption(const char *key, size_t keyLen, const char *v, size_t vLen);
bool memIsRecordOption(const char *key, size_t keyLen);
// memValidate: NULL when the records' tables hold together, else why
// (written to why), the sinks' queues and descriptors included.
const char *memRecordsInvalid(char *why, size_t cap);
const char *memSinksInvalid(char *why, size_t cap);
// The biggest groups of live traced blocks by allocating chain (all live
// blocks, under all locks; diag/livesince.cpp): up to n, biggest first.
struct LiveSite {
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    uint64_t bytes;
    uint32_t count;
};
uint32_t memTopLiveSites(LiveSite *out, uint32_t n);
// Takes (hold) or gives back the records' locks (the module stage's, then
// the record lock) around a fork, so that a child never inherits them held.
void memRecordsHold(bool hold);
// The pending counts and the census, once, at the process's end.
void memReportsAtExit();
// The repeat counts whose interval has passed (looked at once a second).
void memReportsDue();
bool memSinksChoose(const char *list, size_t n);
bool memSinkOption(const char *key, size_t keyLen, const char *v, size_t vLen);
void memSinksSend(const RecordOut &r);
void memSinksForked();
void memSinksFinish();
uint64_t memSinksDropped();
// A module's GNU build-id as hex, or "-" (diag/modules.cpp).
void memModuleBuildId(const struct dl_phdr_info *info, char *out, size_t cap);

}  // namespace kovamem

#endif  // KOVAMEM_DIAG_RECORDS_H
