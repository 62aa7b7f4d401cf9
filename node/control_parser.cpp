#include "node/control_parser.h"

#include "net/test_kinds.h"

#include <algorithm>
#include <cstring>

namespace {
constexpr uint8_t START = 0x6C;

class CAppender final : public CControlParser::IEventSink {
public:
    explicit CAppender(std::vector<CControlParser::SEvent>& events) : m_events(events) {}
    void OnEvent(const CControlParser::SEvent& event) override { m_events.push_back(event); }

private:
    std::vector<CControlParser::SEvent>& m_events;
};
} // namespace

void CControlParser::Feed(const uint8_t* pData, size_t nLength, int64_t nNowMs,
                          std::vector<SEvent>& events) {
    CAppender appender(events);
    Feed(pData, nLength, nNowMs, appender);
}

void CControlParser::Tick(int64_t nNowMs, std::vector<SEvent>& events) {
    CAppender appender(events);
    Tick(nNowMs, appender);
}

bool CControlParser::IsMessageRun(const uint8_t* pData, size_t nLength) {
    if (nLength == 0) {
        return false;
    }
    for (size_t i = 0; i < nLength;) {
        if (pData[i] == START) {
            i += 3; // its seconds may be any bytes, and may still be on their way
        } else if (pData[i] <= kTestCount) {
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

void CControlParser::OnCommand(int nTest) {
    m_nCommand = nTest;
    m_nUploadBytes = 0;
    m_nLearned = 0;
    m_nPos = 0;
    m_nHeld = 0;
    m_bHolding = false;
    m_nLastSmall = 0;
    m_eMode = TestKind(nTest).TcpUpload() ? EMode::LeadIn : EMode::Control;
}

void CControlParser::ControlBytes(const uint8_t* pData, size_t nLength, IEventSink& sink) {
    int nUnknown = 0;
    for (size_t i = 0; i < nLength; ++i) {
        const uint8_t byte = pData[i];
        if (m_nStartMissing == 2) {
            m_nStartSeconds = byte;
            m_nStartMissing = 1;
        } else if (m_nStartMissing == 1) {
            m_nStartSeconds = static_cast<uint16_t>(m_nStartSeconds | (byte << 8));
            m_nStartMissing = 0;
            sink.OnEvent({EKind::SessionStart, m_nStartSeconds});
        } else if (byte == START) {
            m_nStartMissing = 2;
        } else if (byte == 0) {
            sink.OnEvent({EKind::SessionEnd, 0});
        } else if (byte <= kTestCount) {
            sink.OnEvent({EKind::TestRequest, byte});
        } else {
            ++nUnknown;
        }
    }
    if (nUnknown > 0) {
        sink.OnEvent({EKind::Unknown, nUnknown});
    }
}

void CControlParser::UploadEnded(const uint8_t* pData, size_t nLength, IEventSink& sink) {
    EndUpload();
    // The client never asks again for the test it is uploading in. Bytes of
    // that request ahead of the message belong to the last block, and show
    // up here only where repeats glued to the first block made its true
    // boundary ambiguous.
    while (nLength > 1 && pData[0] == m_nCommand) {
        ++pData;
        --nLength;
    }
    ControlBytes(pData, nLength, sink);
}

void CControlParser::Feed(const uint8_t* pData, size_t nLength, int64_t nNowMs, IEventSink& sink) {
    if (nLength == 0) {
        return;
    }
    m_nLastByteMs = nNowMs;
    // A session start split over receives is completed first.
    while (nLength > 0 && m_nStartMissing > 0) {
        ControlBytes(pData, 1, sink);
        ++pData;
        --nLength;
    }
    if (nLength == 0) {
        return;
    }
    if (m_eMode != EMode::Control) {
        FeedUpload(pData, nLength, nNowMs, sink);
    } else if (IsMessageRun(pData, nLength)) {
        ControlBytes(pData, nLength, sink);
    } else {
        // Messages arrive as small receives of message bytes only. A receive
        // with anything else in it is stray data (an upload the node did not
        // command, or noise): none of it is taken for a message.
        sink.OnEvent({EKind::Unknown, static_cast<int>(nLength)});
    }
}

void CControlParser::FeedUpload(const uint8_t* pData, size_t nLength, int64_t nNowMs,
                                IEventSink& sink) {
    (void)nNowMs;
    if (m_eMode != EMode::OutOfStep) {
        m_nLastSmall = 0; // only the latest receive can be the message
    }
    size_t i = 0;
    while (i < nLength) {
        switch (m_eMode) {
        case EMode::Control:
            ControlBytes(pData + i, nLength - i, sink);
            return;
        case EMode::LeadIn:
            // A small receive of message bytes before any block: a request
            // repeated before the client saw the command, or the next
            // request when the client stopped before sending anything.
            if (i == 0 && nLength <= MAX_RUN && IsMessageRun(pData, nLength)) {
                ControlBytes(pData, nLength, sink);
                return;
            }
            m_eMode = EMode::Learning;
            break;
        case EMode::Learning: {
            const size_t nTake =
                std::min(nLength - i, static_cast<size_t>(BLOCK_SIZE - m_nLearned));
            std::memcpy(m_block.data() + m_nLearned, pData + i, nTake);
            m_nLearned += static_cast<int>(nTake);
            m_nUploadBytes += nTake;
            if (nTake == nLength && nTake <= static_cast<size_t>(MAX_RUN) &&
                m_nLearned < BLOCK_SIZE && IsMessageRun(pData, nTake)) {
                // A sender that gave up inside its first block: a small
                // receive that silence follows is the message after all.
                std::memcpy(m_lastSmall.data(), pData, nTake);
                m_nLastSmall = static_cast<int>(nTake);
            }
            i += nTake;
            if (m_nLearned == BLOCK_SIZE) {
                m_nHeld = 0;
                m_nPos = 0;
                // Requests glued to the front are possible only when the
                // block starts with the commanded test's byte.
                if (m_block[0] == m_nCommand) {
                    m_eMode = EMode::FirstEdge;
                } else {
                    m_eMode = EMode::Stream;
                    m_bHolding = true;
                }
            }
            break;
        }
        case EMode::FirstEdge:
            m_held[static_cast<size_t>(m_nHeld++)] = pData[i++];
            if (m_nHeld == MAX_RUN + 1 && !SettleFirstEdge()) {
                Mismatch(pData + i, nLength - i, sink);
                return;
            }
            break;
        case EMode::Stream:
            if (m_bHolding) {
                if (pData[i] != m_block[static_cast<size_t>(m_nPos)]) {
                    Mismatch(pData + i, nLength - i, sink);
                    return;
                }
                m_held[static_cast<size_t>(m_nHeld++)] = pData[i++];
                ++m_nPos;
                if (m_nHeld > MAX_RUN) {
                    m_nUploadBytes += static_cast<uint64_t>(m_nHeld);
                    m_nHeld = 0;
                    m_bHolding = false;
                }
            } else {
                // The hot path: whole spans against the block.
                const size_t nSpan =
                    std::min(nLength - i, static_cast<size_t>(BLOCK_SIZE - m_nPos));
                if (std::memcmp(pData + i, m_block.data() + m_nPos, nSpan) != 0) {
                    // Inside a block: a sender that stopped short of its
                    // block's end, with its message behind, or data that
                    // does not repeat. Silence after a few message bytes
                    // tells the first.
                    size_t j = 0;
                    while (pData[i + j] == m_block[static_cast<size_t>(m_nPos) + j]) {
                        ++j;
                    }
                    const size_t nRest = nLength - i - j;
                    m_nUploadBytes += j;
                    m_eMode = EMode::OutOfStep;
                    if (nRest <= MAX_MESSAGE_BYTES && IsMessageRun(pData + i + j, nRest)) {
                        std::memcpy(m_lastSmall.data(), pData + i + j, nRest);
                        m_nLastSmall = static_cast<int>(nRest);
                    } else {
                        m_nUploadBytes += nRest;
                    }
                    return;
                }
                m_nUploadBytes += nSpan;
                m_nPos += static_cast<int>(nSpan);
                i += nSpan;
                if (m_nPos == BLOCK_SIZE) {
                    m_nPos = 0;
                    m_bHolding = true;
                    m_nHeld = 0;
                }
            }
            break;
        case EMode::OutOfStep:
            // Only a small receive of message bytes followed by silence can
            // end this upload; anything else is upload data.
            m_nUploadBytes += static_cast<uint64_t>(m_nLastSmall);
            m_nLastSmall = 0;
            if (i == 0 && nLength <= MAX_RUN && IsMessageRun(pData, nLength)) {
                std::memcpy(m_lastSmall.data(), pData, nLength);
                m_nLastSmall = static_cast<int>(nLength);
            } else {
                m_nUploadBytes += nLength - i;
            }
            return;
        }
    }
}

void CControlParser::Mismatch(const uint8_t* pRest, size_t nRest, IEventSink& sink) {
    // Bytes after a whole block that differ from it are no block of this
    // upload. The client's message comes last before it waits for the
    // answer, so together with what followed in the same receive they read
    // as a few message bytes; anything longer is data of an upload that does
    // not repeat its block.
    uint8_t run[MAX_MESSAGE_BYTES];
    const size_t nRun = static_cast<size_t>(m_nHeld) + nRest;
    if (nRun <= MAX_MESSAGE_BYTES) {
        std::memcpy(run, m_held.data(), static_cast<size_t>(m_nHeld));
        std::memcpy(run + m_nHeld, pRest, nRest);
        if (IsMessageRun(run, nRun)) {
            m_nHeld = 0;
            UploadEnded(run, nRun, sink);
            return;
        }
    }
    m_nUploadBytes += nRun;
    m_nHeld = 0;
    m_nLastSmall = 0;
    m_eMode = EMode::OutOfStep;
}

bool CControlParser::SettleFirstEdge() {
    // The stream is periodic from the first real block byte on; r bytes at
    // the front that equal the command and break that period were repeats.
    int nGlued = 0;
    while (nGlued < MAX_RUN && m_block[static_cast<size_t>(nGlued)] == m_nCommand) {
        ++nGlued;
    }
    for (int r = 0; r <= nGlued; ++r) {
        bool bPeriodic = true;
        for (int k = r; k <= MAX_RUN && bPeriodic; ++k) {
            bPeriodic = m_held[static_cast<size_t>(k)] == m_block[static_cast<size_t>(k)];
        }
        if (!bPeriodic) {
            continue;
        }
        // Realign: the block starts r bytes later; the repeats are dropped.
        std::array<uint8_t, BLOCK_SIZE> block;
        std::memcpy(block.data(), m_block.data() + r, static_cast<size_t>(BLOCK_SIZE - r));
        std::memcpy(block.data() + BLOCK_SIZE - r, m_held.data(), static_cast<size_t>(r));
        m_block = block;
        // The learned 1000 bytes were counted, the r repeats among them
        // included; the held bytes are data.
        m_nUploadBytes += static_cast<uint64_t>(MAX_RUN + 1 - r);
        m_nPos = MAX_RUN + 1 - r;
        m_nHeld = 0;
        m_bHolding = false;
        m_eMode = EMode::Stream;
        return true;
    }
    return false;
}

int CControlParser::FirstEdgeTail() const {
    // Exactly one block came, then silence. The block's first bytes may be
    // repeats glued to it, which shift its end into the held bytes; with one
    // message byte held behind r glued repeats, r + 1 bytes are held. So the
    // most glued repeats that leave a message behind are taken.
    int nGlued = 0;
    while (nGlued < m_nHeld - 1 && m_block[static_cast<size_t>(nGlued)] == m_nCommand) {
        ++nGlued;
    }
    for (int r = nGlued; r >= 0; --r) {
        if (IsMessageRun(m_held.data() + r, static_cast<size_t>(m_nHeld - r))) {
            return r;
        }
    }
    return -1;
}

int64_t CControlParser::NextDeadline() const {
    bool bWaiting = false;
    switch (m_eMode) {
    case EMode::Stream:
        bWaiting =
            m_bHolding && m_nHeld > 0 && IsMessageRun(m_held.data(), static_cast<size_t>(m_nHeld));
        break;
    case EMode::FirstEdge:
        bWaiting = FirstEdgeTail() >= 0;
        break;
    case EMode::Learning:
    case EMode::OutOfStep:
        bWaiting = m_nLastSmall > 0;
        break;
    default:
        break;
    }
    return bWaiting ? m_nLastByteMs + m_nSilenceMs : -1;
}

void CControlParser::Tick(int64_t nNowMs, IEventSink& sink) {
    const int64_t nDeadline = NextDeadline();
    if (nDeadline < 0 || nNowMs < nDeadline) {
        return;
    }
    switch (m_eMode) {
    case EMode::Stream:
        UploadEnded(m_held.data(), static_cast<size_t>(m_nHeld), sink);
        m_nHeld = 0;
        break;
    case EMode::FirstEdge: {
        const int nGlued = FirstEdgeTail();
        UploadEnded(m_held.data() + nGlued, static_cast<size_t>(m_nHeld - nGlued), sink);
        m_nHeld = 0;
        break;
    }
    case EMode::Learning:
        // Taken back out of the block being learned.
        m_nLearned -= m_nLastSmall;
        m_nUploadBytes -= static_cast<uint64_t>(m_nLastSmall);
        [[fallthrough]];
    case EMode::OutOfStep:
        UploadEnded(m_lastSmall.data(), static_cast<size_t>(m_nLastSmall), sink);
        m_nLastSmall = 0;
        break;
    default:
        break;
    }
}
