#ifndef LUMORET_PLATFORM_MEMORY_H
#define LUMORET_PLATFORM_MEMORY_H

// Memory the process no longer uses.
namespace platform {

// Gives the heap's free memory back to the system where the allocator keeps it (after
// thousands of targets were removed, a long-running monitor should shrink again).
void ReleaseFreeMemory();

// Lets the heap keep at most two arenas, for a process whose short-lived threads each
// build a large, passing structure (the metrics server's: one arena each would keep a
// scrape's worth per thread). Call before starting threads.
void LimitHeapArenas();

}  // namespace platform

#endif  // LUMORET_PLATFORM_MEMORY_H
