#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Finds where any of a fixed set of byte strings (needles) occurs, in one
// pass over the bytes whatever the number of needles: every position is first
// checked against the first three bytes of all needles at once (eight buckets
// of needles, a byte's bucket mask looked up by its two nibbles, 32 positions
// per step where the processor has AVX2), and only the rare positions that
// pass are compared with the needles of their buckets. Needles of one or two
// bytes are searched for on their own.
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

    enum class Path { Fastest, Portable };

    LiteralScanner() = default;
    explicit LiteralScanner(std::vector<Needle> needles);

    std::size_t size() const { return needles.size(); }
    std::size_t longest() const { return longestNeedle; }

    // Fills hits (one entry per needle) for the occurrences that lie wholly
    // inside data[0, size).
    void scan(const char* data, std::size_t size, std::vector<Hits>& hits, Path path = Path::Fastest) const;

private:
    static constexpr std::size_t fingerprint = 3;
    static constexpr int buckets = 8;

    void addToBucket(std::uint32_t index, int bucket);
    void scanShortNeedles(const char* data, std::size_t size, std::vector<Hits>& hits) const;
    std::size_t scanWide(const char* data, std::size_t size, std::vector<Hits>& hits) const;
    void scanPortable(const char* data, std::size_t from, std::size_t size, std::vector<Hits>& hits) const;
    void verify(const char* data, std::size_t size, std::size_t position, unsigned bucketBits,
                std::vector<Hits>& hits) const;
    bool matchesAt(const Needle& needle, const char* data, std::size_t size, std::size_t position) const;

    std::vector<Needle> needles;
    std::vector<std::uint32_t> shortNeedles;
    std::array<std::vector<std::uint32_t>, buckets> bucketNeedles;
    // Bucket bits of the needles whose byte k has this low or high nibble.
    alignas(16) std::uint8_t lowNibble[fingerprint][16] = {};
    alignas(16) std::uint8_t highNibble[fingerprint][16] = {};
    // Bucket bits of the needles whose byte k is this byte.
    std::uint8_t byteBuckets[fingerprint][256] = {};
    std::size_t longestNeedle = 0;
};
