// The node's control-stream parser: messages told from upload blocks whatever
// the filler's bytes, repeats before an upload, silence, and arbitrary input.
#include "node/control_parser.h"
#include "tests/support/control_session.h"

#include <chrono>
#include <gtest/gtest.h>
#include <random>

namespace {

using EKind = CControlParser::EKind;
using SEvent = CControlParser::SEvent;
using Bytes = std::vector<uint8_t>;

constexpr int64_t SILENCE = 300;

// A driver with the node's default silence.
class Driver : public testing_support::ControlDriver {
public:
    explicit Driver(int64_t nSilence = SILENCE) : ControlDriver(nSilence) {}
};

Bytes Block(uint8_t first, uint32_t nSeed) {
    std::mt19937 random(nSeed);
    Bytes block(CControlParser::BLOCK_SIZE);
    for (auto& b : block) {
        b = static_cast<uint8_t>(random() % 255);
    }
    block[0] = first;
    return block;
}

Bytes Repeat(const Bytes& block, int nBlocks) {
    Bytes data;
    for (int i = 0; i < nBlocks; ++i) {
        data.insert(data.end(), block.begin(), block.end());
    }
    return data;
}

SEvent Request(int n) {
    return {EKind::TestRequest, n};
}

} // namespace

TEST(ControlParser, ControlMessagesOutsideAnUpload) {
    Driver driver;
    // A session start cut into pieces still reads as one.
    driver.Feed({0x6C});
    driver.Feed({0x1E});
    driver.Feed({0x00, 2});
    EXPECT_EQ(driver.Take(), (std::vector<SEvent>{{EKind::SessionStart, 30}, Request(2)}));
    driver.Feed({0x6C, 0x34, 0x12, 5, 0});
    EXPECT_EQ(
        driver.Take(),
        (std::vector<SEvent>{{EKind::SessionStart, 0x1234}, Request(5), {EKind::SessionEnd, 0}}));
    // A receive with anything but message bytes in it is no message at all,
    // even where some of its bytes look like one.
    driver.Feed({1, 2, 0x7F, 0, 3});
    EXPECT_EQ(driver.Take(), (std::vector<SEvent>{{EKind::Unknown, 5}}));
    driver.Feed({9});
    EXPECT_EQ(driver.Take(), (std::vector<SEvent>{{EKind::Unknown, 1}}));
}

// Every first byte that could pass for a message, with the next message
// either differing from the block's first byte or equal to it.
TEST(ControlParser, UploadBlocksAreNeverTakenForMessages) {
    const uint8_t firsts[] = {0, 1, 2, 3, 4, 5, 6, 0x6C, 0x80, 254};
    for (const int nTest : {1, 3}) {
        for (const uint8_t first : firsts) {
            for (const uint8_t next : {uint8_t(0), uint8_t(4), first}) {
                if (next > 6) {
                    continue; // no message; a session start is covered below
                }
                SCOPED_TRACE(testing::Message() << "test " << nTest << " first " << int(first)
                                                << " next " << int(next));
                Driver driver;
                driver.m_parser.OnCommand(nTest);
                const Bytes block = Block(first, first * 7u + nTest);
                // Odd receive sizes cut blocks anywhere, boundaries included.
                const Bytes upload = Repeat(block, 40);
                for (size_t i = 0; i < upload.size();) {
                    // (the first receive of an upload holds at least one segment)
                    const size_t n =
                        std::min<size_t>(upload.size() - i, i == 0 ? 1000 : 1 + (i * 31) % 3001);
                    driver.Feed(Bytes(upload.begin() + i, upload.begin() + i + n));
                    i += n;
                }
                driver.Advance(SILENCE * 3); // a stalled upload at a boundary is no message
                EXPECT_TRUE(driver.Take().empty());
                EXPECT_TRUE(driver.m_parser.InUpload());

                const SEvent message = next == 0 ? SEvent{EKind::SessionEnd, 0} : Request(next);
                driver.Feed({next});
                if (next != first) {
                    // Not the block's byte at a boundary: known at once.
                    EXPECT_EQ(driver.Take(), std::vector<SEvent>{message});
                } else {
                    // Could still be a block's start: silence decides.
                    EXPECT_TRUE(driver.Take().empty());
                    driver.Advance(SILENCE - 1);
                    EXPECT_TRUE(driver.Take().empty());
                    driver.Advance(1);
                    EXPECT_EQ(driver.Take(), std::vector<SEvent>{message});
                }
                EXPECT_FALSE(driver.m_parser.InUpload());
                EXPECT_EQ(driver.m_parser.GetUploadBytes(), upload.size());
            }
        }
    }
}

