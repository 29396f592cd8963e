#pragma once

// Chunk-sized blocks come and go all the time: a Session's read buffer grows
// to up to Session::maxChunkSize bytes, and views convert chunks into texts
// of their own. glibc's default malloc serves blocks that size by mmap, or
// from an arena whose free top it hands back to the kernel once it exceeds
// twice the last such block, so nearly every such block landed on fresh
// pages: a page fault per 4 KiB received. Fixed thresholds keep chunk-sized
// blocks in the arenas for reuse: blocks of up to four chunks come from the
// arenas, and an arena keeps up to sixteen chunks' worth of free memory at
// its top. Process-wide, so it is called once from main.
void keepChunkSizedBlocksForReuse();
