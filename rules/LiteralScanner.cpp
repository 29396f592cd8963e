#include "LiteralScanner.h"

#include "FingerprintPlanner.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define BRINDLEWICK_HAVE_AVX2_PATH 1
#endif

namespace
{
unsigned char lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

unsigned char upper(unsigned char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

void record(LiteralScanner::Hits& hits, std::size_t position)
{
    if (hits.first == LiteralScanner::npos || position < hits.first)
        hits.first = position;
    if (hits.last == LiteralScanner::npos || position > hits.last)
        hits.last = position;
}

#ifdef BRINDLEWICK_HAVE_AVX2_PATH
bool haveAvx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}

bool haveAvx512()
{
    static const bool supported = __builtin_cpu_supports("avx512bw");
    return supported;
}
#endif
}

LiteralScanner::LiteralScanner(std::vector<Needle> givenNeedles)
    : needles(std::move(givenNeedles))
    , fingerprintAt(needles.size(), 0)
    , windowNeedles(windowSlots)
    , windowBits((std::size_t(1) << windowBitsLog2) / 64)
{
    for (std::uint32_t i = 0; i < needles.size(); ++i) {
        longestNeedle = std::max(longestNeedle, needles[i].bytes.size());
        if (needles[i].bytes.size() < fingerprint)
            shortNeedles.push_back(i);
    }
    chooseFingerprints();
}

void LiteralScanner::chooseFingerprints()
{
    std::vector<std::string> bytes;
    std::vector<bool> ignoreCase;
    for (const Needle& needle : needles) {
        bytes.push_back(needle.bytes);
        ignoreCase.push_back(needle.ignoreCase);
    }
    const std::vector<FingerprintPlanner::Choice> choices = FingerprintPlanner::plan(bytes, ignoreCase);
    for (std::uint32_t i = 0; i < needles.size(); ++i) {
        if (needles[i].bytes.size() < fingerprint)
            continue;
        fingerprintAt[i] = choices[i].offset;
        addToBucket(i, choices[i].bucket);
    }
}

std::size_t LiteralScanner::windowSlot(const unsigned char* bytes)
{
    const std::uint32_t key = lower(bytes[0]) | lower(bytes[1]) << 8 | lower(bytes[2]) << 16;
    return (key * 2654435761u >> 20) % windowSlots;
}

std::uint32_t LiteralScanner::windowBit(const unsigned char* bytes)
{
    const std::uint32_t key = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
    return key * 2654435761u >> (32 - windowBitsLog2);
}

void LiteralScanner::markWindow(const unsigned char* window, bool ignoreCase)
{
    for (unsigned variant = 0; variant < (ignoreCase ? 8u : 1u); ++variant) {
        unsigned char bytes[fingerprint];
        for (std::size_t k = 0; k < fingerprint; ++k)
            bytes[k] = variant & (1u << k) ? upper(window[k]) : window[k];
        const std::uint32_t bit = windowBit(bytes);
        windowBits[bit / 64] |= std::uint64_t(1) << (bit % 64);
    }
}

void LiteralScanner::addToBucket(std::uint32_t index, int bucket)
{
    const Needle& needle = needles[index];
    const auto* window = reinterpret_cast<const unsigned char*>(needle.bytes.data()) + fingerprintAt[index];
    windowNeedles[windowSlot(window)].push_back(index);
    markWindow(window, needle.ignoreCase);
    const bool run = lower(window[0]) == lower(window[1]) && lower(window[1]) == lower(window[2])
        && (needle.ignoreCase || (window[0] == window[1] && window[1] == window[2]));
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (std::size_t k = 0; k < fingerprint; ++k) {
        for (const unsigned char form : {window[k], needle.ignoreCase ? upper(window[k]) : window[k]}) {
            runFingerprint[form] = runFingerprint[form] || run;
            byteBuckets[k][form] |= bit;
            for (std::size_t lane = 0; lane < 64; lane += 16) {
                lowNibble[k][lane + (form & 0x0f)] |= bit;
                highNibble[k][lane + (form >> 4)] |= bit;
            }
        }
    }
}

