// The host's allocator, kept in a translation unit of its own: glibc's
// <malloc.h> and the stand-in's FreeBSD headers never meet.
#include <malloc.h>

#include <cstdint>

namespace fakebsd {

// Bytes the process has allocated and not freed, and bytes the allocator
// holds from the system (heap arenas and separately mapped chunks).
void host_heap_figures(uint64_t *allocated, uint64_t *mapped) {
    struct mallinfo2 mi = mallinfo2();
    *allocated = mi.uordblks + mi.hblkhd;
    *mapped = mi.arena + mi.hblkhd;
}

// Hand free memory at the top of the heap and in free chunks back to the system.
void host_heap_trim() { malloc_trim(0); }

}  // namespace fakebsd
