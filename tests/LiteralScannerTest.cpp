// The literal scanner finds exactly what a plain search finds, on both of
// its paths, wherever the needles fall.

#include "LiteralScanner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

namespace
{
// Every start of needle in text, the plain way.
LiteralScanner::Hits plainSearch(const std::string& text, const LiteralScanner::Needle& needle)
{
    LiteralScanner::Hits hits;
    const auto fold = [&needle](char c) {
        return needle.ignoreCase ? static_cast<char>(std::tolower(static_cast<unsigned char>(c))) : c;
    };
    for (std::size_t at = 0; at + needle.bytes.size() <= text.size(); ++at) {
        const bool found = std::equal(needle.bytes.begin(), needle.bytes.end(), text.begin() + at,
                                      [&fold](char n, char t) { return n == fold(t); });
        if (found) {
            hits.first = std::min(hits.first, at);
            hits.last = at;
        }
    }
    return hits;
}
}

TEST(LiteralScannerTest, FindsWhatAPlainSearchFinds)
{
    std::mt19937 random(7);
    const std::string alphabet("abAB\r\n\0\xff", 8);
    const auto randomText = [&](std::size_t size) {
        std::string text;
        for (std::size_t i = 0; i < size; ++i)
            text += alphabet[random() % alphabet.size()];
        return text;
    };
    for (int round = 0; round < 200; ++round) {
        std::vector<LiteralScanner::Needle> needles;
        for (int n = 0; n < 1 + round % 40; ++n) {
            const bool ignoreCase = n % 3 == 0;
            std::string bytes = randomText(1 + random() % 10);
            if (ignoreCase)
                std::transform(bytes.begin(), bytes.end(), bytes.begin(), [](char c) {
                    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                });
            needles.push_back({bytes, ignoreCase});
        }
        const LiteralScanner scanner(needles);
        const std::string text = randomText(random() % 1000);
        for (const auto path : {LiteralScanner::Path::Fastest, LiteralScanner::Path::Portable}) {
            std::vector<LiteralScanner::Hits> hits;
            scanner.scan(text.data(), text.size(), hits, path);
            ASSERT_EQ(hits.size(), needles.size());
            for (std::size_t n = 0; n < needles.size(); ++n) {
                const LiteralScanner::Hits expected = plainSearch(text, needles[n]);
                ASSERT_EQ(hits[n].first, expected.first) << "round " << round << " needle " << n;
                if (expected.first == LiteralScanner::npos)
                    continue;
                ASSERT_GE(hits[n].last, expected.last) << "round " << round << " needle " << n;
                ASSERT_LE(hits[n].last, text.size() - needles[n].bytes.size());
            }
        }
    }
}

TEST(LiteralScannerTest, ARunOfOneByteIsPassedOverUnlessANeedleIsMadeOfIt)
{
    const std::string zeros(300, '\0');
    const std::string text = zeros + std::string("\0\0\xff", 3) + zeros + "aAa" + std::string(200, 'a');
    const LiteralScanner scanner({{std::string("\0\0\xff", 3), false}, {"aaaa", true}, {std::string(3, '\0'), false}});
    const LiteralScanner withoutRuns({{std::string("\0\0\xff", 3), false}, {"xaa", true}});
    for (const auto path : {LiteralScanner::Path::Fastest, LiteralScanner::Path::Wide, LiteralScanner::Path::Portable}) {
        std::vector<LiteralScanner::Hits> hits;
        scanner.scan(text.data(), text.size(), hits, path);
        EXPECT_EQ(hits[0].first, 300u);
        EXPECT_EQ(hits[1].first, 603u);
        EXPECT_EQ(hits[2].first, 0u);
        EXPECT_GE(hits[2].last, 600u);
        withoutRuns.scan(text.data(), text.size(), hits, path);
        EXPECT_EQ(hits[0].first, 300u);
        EXPECT_EQ(hits[1].first, LiteralScanner::npos);
    }
}

TEST(LiteralScannerTest, ANeedleFoundOverAndOverHidesNoneLikeIt)
{
    std::string text;
    while (text.size() < 5000)
        text += "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::size_t late = text.size();
    text += "GET /api HTTP/1.0\r\nHost: admin\r\n";
    const LiteralScanner scanner({{" http/1.1", true}, {" http/1.0", true}, {"get ", true}, {"get /api", true},
                                  {"host: admin", true}, {"HTTP/1.0", false}});
    for (const auto path : {LiteralScanner::Path::Fastest, LiteralScanner::Path::Wide, LiteralScanner::Path::Portable}) {
        std::vector<LiteralScanner::Hits> hits;
        scanner.scan(text.data(), text.size(), hits, path);
        EXPECT_EQ(hits[0].first, 6u);
        EXPECT_EQ(hits[1].first, late + 8);
        EXPECT_EQ(hits[2].first, 0u);
        EXPECT_EQ(hits[3].first, late);
        EXPECT_EQ(hits[4].first, late + 19);
        EXPECT_EQ(hits[5].first, late + 9);
    }
}