void LiteralScanner::scan(const char* data, std::size_t size, std::vector<Hits>& hits, Path path) const
{
    hits.assign(needles.size(), Hits());
    if (needles.empty())
        return;
    scanShortNeedles(data, size, hits);
    if (shortNeedles.size() == needles.size() || size < fingerprint)
        return;
    std::size_t done = 0;
#ifdef BRINDLEWICK_HAVE_AVX2_PATH
    if (path == Path::Fastest && haveAvx2())
        done = scanWide(data, size, hits);
    else if (path == Path::Wide && haveAvx2())
        done = scanSteps(data, size, hits, 32);
#else
    (void)path;
#endif
    scanPortable(data, done, size, hits);
}

void LiteralScanner::scanShortNeedles(const char* data, std::size_t size, std::vector<Hits>& hits) const
{
    for (const std::uint32_t index : shortNeedles) {
        const Needle& needle = needles[index];
        for (std::size_t at = 0; at + needle.bytes.size() <= size; ++at) {
            const void* found = needle.ignoreCase ? nullptr : std::memchr(data + at, needle.bytes[0], size - at);
            if (!needle.ignoreCase) {
                if (!found)
                    break;
                at = static_cast<std::size_t>(static_cast<const char*>(found) - data);
            }
            if (matchesAt(needle, data, size, at))
                record(hits[index], at);
        }
    }
}

#ifdef BRINDLEWICK_HAVE_AVX2_PATH
namespace
{
// The buckets whose needles may have each of these bytes at one place of their fingerprint.
__attribute__((target("avx2"))) inline __m256i bucketsOf(__m256i bytes, __m256i low, __m256i high)
{
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    return _mm256_and_si256(_mm256_shuffle_epi8(low, _mm256_and_si256(bytes, nibble)),
                            _mm256_shuffle_epi8(high, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble)));
}

__attribute__((target("avx512bw"))) inline __m512i bucketsOf(__m512i bytes, __m512i low, __m512i high)
{
    const __m512i nibble = _mm512_set1_epi8(0x0f);
    return _mm512_and_si512(_mm512_shuffle_epi8(low, _mm512_and_si512(bytes, nibble)),
                            _mm512_shuffle_epi8(high, _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble)));
}
}

// The loops below call nothing, so that the tables stay in registers: they
// stop at the next step where a position passes, unless the step is over a
// run of one byte that no fingerprint is made of.
__attribute__((target("avx2"))) std::size_t LiteralScanner::nextWide(const char* data, std::size_t at,
                                                                   std::size_t end, std::uint64_t& found) const
{
    const auto* low = reinterpret_cast<const __m256i*>(lowNibble);
    const auto* high = reinterpret_cast<const __m256i*>(highNibble);
    // Each table is 64 bytes: two 256-bit halves, the first of which is taken.
    const __m256i low0 = _mm256_load_si256(low), low1 = _mm256_load_si256(low + 2), low2 = _mm256_load_si256(low + 4);
    const __m256i high0 = _mm256_load_si256(high), high1 = _mm256_load_si256(high + 2),
                  high2 = _mm256_load_si256(high + 4);
    for (; at < end; at += 32) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 1));
        const __m256i third = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + 2));
        const __m256i candidates = _mm256_and_si256(
            _mm256_and_si256(bucketsOf(first, low0, high0), bucketsOf(second, low1, high1)),
            bucketsOf(third, low2, high2));
        const auto none = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(candidates, _mm256_setzero_si256())));
        if (none == 0xffffffffu)
            continue;
        const __m256i run = _mm256_set1_epi8(data[at]);
        const auto same = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(first, run), _mm256_cmpeq_epi8(third, run))));
        if (same == 0xffffffffu && !runFingerprint[static_cast<unsigned char>(data[at])])
            continue;
        found = exactWindows(data, at, ~none);
        if (found != 0)
            return at;
    }
    return end;
}

