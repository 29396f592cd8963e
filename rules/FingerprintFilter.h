#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// What LiteralScanner checks at each position before it compares needles:
// whether the three bytes there may be a needle's window, first by nibbles
// for a whole step of positions at once (a bucket bit for each place), then
// exactly (every case of a needle that ignores case), then by six bytes with
// ASCII letters in either case (the second stage): from the window's start
// where the needle has them, else ending with the window where it has those;
// a needle too short for either always passes ("unbound").
class FingerprintFilter
{
public:
    static constexpr std::size_t width = 3;
    static constexpr std::size_t longWindow = 6;
    static constexpr std::size_t lead = longWindow - width;

    enum class Check : std::uint8_t { Tail, Lead, Unbound };

    // A needle's second stage: which six bytes, and their value (the window
    // with letters in lower case for an unbound needle).
    struct Stage
    {
        Check check = Check::Unbound;
        std::uint64_t value = 0;

        bool operator==(const Stage& other) const { return check == other.check && value == other.value; }
    };

    // The bucket bits of the windows with each low or high nibble at each
    // place, the 16 entries four times over, as wide as a 512-bit register.
    struct NibbleTables
    {
        alignas(64) std::uint8_t low[width][64] = {};
        alignas(64) std::uint8_t high[width][64] = {};

        void add(const unsigned char* window, bool ignoreCase, int bucket);
        void clearBucket(int bucket);
    };

    // Second stages one scan no longer lets pass: those of the needles it
    // found, where no needle not found yet has the same.
    struct Silenced
    {
        static constexpr std::size_t capacity = 32;

        Stage stages[capacity];
        std::size_t count = 0;

        bool has(Check check, std::uint64_t value) const
        {
            for (std::size_t i = 0; i < count; ++i)
                if (stages[i].check == check && stages[i].value == value)
                    return true;
            return false;
        }
        void add(const Stage& stage);
    };

    static Stage stageOf(const unsigned char* needle, std::size_t length, std::size_t offset);

    FingerprintFilter();

    void add(const unsigned char* window, bool ignoreCase, const Stage& stage, int bucket);

    const NibbleTables& nibbles() const { return nibbleTables; }
    // The bucket bits of the three bytes at bytes, exactly.
    unsigned buckets(const unsigned char* bytes) const
    {
        return byteBuckets[0][bytes[0]] & byteBuckets[1][bytes[1]] & byteBuckets[2][bytes[2]];
    }
    // Whether a needle's window is this byte three times: only then can a
    // stretch of nothing but this byte hold a window.
    bool isRun(unsigned char byte) const { return runWindow[byte]; }

    // before and left: bytes before bytes and from there to the end of the
    // data. Inline: the scanner's vector loops call nothing.
    bool mayStartWindow(const unsigned char* bytes, std::size_t before, std::size_t left,
                        const Silenced& silenced) const
    {
        const std::uint32_t bit = windowBit(bytes);
        if (!hasBit(windowBits, bit))
            return false;
        if (hasBit(unboundBits, bit) && (silenced.count == 0 || !silenced.has(Check::Unbound, folded(bytes, width))))
            return true;
        return passes(Check::Tail, tailBits, tailWindowBits, bit, left >= longWindow ? bytes : nullptr, silenced)
            || passes(Check::Lead, leadBits, leadWindowBits, bit, before >= lead ? bytes - lead : nullptr, silenced);
    }

private:
    static constexpr unsigned bitsLog2 = 18;

    static std::uint32_t windowBit(const unsigned char* bytes)
    {
        const std::uint32_t key = bytes[0] | bytes[1] << 8 | bytes[2] << 16;
        return key * 2654435761u >> (32 - bitsLog2);
    }

    // count bytes with bit 5 set in each: ASCII letters of either case are
    // one, and so are a few other pairs, which only lets more positions pass.
    static std::uint64_t folded(const unsigned char* bytes, std::size_t count)
    {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < count; ++i)
            value |= std::uint64_t(bytes[i] | 0x20) << (8 * i);
        return value;
    }

    static std::uint32_t valueBit(std::uint64_t value)
    {
        return static_cast<std::uint32_t>(value * 0x9e3779b97f4a7c15u >> (64 - bitsLog2));
    }

    static bool hasBit(const std::vector<std::uint64_t>& bits, std::uint32_t bit)
    {
        return (bits[bit / 64] & (std::uint64_t(1) << (bit % 64))) != 0;
    }

    // sixBytes: where that check's six bytes are, null if the data has not got them.
    static bool passes(Check check, const std::vector<std::uint64_t>& kind, const std::vector<std::uint64_t>& values,
                       std::uint32_t bit, const unsigned char* sixBytes, const Silenced& silenced)
    {
        if (!hasBit(kind, bit))
            return false;
        if (!sixBytes)
            return true;
        const std::uint64_t value = folded(sixBytes, longWindow);
        return hasBit(values, valueBit(value)) && (silenced.count == 0 || !silenced.has(check, value));
    }

    static void setBit(std::vector<std::uint64_t>& bits, std::uint32_t bit);
    void markWindow(const unsigned char* window, bool ignoreCase, const Stage& stage);

    NibbleTables nibbleTables;
    std::uint8_t byteBuckets[width][256] = {};
    bool runWindow[256] = {};
    // Indexed by windowBit: every window, and those of each check. Indexed
    // by valueBit: the six bytes of tail and lead windows.
    std::vector<std::uint64_t> windowBits;
    std::vector<std::uint64_t> tailBits;
    std::vector<std::uint64_t> leadBits;
    std::vector<std::uint64_t> unboundBits;
    std::vector<std::uint64_t> tailWindowBits;
    std::vector<std::uint64_t> leadWindowBits;
};
