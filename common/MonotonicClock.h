#pragma once

#include <chrono>
#include <cstdint>

// Milliseconds on the steady clock: for pacing and time-outs, never for
// what a user reads as a time of day.
inline std::int64_t monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
