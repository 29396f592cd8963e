#include "FingerprintFilter.h"

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
}

void FingerprintFilter::NibbleTables::add(const unsigned char* window, bool ignoreCase, int bucket)
{
    const auto bit = static_cast<std::uint8_t>(1u << bucket);
    for (std::size_t k = 0; k < width; ++k) {
        for (const unsigned char form : {window[k], ignoreCase ? upper(window[k]) : window[k]}) {
            for (std::size_t lane = 0; lane < 64; lane += 16) {
                low[k][lane + (form & 0x0f)] |= bit;
                high[k][lane + (form >> 4)] |= bit;
            }
        }
    }
}

void FingerprintFilter::NibbleTables::clearBucket(int bucket)
{
    const auto keep = static_cast<std::uint8_t>(~(1u << bucket));
    for (std::size_t k = 0; k < width; ++k) {
        for (std::size_t entry = 0; entry < 64; ++entry) {
            low[k][entry] &= keep;
            high[k][entry] &= keep;
        }
    }
}

void FingerprintFilter::Silenced::add(const Stage& stage)
{
    if (count < capacity && !has(stage.check, stage.value))
        stages[count++] = stage;
}

FingerprintFilter::Stage FingerprintFilter::stageOf(const unsigned char* needle, std::size_t length,
                                                    std::size_t offset)
{
    if (length - offset >= longWindow)
        return Stage{Check::Tail, folded(needle + offset, longWindow)};
    if (offset >= lead)
        return Stage{Check::Lead, folded(needle + offset - lead, longWindow)};
    return Stage{Check::Unbound, folded(needle + offset, width)};
}

FingerprintFilter::FingerprintFilter()
    : windowBits((std::size_t(1) << bitsLog2) / 64)
    , tailBits(windowBits.size())
    , leadBits(windowBits.size())
    , unboundBits(windowBits.size())
    , tailWindowBits(windowBits.size())
    , leadWindowBits(windowBits.size())
{
}

void FingerprintFilter::add(const unsigned char* window, bool ignoreCase, const Stage& stage, int bucket)
{
    nibbleTables.add(window, ignoreCase, bucket);
    markWindow(window, ignoreCase, stage);
    const bool run = lower(window[0]) == lower(window[1]) && lower(window[1]) == lower(window[2])
        && (ignoreCase || (window[0] == window[1] && window[1] == window[2]));
    for (std::size_t k = 0; k < width; ++k) {
        for (const unsigned char form : {window[k], ignoreCase ? upper(window[k]) : window[k]}) {
            byteBuckets[k][form] |= static_cast<std::uint8_t>(1u << bucket);
            runWindow[form] = runWindow[form] || run;
        }
    }
}

void FingerprintFilter::markWindow(const unsigned char* window, bool ignoreCase, const Stage& stage)
{
    std::vector<std::uint64_t>& kind = stage.check == Check::Tail ? tailBits
        : stage.check == Check::Lead                              ? leadBits
                                                                  : unboundBits;
    for (unsigned variant = 0; variant < (ignoreCase ? 8u : 1u); ++variant) {
        unsigned char bytes[width];
        for (std::size_t k = 0; k < width; ++k)
            bytes[k] = variant & (1u << k) ? upper(window[k]) : window[k];
        setBit(windowBits, windowBit(bytes));
        setBit(kind, windowBit(bytes));
    }
    if (stage.check == Check::Tail)
        setBit(tailWindowBits, valueBit(stage.value));
    else if (stage.check == Check::Lead)
        setBit(leadWindowBits, valueBit(stage.value));
}

void FingerprintFilter::setBit(std::vector<std::uint64_t>& bits, std::uint32_t bit)
{
    bits[bit / 64] |= std::uint64_t(1) << (bit % 64);
}