TEST(ControlParser, MessageAfterUploadReadsWhole) {
    // The next request, a session end right behind it, or a new session start.
    Driver driver;
    driver.m_parser.OnCommand(3);
    const Bytes block = Block(0x6C, 11);
    driver.Feed(Repeat(block, 3));
    driver.Feed({0x6C, 0x05, 0x00});
    driver.Advance(SILENCE);
    driver.Feed({4, 0});
    EXPECT_EQ(driver.Take(),
              (std::vector<SEvent>{{EKind::SessionStart, 5}, Request(4), {EKind::SessionEnd, 0}}));
    EXPECT_EQ(driver.m_parser.GetUploadBytes(), 3000u);
}

TEST(ControlParser, RepeatedRequestsBeforeTheFirstBlock) {
    for (const int nGlued : {0, 1, 2, 3}) {
        for (const uint8_t first : {uint8_t(1), uint8_t(3), uint8_t(77)}) {
            SCOPED_TRACE(testing::Message() << nGlued << " glued, first " << int(first));
            Driver driver;
            driver.m_parser.OnCommand(1);
            // A repeat that came on its own is passed on for the session to judge.
            driver.Feed({1});
            EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(1)});
            // Repeats glued to the first block are swallowed, and the
            // blocks keep their true boundaries.
            Bytes data(static_cast<size_t>(nGlued), 1);
            const Bytes block = Block(first, 5u + nGlued);
            const Bytes blocks = Repeat(block, 5);
            data.insert(data.end(), blocks.begin(), blocks.end());
            driver.Feed(data);
            driver.Advance(SILENCE * 2);
            EXPECT_TRUE(driver.Take().empty());
            driver.Feed({2});
            driver.Advance(SILENCE);
            EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(2)});
            EXPECT_EQ(driver.m_parser.GetUploadBytes(), blocks.size());
        }
    }
}

TEST(ControlParser, ShortUploadsAndStalls) {
    {
        // The client stopped before its first block: the next request comes alone.
        Driver driver;
        driver.m_parser.OnCommand(1);
        driver.Feed({2});
        EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(2)});
    }
    for (const uint8_t first : {uint8_t(1), uint8_t(2), uint8_t(9)}) {
        // Exactly one block, then the next request in the same receive.
        Driver driver;
        driver.m_parser.OnCommand(1);
        Bytes data = Block(first, 3);
        data.push_back(2);
        driver.Feed(data);
        driver.Advance(SILENCE);
        EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(2)}) << int(first);
        EXPECT_EQ(driver.m_parser.GetUploadBytes(), 1000u);
    }
    {
        // A long pause inside a block (or before a block ends) is no message.
        Driver driver;
        driver.m_parser.OnCommand(3);
        const Bytes block = Block(4, 8);
        driver.Feed(Bytes(block.begin(), block.begin() + 2));
        driver.Feed(Bytes(block.begin() + 2, block.begin() + 500));
        driver.Advance(SILENCE * 10);
        driver.Feed(Bytes(block.begin() + 500, block.end()));
        driver.Feed(Bytes(block.begin(), block.begin() + 700));
        driver.Advance(SILENCE * 10);
        EXPECT_TRUE(driver.Take().empty());
        EXPECT_TRUE(driver.m_parser.InUpload());
    }
}

