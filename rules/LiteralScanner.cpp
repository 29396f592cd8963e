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
#endif
}

LiteralScanner::LiteralScanner(std::vector<Needle> givenNeedles)
    : needles(std::move(givenNeedles))
{
    int nextBucket = 0;
    for (std::uint32_t i = 0; i < needles.size(); ++i) {
        longestNeedle = std::max(longestNeedle, needles[i].bytes.size());
        if (needles[i].bytes.size() < fingerprint) {
            shortNeedles.push_back(i);
            continue;
        }
        addToBucket(i, nextBucket);
        nextBucket = (nextBucket + 1) % buckets;
    }
}

void LiteralScanner::addToBucket(std::uint32_t index, int bucket)
{
    const Needle& needle = needles[index];
    bucketNeedles[bucket].push_back(index);
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (std::size_t k = 0; k < fingerprint; ++k) {
        const auto c = static_cast<unsigned char>(needle.bytes[k]);
        const unsigned char forms[2] = {c, needle.ignoreCase ? upper(c) : c};
        for (const unsigned char form : forms) {
            byteBuckets[k][form] |= bit;
            lowNibble[k][form & 0x0f] |= bit;
            highNibble[k][form >> 4] |= bit;
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
__attribute__((target("avx2"))) std::size_t LiteralScanner::scanWide(const char* data, std::size_t size,
                                                                   std::vector<Hits>& hits) const
{
    constexpr std::size_t step = 32;
    if (size < step + fingerprint - 1)
        return 0;
    __m256i low[fingerprint];
    __m256i high[fingerprint];
    for (std::size_t k = 0; k < fingerprint; ++k) {
        low[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(lowNibble[k])));
        high[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(highNibble[k])));
    }
    const __m256i nibble = _mm256_set1_epi8(0x0f);
    const __m256i zero = _mm256_setzero_si256();
    std::size_t at = 0;
    for (; at + step + fingerprint - 1 <= size; at += step) {
        __m256i candidates = _mm256_set1_epi8(-1);
        for (std::size_t k = 0; k < fingerprint; ++k) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + at + k));
            const __m256i lowBits = _mm256_shuffle_epi8(low[k], _mm256_and_si256(bytes, nibble));
            const __m256i highBits =
                _mm256_shuffle_epi8(high[k], _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
            candidates = _mm256_and_si256(candidates, _mm256_and_si256(lowBits, highBits));
        }
        auto found = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(candidates, zero)));
        if (found == 0)
            continue;
        alignas(32) std::uint8_t bucketBits[step];
        _mm256_store_si256(reinterpret_cast<__m256i*>(bucketBits), candidates);
        while (found != 0) {
            const int lane = __builtin_ctz(found);
            found &= found - 1;
            verify(data, size, at + static_cast<std::size_t>(lane), bucketBits[lane], hits);
        }
    }
    return at;
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
        const unsigned bucketBits =
            byteBuckets[0][bytes[at]] & byteBuckets[1][bytes[at + 1]] & byteBuckets[2][bytes[at + 2]];
        if (bucketBits != 0)
            verify(data, size, at, bucketBits, hits);
    }
}

void LiteralScanner::verify(const char* data, std::size_t size, std::size_t position, unsigned bucketBits,
                            std::vector<Hits>& hits) const
{
    for (int bucket = 0; bucket < buckets; ++bucket) {
        if ((bucketBits & (1u << bucket)) == 0)
            continue;
        for (const std::uint32_t index : bucketNeedles[bucket])
            if (matchesAt(needles[index], data, size, position))
                record(hits[index], position);
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
