#pragma once

// Marks a hand-off between threads that the race detector cannot see on its
// own because it passes through code built without it (Qt's event queue, for
// one): what a thread did before handedOver(x) is then known to come before
// what another thread does after takenOver(x). Nothing in other builds.
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>

namespace RaceDetectorHandOff
{
inline void handedOver(const void* what)
{
    __tsan_release(const_cast<void*>(what));
}

inline void takenOver(const void* what)
{
    __tsan_acquire(const_cast<void*>(what));
}
}
#else
namespace RaceDetectorHandOff
{
inline void handedOver(const void*) {}
inline void takenOver(const void*) {}
}
#endif