TEST(ControlParser, UploadThatStopsInsideABlock) {
    // A sender that could not finish its block: the message comes mid-block,
    // on its own receive or behind the last bytes, and silence confirms it.
    for (const size_t nSent : {size_t(600), size_t(2500)}) {
        for (const bool bGlued : {false, true}) {
            SCOPED_TRACE(testing::Message() << nSent << (bGlued ? " glued" : " alone"));
            Driver driver;
            driver.m_parser.OnCommand(1);
            Bytes block = Block(9, 21);
            block[nSent % 1000] = 5; // the request's value is no help
            Bytes data = Repeat(block, 3);
            data.resize(nSent);
            if (bGlued) {
                data.push_back(2);
                driver.Feed(data);
            } else {
                driver.Feed(data);
                driver.Feed({2});
            }
            EXPECT_TRUE(driver.Take().empty());
            driver.Advance(SILENCE);
            if (nSent < 1000 && bGlued) {
                // Behind part of the first block nothing tells the request
                // from the block; the client's repeat a second later does.
                EXPECT_TRUE(driver.Take().empty());
                driver.Feed({2}, 1000 - SILENCE);
                driver.Advance(SILENCE);
            }
            EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(2)});
            EXPECT_EQ(driver.m_parser.GetUploadBytes(), bGlued && nSent < 1000 ? nSent + 1 : nSent);
        }
    }
}

TEST(ControlParser, UploadThatDoesNotRepeatItsBlock) {
    // A client whose blocks differ: the request is the small receive that
    // silence follows.
    Driver driver;
    driver.m_parser.OnCommand(1);
    std::mt19937 random(4);
    uint64_t nSent = 0;
    for (int i = 0; i < 30; ++i) {
        Bytes data(1000);
        for (auto& b : data) {
            b = static_cast<uint8_t>(random() % 255);
        }
        nSent += data.size();
        driver.Feed(data);
    }
    driver.Advance(SILENCE * 2);
    EXPECT_TRUE(driver.Take().empty());
    EXPECT_TRUE(driver.m_parser.IsOutOfStep());
    driver.Feed({3});
    driver.Advance(SILENCE);
    EXPECT_EQ(driver.Take(), std::vector<SEvent>{Request(3)});
    EXPECT_EQ(driver.m_parser.GetUploadBytes(), nSent);
}

// Whole sessions as the client writes them, cut into receives at random
// places and with random pauses; the parser must report exactly the
// messages sent, in order, and count exactly the upload.
TEST(ControlParser, RandomSessionsReadExactly) {
    std::mt19937 random(20261208);
    auto pick = [&](int nLow, int nHigh) {
        return nLow + static_cast<int>(random() % (static_cast<uint32_t>(nHigh - nLow) + 1u));
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int nSessions = 0;
    while (std::chrono::steady_clock::now() < deadline && nSessions < 2000) {
        ++nSessions;
        ASSERT_EQ(testing_support::PlayWrittenSession(SILENCE, pick), "")
            << "session " << nSessions;
    }
    EXPECT_GT(nSessions, 10);
}

// Arbitrary bytes, receive sizes and times, in every mode: no crash, no
// hang, and no more reported than was received.
TEST(ControlParser, ArbitraryInputIsSafe) {
    std::mt19937 random(99);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int nRound = 0; nRound < 3000 && std::chrono::steady_clock::now() < deadline; ++nRound) {
        CControlParser parser(1 + random() % 500);
        std::vector<SEvent> events;
        int64_t nNow = random() % 1000;
        uint64_t nFed = 0;
        for (int nStep = 0; nStep < 60; ++nStep) {
            switch (random() % 4) {
            case 0:
                parser.OnCommand(static_cast<int>(random() % 9) - 1);
                break;
            case 1:
                nNow += random() % 700;
                parser.Tick(nNow, events);
                break;
            default: {
                Bytes data(random() % 2 == 0 ? random() % 5 : random() % 4000);
                const bool bSmallValues = random() % 2 == 0;
                for (auto& b : data) {
                    b = static_cast<uint8_t>(bSmallValues ? random() % 8 : random());
                }
                nFed += data.size();
                parser.Feed(data.data(), data.size(), nNow, events);
            }
            }
            const int64_t nDeadline = parser.NextDeadline();
            ASSERT_TRUE(nDeadline < 0 || nDeadline <= nNow + 500);
        }
        uint64_t nReported = 0;
        for (const SEvent& event : events) {
            nReported += event.eKind == EKind::SessionStart ? 3
                         : event.eKind == EKind::Unknown    ? static_cast<uint64_t>(event.nValue)
                                                            : 1;
        }
        ASSERT_LE(nReported, nFed);
    }
}
