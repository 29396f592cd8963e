#include "LiteralScanner.h"

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
    , bucketOf(needles.size(), -1)
    , stages(needles.size())
    , sameStage(needles.size())
    , windowNeedles(windowSlots)
{
    for (std::uint32_t i = 0; i < needles.size(); ++i) {
        longestNeedle = std::max(longestNeedle, needles[i].bytes.size());
        if (needles[i].bytes.size() < fingerprint)
            shortNeedles.push_back(i);
    }
    placeNeedles();
}

void LiteralScanner::placeNeedles()
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
        bucketOf[i] = choices[i].bucket;
        bucketNeedles[choices[i].bucket].push_back(i);
        const auto* bytes = reinterpret_cast<const unsigned char*>(needles[i].bytes.data());
        stages[i] = FingerprintFilter::stageOf(bytes, needles[i].bytes.size(), fingerprintAt[i]);
        windowNeedles[windowSlot(bytes + fingerprintAt[i])].push_back(i);
        filter.add(bytes + fingerprintAt[i], needles[i].ignoreCase, stages[i], choices[i].bucket);
    }
    for (std::uint32_t i = 0; i < needles.size(); ++i)
        for (std::uint32_t other = 0; other < needles.size() && bucketOf[i] >= 0; ++other)
            if (bucketOf[other] >= 0 && stages[other] == stages[i])
                sameStage[i].push_back(other);
}

std::size_t LiteralScanner::windowSlot(const unsigned char* bytes)
{
    const std::uint32_t key = lower(bytes[0]) | lower(bytes[1]) << 8 | lower(bytes[2]) << 16;
    return (key * 2654435761u >> 20) % windowSlots;
}

void LiteralScanner::scan(const char* data, std::size_t size, std::vector<Hits>& hits, Path path) const
{
    hits.assign(needles.size(), Hits());
    if (needles.empty())
        return;
    scanShortNeedles(data, size, hits);
    if (shortNeedles.size() == needles.size() || size < fingerprint)
        return;
    Scan state{data, size, hits, filter.nibbles(), {}};
    std::size_t done = 0;
#ifdef BRINDLEWICK_HAVE_AVX2_PATH
    if (path == Path::Fastest && haveAvx2())
        done = scanWide(state);
    else if (path == Path::Wide && haveAvx2())
        done = scanSteps(state, 32);
#else
    (void)path;
#endif
    scanPortable(state, done);
    for (std::size_t index = 0; index < needles.size(); ++index)
        if (hits[index].first != npos && needles[index].bytes.size() >= fingerprint)
            hits[index].last = size - needles[index].bytes.size();
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
// The buckets whose windows may have each of these bytes at one place.
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
// run of one byte that no window is made of.
__attribute__((target("avx2"))) std::size_t LiteralScanner::nextWide(const Scan& scan, std::size_t at,
                                                                   std::size_t end, std::uint64_t& found) const
{
    const char* data = scan.data;
    const auto* low = reinterpret_cast<const __m256i*>(scan.tables.low);
    const auto* high = reinterpret_cast<const __m256i*>(scan.tables.high);
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
        if (same == 0xffffffffu && !filter.isRun(static_cast<unsigned char>(data[at])))
            continue;
        found = mayStartWindows(scan, at, ~none);
        if (found != 0)
            return at;
    }
    return end;
}

__attribute__((target("avx512bw"))) std::size_t LiteralScanner::nextWidest(const Scan& scan, std::size_t at,
                                                                         std::size_t end,
                                                                         std::uint64_t& found) const
{
    const char* data = scan.data;
    const __m512i low0 = _mm512_load_si512(scan.tables.low[0]), high0 = _mm512_load_si512(scan.tables.high[0]);
    const __m512i low1 = _mm512_load_si512(scan.tables.low[1]), high1 = _mm512_load_si512(scan.tables.high[1]);
    const __m512i low2 = _mm512_load_si512(scan.tables.low[2]), high2 = _mm512_load_si512(scan.tables.high[2]);
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
        if (same == ~std::uint64_t(0) && !filter.isRun(static_cast<unsigned char>(data[at])))
            continue;
        found = mayStartWindows(scan, at, passed);
        if (found != 0)
            return at;
    }
    return end;
}

std::size_t LiteralScanner::scanWide(Scan& scan) const
{
    return scanSteps(scan, haveAvx512() ? 64 : 32);
}

std::size_t LiteralScanner::scanSteps(Scan& scan, std::size_t step) const
{
    const std::size_t steps = scan.size < step + fingerprint - 1 ? 0 : (scan.size - fingerprint + 1) / step;
    const std::size_t end = steps * step;
    for (std::size_t at = 0;; at += step) {
        std::uint64_t found = 0;
        at = step == 64 ? nextWidest(scan, at, end, found) : nextWide(scan, at, end, found);
        if (at >= end)
            return end;
        for (; found != 0; found &= found - 1)
            verify(scan, at + static_cast<std::size_t>(__builtin_ctzll(found)));
    }
}
#else
std::size_t LiteralScanner::scanWide(Scan&) const
{
    return 0;
}
#endif

void LiteralScanner::scanPortable(Scan& scan, std::size_t from) const
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(scan.data);
    for (std::size_t at = from; at + fingerprint <= scan.size; ++at)
        if (filter.buckets(bytes + at) != 0)
            verify(scan, at);
}

std::uint64_t LiteralScanner::mayStartWindows(const Scan& scan, std::size_t at, std::uint64_t positions) const
{
    std::uint64_t kept = 0;
    for (; positions != 0; positions &= positions - 1) {
        const std::size_t position = at + static_cast<std::size_t>(__builtin_ctzll(positions));
        const auto* bytes = reinterpret_cast<const unsigned char*>(scan.data) + position;
        if (filter.mayStartWindow(bytes, position, scan.size - position, scan.silenced))
            kept |= std::uint64_t(1) << (position - at);
    }
    return kept;
}

void LiteralScanner::verify(Scan& scan, std::size_t position) const
{
    const auto* window = reinterpret_cast<const unsigned char*>(scan.data) + position;
    if (!filter.mayStartWindow(window, position, scan.size - position, scan.silenced))
        return;
    for (const std::uint32_t index : windowNeedles[windowSlot(window)]) {
        const std::size_t offset = fingerprintAt[index];
        if (scan.hits[index].first != npos || position < offset
            || !matchesAt(needles[index], scan.data, scan.size, position - offset))
            continue;
        record(scan.hits[index], position - offset);
        silence(scan, index);
    }
}

// Takes a found needle out of the scan's nibble tables (its bucket is made
// again from the needles of the bucket not found yet), and its second stage
// too once every needle with the same has been found.
void LiteralScanner::silence(Scan& scan, std::uint32_t found) const
{
    const bool allFound = std::all_of(sameStage[found].begin(), sameStage[found].end(),
                                      [&scan](std::uint32_t index) { return scan.hits[index].first != npos; });
    if (allFound)
        scan.silenced.add(stages[found]);
    const int bucket = bucketOf[found];
    scan.tables.clearBucket(bucket);
    for (const std::uint32_t index : bucketNeedles[bucket]) {
        if (scan.hits[index].first != npos)
            continue;
        const auto* window = reinterpret_cast<const unsigned char*>(needles[index].bytes.data()) + fingerprintAt[index];
        scan.tables.add(window, needles[index].ignoreCase, bucket);
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
