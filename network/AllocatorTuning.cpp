#include "AllocatorTuning.h"

#include "Session.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void keepChunkSizedBlocksForReuse()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(4 * Session::maxChunkSize));
    mallopt(M_TRIM_THRESHOLD, static_cast<int>(16 * Session::maxChunkSize));
#endif
}
