#pragma once

#include "FingerprintFilter.h"
#include "FingerprintPlanner.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Finds where any of a fixed set of byte strings (needles) occurs, in one
// pass over the bytes whatever the number of needles: each position is first
// checked against three bytes of every needle at once, 32 or 64 positions a
// step where the processor has AVX2 or AVX-512 (see FingerprintFilter, and
// FingerprintPlanner for which three bytes), and only the rare positions
// that pass are compared with needles. A step over nothing but one byte, the
// usual flood, is passed over unless a needle's window is that byte three
// times. Once a needle has been found, the rest of the scan no longer looks
// for it, so that a flood holding a needle over and over costs little more.
// Needles of one or two bytes are searched for on their own.
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

    // Where a needle's complete occurrences start in one scan, npos if none:
    // the first exactly; last is the last one or later (at most where the
    // needle could last start).
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
    static constexpr std::size_t fingerprint = FingerprintFilter::width;
    static constexpr int buckets = FingerprintPlanner::buckets;
    static constexpr std::size_t windowSlots = 4096;

    // One scan's own nibble tables, without the needles it has found.
    struct Scan
    {
        const char* data;
        std::size_t size;
        std::vector<Hits>& hits;
        FingerprintFilter::NibbleTables tables;
        FingerprintFilter::Silenced silenced;
    };

    void placeNeedles();
    void scanShortNeedles(const char* data, std::size_t size, std::vector<Hits>& hits) const;
    // 64 positions a step with AVX-512, else 32 with AVX2; returns where it stopped.
    std::size_t scanWide(Scan& scan) const;
    std::size_t scanSteps(Scan& scan, std::size_t step) const;
    // The first step from at (before end) where a position passes, with a
    // bit for each such position in found; end if there is none.
    std::size_t nextWide(const Scan& scan, std::size_t at, std::size_t end, std::uint64_t& found) const;
    std::size_t nextWidest(const Scan& scan, std::size_t at, std::size_t end, std::uint64_t& found) const;
    void scanPortable(Scan& scan, std::size_t from) const;
    // Those of the positions (bits from at) whose bytes may start a window.
    std::uint64_t mayStartWindows(const Scan& scan, std::size_t at, std::uint64_t positions) const;
    void verify(Scan& scan, std::size_t position) const;
    void silence(Scan& scan, std::uint32_t found) const;
    static std::size_t windowSlot(const unsigned char* bytes);
    bool matchesAt(const Needle& needle, const char* data, std::size_t size, std::size_t position) const;

    std::vector<Needle> needles;
    // Where in each needle its three fingerprint bytes start, its bucket,
    // its second stage and the needles with the same.
    std::vector<std::size_t> fingerprintAt;
    std::vector<int> bucketOf;
    std::vector<FingerprintFilter::Stage> stages;
    std::vector<std::vector<std::uint32_t>> sameStage;
    std::array<std::vector<std::uint32_t>, buckets> bucketNeedles;
    std::vector<std::uint32_t> shortNeedles;
    // The needles by their window (ASCII letters in lower case).
    std::vector<std::vector<std::uint32_t>> windowNeedles;
    FingerprintFilter filter;
    std::size_t longestNeedle = 0;
};
