// The node's control-stream parser driven as a session drives it, on a clock
// of its own, and whole sessions played into it as the client writes them,
// for the parser's unit test and its fuzz target. Header only and free of
// GoogleTest.
#pragma once

#include "node/control_parser.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// Receives at given times, and Tick whenever the parser asks for it.
class ControlDriver {
public:
    using Bytes = std::vector<uint8_t>;
    using SEvent = CControlParser::SEvent;

    explicit ControlDriver(int64_t nSilence) : m_parser(nSilence) {}

    void Feed(const Bytes& data, int64_t nGapMs = 0) {
        Advance(nGapMs);
        m_parser.Feed(data.data(), data.size(), m_nNow, m_events);
    }
    // Lets time pass, ticking at every deadline the parser names.
    void Advance(int64_t nMs) {
        const int64_t nEnd = m_nNow + nMs;
        for (int64_t nDeadline = m_parser.NextDeadline(); nDeadline >= 0 && nDeadline <= nEnd;
             nDeadline = m_parser.NextDeadline()) {
            m_nNow = std::max(m_nNow, nDeadline);
            m_parser.Tick(m_nNow, m_events);
        }
        m_nNow = nEnd;
        m_parser.Tick(m_nNow, m_events);
    }
    std::vector<SEvent> Take() { return std::exchange(m_events, {}); }

    CControlParser m_parser;
    std::vector<SEvent> m_events;
    int64_t m_nNow = 1000;
};

// A filler block as the client's sender makes one for test nTest, with bytes
// that look like messages made common and, as pick(lo, hi) chooses, a first
// byte that is the test's, 0x6C or any message byte.
template <typename Pick> std::vector<uint8_t> WrittenBlock(int nTest, Pick pick) {
    std::mt19937 random(static_cast<uint32_t>(pick(0, 0x7FFFFFFF)));
    std::vector<uint8_t> block(CControlParser::BLOCK_SIZE);
    for (auto& b : block) {
        b = static_cast<uint8_t>(random() % 4 == 0 ? random() % 7 : random() % 255);
    }
    const int nFirst = pick(0, 3);
    block[0] = nFirst == 1   ? static_cast<uint8_t>(nTest)
               : nFirst == 2 ? uint8_t{0x6C}
               : nFirst == 3 ? static_cast<uint8_t>(pick(0, 6))
                             : block[0];
    return block;
}

// Plays one whole session into a fresh driver as the client writes it, with
// every choice made by pick(lo, hi) (a number from lo to hi): the session
// start, requests for tests that are never the running one's, repeats sent
// before the command (alone, or glued to the first block), uploads of blocks
// whose bytes often look like messages, receives cut anywhere but never
// leaving an upload's first receive just a few bytes (the client writes
// whole blocks), and pauses shorter than the silence. Empty when the parser
// read exactly the messages written and counted exactly the upload, else
// what went wrong.
template <typename Pick> std::string PlayWrittenSession(int64_t nSilence, Pick pick) {
    using EKind = CControlParser::EKind;
    using SEvent = CControlParser::SEvent;
    ControlDriver driver(nSilence);
    const uint16_t nSeconds = static_cast<uint16_t>(pick(0, 65535));
    int nTest = pick(1, 6);
    driver.Feed({0x6C, static_cast<uint8_t>(nSeconds), static_cast<uint8_t>(nSeconds >> 8)});
    driver.Feed({static_cast<uint8_t>(nTest)}, 3);
    std::vector<SEvent> expected{{EKind::SessionStart, nSeconds}, {EKind::TestRequest, nTest}};
    for (int nRound = 0; nRound < 8 && nTest != 0; ++nRound) {
        // The request for nTest is in; the node commands it.
        if (driver.Take() != expected) {
            return "the messages before test " + std::to_string(nTest) + " read otherwise";
        }
        expected.clear();
        driver.m_parser.OnCommand(nTest);
        int nNext = pick(0, 5); // 0 ends the session
        nNext = nNext >= nTest ? nNext + 1 : nNext;
        ControlDriver::Bytes stream;
        size_t nUpload = 0;
        if (nTest == 1 || nTest == 3) {
            const int nRepeats = pick(0, 2);
            const int nBlocks = pick(0, 5);
            const bool bGlued = pick(0, 1) == 0;
            for (int i = 0; i < nRepeats; ++i) {
                if (bGlued) {
                    stream.push_back(static_cast<uint8_t>(nTest));
                    if (nBlocks == 0) {
                        expected.push_back({EKind::TestRequest, nTest}); // nothing to glue to
                    }
                } else {
                    driver.Feed({static_cast<uint8_t>(nTest)}, 1);
                    expected.push_back({EKind::TestRequest, nTest});
                }
            }
            const ControlDriver::Bytes block = WrittenBlock(nTest, pick);
            for (int i = 0; i < nBlocks; ++i) {
                stream.insert(stream.end(), block.begin(), block.end());
            }
            nUpload = block.size() * static_cast<size_t>(nBlocks);
        }
        stream.push_back(static_cast<uint8_t>(nNext));
        for (size_t i = 0; i < stream.size();) {
            const size_t nMin = (i == 0 && stream.size() > 4) ? 4 : 1;
            const size_t n =
                std::min<size_t>(nMin + static_cast<size_t>(pick(0, 2500)), stream.size() - i);
            const int64_t nGap = pick(0, 7) == 0 ? pick(0, static_cast<int>(nSilence) - 51) : 0;
            driver.Feed(ControlDriver::Bytes(stream.begin() + static_cast<ptrdiff_t>(i),
                                             stream.begin() + static_cast<ptrdiff_t>(i + n)),
                        nGap);
            i += n;
        }
        driver.Advance(nSilence);
        expected.push_back(nNext == 0 ? SEvent{EKind::SessionEnd, 0}
                                      : SEvent{EKind::TestRequest, nNext});
        if (driver.m_parser.GetUploadBytes() != nUpload) {
            return "test " + std::to_string(nTest) + " counted " +
                   std::to_string(driver.m_parser.GetUploadBytes()) + " upload bytes, not " +
                   std::to_string(nUpload);
        }
        // Before any block the parser keeps waiting for one until the next
        // command; after blocks, the message ended the upload.
        if (driver.m_parser.InUpload() != (nUpload == 0 && (nTest == 1 || nTest == 3))) {
            return "test " + std::to_string(nTest) + "'s upload did not end where it should";
        }
        nTest = nNext;
    }
    return driver.Take() == expected ? "" : "the last messages read otherwise";
}

} // namespace testing_support
