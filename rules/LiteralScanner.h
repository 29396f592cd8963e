#pragma once

#include "FingerprintPlanner.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Finds where any of a fixed set of byte strings (needles) occurs, in one
// pass over the bytes whatever the number of needles: every position is first
// checked against three bytes of all needles at once (eight buckets of
// needles, a byte's bucket mask looked up by its two nibbles, 32 or 64
// positions per step where the processor has AVX2 or AVX-512), and only the rare positions that
// pass are compared with the needles that have those three bytes (see
// FingerprintPlanner for which three and which bucket). A step over nothing but one byte, the usual flood, is passed over
// unless a needle's fingerprint is that byte three times. Needles of one or
// two bytes are searched for on their own.
class LiteralScanner
{
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    struct Needle
    {
        std::string bytes;
        // ASCII letters match either case; the needle must be lower case.
        bool ignoreCase = false;
    };

    // Where a needle's complete occurrences start in one scan, npos if none.
    struct Hits
    {
        std::size_t first = npos;
        std::size_t last = npos;
    };

    // Fastest uses AVX-512 or AVX2 where the processor has them; Wide at
    // most AVX2.
    enum class Path { Fastest, Wide, Portable };

    LiteralScanner() = default;
    explicit LiteralScanner(std::vector<Needle> needles);

    std::size_t size() const { return needles.size(); }
    std::size_t longest() const { return longestNeedle; }

    // Fills hits (one entry per needle) for the occurrences that lie wholly
    // inside data[0, size).
    void scan(const char* data, std::size_t size, std::vector<Hits>& hits, Path path = Path::Fastest) const;

private:
    static constexpr std::size_t fingerprint = FingerprintPlanner::width;
    static constexpr int buckets = FingerprintPlanner::buckets;
    static constexpr std::size_t windowSlots = 4096;
    static constexpr unsigned windowBitsLog2 = 18;

    void chooseFingerprints();
    void addToBucket(std::uint32_t index, int bucket);
    void scanShortNeedles(const char* data, std::size_t size, std::vector<Hits>& hits) const;
    // 64 positions a step with AVX-512, else 32 with AVX2; returns where it stopped.
    std::size_t scanWide(const char* data, std::size_t size, std::vector<Hits>& hits) const;
    std::size_t scanSteps(const char* data, std::size_t size, std::vector<Hits>& hits, std::size_t step) const;
    // The first step from at (before end) where a position passes, with a
    // bit for each such position in found; end if there is none.
    std::size_t nextWide(const char* data, std::size_t at, std::size_t end, std::uint64_t& found) const;
    std::size_t nextWidest(const char* data, std::size_t at, std::size_t end, std::uint64_t& found) const;
    void scanPortable(const char* data, std::size_t from, std::size_t size, std::vector<Hits>& hits) const;
    static std::size_t windowSlot(const unsigned char* bytes);
    static std::uint32_t windowBit(const unsigned char* bytes);
    bool mayBeWindow(const unsigned char* bytes) const;
    // Those of the positions (bits from at) whose three bytes may be a fingerprint.
    std::uint64_t exactWindows(const char* data, std::size_t at, std::uint64_t positions) const;
    void markWindow(const unsigned char* window, bool ignoreCase);
    void verify(const char* data, std::size_t size, std::size_t position, std::vector<Hits>& hits) const;
    bool matchesAt(const Needle& needle, const char* data, std::size_t size, std::size_t position) const;

    std::vector<Needle> needles;
    // Where in each needle its three fingerprint bytes start.
    std::vector<std::size_t> fingerprintAt;
    std::vector<std::uint32_t> shortNeedles;
    // The needles by their fingerprint bytes (ASCII letters in lower case).
    std::vector<std::vector<std::uint32_t>> windowNeedles;
    // A bit for each fingerprint exactly as it may occur (every case of a
    // needle that ignores case): most positions that pass the nibble test
    // stop at this bit.
    std::vector<std::uint64_t> windowBits;
    // Bucket bits of the needles whose byte k has this low or high nibble,
    // the 16 entries four times over, as wide as a 512-bit register.
    alignas(64) std::uint8_t lowNibble[fingerprint][64] = {};
    alignas(64) std::uint8_t highNibble[fingerprint][64] = {};
    // Bucket bits of the needles whose byte k is this byte.
    std::uint8_t byteBuckets[fingerprint][256] = {};
    // Whether a needle's fingerprint is this byte three times: only then can
    // a stretch of nothing but this byte hold a needle's fingerprint.
    bool runFingerprint[256] = {};
    std::size_t longestNeedle = 0;
};
