#ifndef LUMORET_PLATFORM_MEMORY_H
#define LUMORET_PLATFORM_MEMORY_H

// Memory the process no longer uses.
namespace platform {

// Gives the heap's free memory back to the system where the allocator keeps it (after
// thousands of targets were removed, a long-running monitor should shrink again).
void ReleaseFreeMemory();

}  // namespace platform

#endif  // LUMORET_PLATFORM_MEMORY_H