__attribute__((target("avx512bw"))) std::size_t LiteralScanner::nextWidest(const char* data, std::size_t at,
                                                                         std::size_t end,
                                                                         std::uint64_t& found) const
{
    const __m512i low0 = _mm512_load_si512(lowNibble[0]), high0 = _mm512_load_si512(highNibble[0]);
    const __m512i low1 = _mm512_load_si512(lowNibble[1]), high1 = _mm512_load_si512(highNibble[1]);
    const __m512i low2 = _mm512_load_si512(lowNibble[2]), high2 = _mm512_load_si512(highNibble[2]);
    for (; at < end; at += 64) {
        const __m512i first = _mm512_loadu_si512(data + at);
        const __m512i third = _mm512_loadu_si512(data + at + 2);
        const __m512i candidates = _mm512_and_si512(
            _mm512_and_si512(bucketsOf(first, low0, high0), bucketsOf(_mm512_loadu_si512(data + at + 1), low1, high1)),
            bucketsOf(third, low2, high2));
        const std::uint64_t passed = _mm512_test_epi8_mask(candidates, candidates);
        if (passed == 0)
            continue;
        const __m512i run = _mm512_set1_epi8(data[at]);
        const std::uint64_t same = _mm512_cmpeq_epi8_mask(first, run) & _mm512_cmpeq_epi8_mask(third, run);
        if (same == ~std::uint64_t(0) && !runFingerprint[static_cast<unsigned char>(data[at])])
            continue;
        found = exactWindows(data, at, passed);
        if (found != 0)
            return at;
    }
    return end;
}

std::size_t LiteralScanner::scanWide(const char* data, std::size_t size, std::vector<Hits>& hits) const
{
    return scanSteps(data, size, hits, haveAvx512() ? 64 : 32);
}

std::size_t LiteralScanner::scanSteps(const char* data, std::size_t size, std::vector<Hits>& hits,
                                      std::size_t step) const
{
    const std::size_t steps = size < step + fingerprint - 1 ? 0 : (size - fingerprint + 1) / step;
    const std::size_t end = steps * step;
    for (std::size_t at = 0;; at += step) {
        std::uint64_t found = 0;
        at = step == 64 ? nextWidest(data, at, end, found) : nextWide(data, at, end, found);
        if (at >= end)
            return end;
        for (; found != 0; found &= found - 1)
            verify(data, size, at + static_cast<std::size_t>(__builtin_ctzll(found)), hits);
    }
}
#else
std::size_t LiteralScanner::scanWide(const char*, std::size_t, std::vector<Hits>&) const
{
    return 0;
}
#endif

void LiteralScanner::scanPortable(const char* data, std::size_t from, std::size_t size, std::vector<Hits>& hits) const
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    for (std::size_t at = from; at + fingerprint <= size; ++at) {
        if ((byteBuckets[0][bytes[at]] & byteBuckets[1][bytes[at + 1]] & byteBuckets[2][bytes[at + 2]]) != 0)
            verify(data, size, at, hits);
    }
}

bool LiteralScanner::mayBeWindow(const unsigned char* bytes) const
{
    const std::uint32_t bit = windowBit(bytes);
    return (windowBits[bit / 64] & (std::uint64_t(1) << (bit % 64))) != 0;
}

std::uint64_t LiteralScanner::exactWindows(const char* data, std::size_t at, std::uint64_t positions) const
{
    std::uint64_t kept = 0;
    for (; positions != 0; positions &= positions - 1) {
        const int lane = __builtin_ctzll(positions);
        if (mayBeWindow(reinterpret_cast<const unsigned char*>(data) + at + lane))
            kept |= std::uint64_t(1) << lane;
    }
    return kept;
}

void LiteralScanner::verify(const char* data, std::size_t size, std::size_t position, std::vector<Hits>& hits) const
{
    const auto* window = reinterpret_cast<const unsigned char*>(data) + position;
    if (!mayBeWindow(window))
        return;
    for (const std::uint32_t index : windowNeedles[windowSlot(window)]) {
        const std::size_t offset = fingerprintAt[index];
        if (position >= offset && matchesAt(needles[index], data, size, position - offset))
            record(hits[index], position - offset);
    }
}

bool LiteralScanner::matchesAt(const Needle& needle, const char* data, std::size_t size, std::size_t position) const
{
    const std::size_t length = needle.bytes.size();
    if (position + length > size)
        return false;
    if (!needle.ignoreCase)
        return std::memcmp(data + position, needle.bytes.data(), length) == 0;
    for (std::size_t i = 0; i < length; ++i)
        if (lower(static_cast<unsigned char>(data[position + i])) != static_cast<unsigned char>(needle.bytes[i]))
            return false;
    return true;
}
