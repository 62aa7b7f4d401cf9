#include "node/session.h"

#include "net/download_stamp.h"
#include "net/test_kinds.h"
#include "node/node_log.h"
#include "node/node_options.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr int RECEIVE_SIZE = 64 * 1024;
constexpr int DOWNLOAD_WRITE = 128 * 1024;
constexpr int DATAGRAM_SIZE = 1000;
constexpr int DATAGRAM_BATCH = 64;
constexpr int UNSENT_START = 128 * 1024; // the writer follows the client's rate from here
constexpr int WAKE_MS = 100;             // the longest wait, so a stop is noticed in time
// A paced UDP download's credit holds at most this much of its rate (and at
// least one batch): a late wake-up loses nothing, and the burst after a
// stall stays short.
constexpr double CREDIT_MS = 5;
// The window's longest test: no client of ours stays silent longer, after a
// download that --max-seconds cut short or during a UDP download.
constexpr int64_t LONGEST_TEST_SECONDS = 999;
// A client that acknowledged the TCP download this recently was taking it in.
constexpr int64_t TAKING_PART_MS = 500;
// The connection is probed after 2 s of silence, once a second, and given
// up once the client's host has answered nothing for 6 s. A client of ours
// is silent on it for whole tests, so probes run throughout: one small
// segment and its acknowledgement a second, nothing beside a test's traffic.
// A live host answers each within a round trip, so only a path that drops
// everything for 4 s in a row ends a live session; a vanished one stops its
// UDP download within 6 s, well inside the idle limit that governs the rest.
constexpr int KEEPALIVE_IDLE_SECONDS = 2;
constexpr int GIVE_UP_SECONDS = 6;

std::string Format(const char* pszFormat, auto... args) {
    if constexpr (sizeof...(args) == 0) {
        return pszFormat; // a fixed line
    } else {
        char szText[512];
        std::snprintf(szText, sizeof szText, pszFormat, args...);
        return szText;
    }
}

double Mbits(uint64_t nBytes, int64_t nMs) {
    return nMs > 0 ? static_cast<double>(nBytes) * 8.0 / 1000.0 / static_cast<double>(nMs) : 0.0;
}

// The time from the first to the last, when both happened.
int64_t Span(int64_t nFirstMs, int64_t nLastMs) {
    return nFirstMs >= 0 && nLastMs > nFirstMs ? nLastMs - nFirstMs : 0;
}

} // namespace

CSession::CSession(const SSessionContext& context, SOCKET hAccepted, NodeIo::ADDRESS nPeer,
                   uint16_t nPeerPort)
    : m_context(context), m_pSocket(std::make_unique<CSocket>(hAccepted)), m_nPeer(nPeer),
      m_strPeer(NodeIo::TextFromAddress(nPeer) + ":" + std::to_string(nPeerPort)),
      m_parser(context.pOptions->nSilenceMs), m_buffer(RECEIVE_SIZE), m_download(DOWNLOAD_WRITE) {
    // Download bytes lie outside 0..6 (read as signed), so that even a lone
    // byte of download can never pass for a test command at the client.
    for (size_t i = 0; i < m_download.size(); ++i) {
        m_download[i] = static_cast<uint8_t>(0x80 + i % 0x7F);
    }
    NodeIo::SetNonBlocking(hAccepted);
    NodeIo::TuneSessionSocket(hAccepted, UNSENT_START);
    // A vanished peer is noticed within GIVE_UP_SECONDS even during a UDP
    // download, when nothing else travels on the connection.
    NodeIo::EnableKeepAlive(hAccepted, KEEPALIVE_IDLE_SECONDS, GIVE_UP_SECONDS);
}

CSession::~CSession() {
    Join();
}

template <typename... Args> void CSession::Log(ELine eLine, const char* pszFormat, Args... args) {
    // Formatted only when written: a flood of one kind costs no more than a count.
    CLogLimit& limit = m_logLimits[static_cast<size_t>(eLine)];
    if (!limit.Allow(Now())) {
        ++m_nLinesLeftOut;
        return;
    }
    std::string strLine = m_strPeer + " " + Format(pszFormat, args...);
    if (const uint64_t nLeftOut = limit.TakeLeftOut(); nLeftOut > 0) {
        strLine +=
            Format(" (%llu more like it left out)", static_cast<unsigned long long>(nLeftOut));
    }
    m_context.pLog->Write(strLine);
}

void CSession::NoteUnknown() {
    m_nUnknown += m_messages.TakeUnknownBytes();
    if (m_nUnknown != m_nUnknownLogged && Now() - m_nUnknownLogMs >= 1000) {
        m_context.pLog->Write(
            m_strPeer + Format(" ignored %llu byte(s) that are no message",
                               static_cast<unsigned long long>(m_nUnknown - m_nUnknownLogged)));
        m_nUnknownLogged = m_nUnknown;
        m_nUnknownLogMs = Now();
    }
}

int64_t CSession::Now() const {
    return NowMs();
}

void CSession::AddUdpReceived(int nBytes, int64_t nNowMs) {
    m_nUdpReceived.fetch_add(static_cast<uint64_t>(nBytes), std::memory_order_relaxed);
    int64_t nUnset = -1;
    m_nUdpFirstMs.compare_exchange_strong(nUnset, nNowMs, std::memory_order_relaxed);
    m_nUdpLastMs.store(nNowMs, std::memory_order_relaxed);
}

int64_t CSession::IdleDeadlineMs() const {
    // The seconds the client asked for buy no silence: a client is quiet
    // for long only while it takes a download in.
    return std::max(m_nLastLifeMs, m_nQuietUntilMs) + m_context.pOptions->nIdleMs;
}

void CSession::NoteSignsOfLife(int64_t nNowMs) {
    // UDP has no acknowledgement: while the connection stands (its
    // keepalive ends it when the client's host stops answering), a UDP
    // download counts for the client's test time.
    const bool bUdpDownload = m_bUdpDownload && nNowMs < m_nTestTimeEndMs;
    // Datagrams count only as the upload of a UDP upload test.
    const uint64_t nUdp = m_nUdpReceived.load(std::memory_order_relaxed);
    const bool bUdpUpload = nUdp != m_nUdpSeen && TestKind(m_nTest).UdpUpload();
    m_nUdpSeen = nUdp;
    if (bUdpUpload || bUdpDownload) {
        m_nLastLifeMs = nNowMs;
    }
    // The client acknowledging more of the TCP download.
    if (m_bTcpDownload) {
        m_nLastLifeMs = std::max(m_nLastLifeMs, m_writer.GetLastTakenMs());
    }
}

void CSession::Run() {
    Log(ELine::Connected, "connected");
    m_nLastLifeMs = Now(); // the session start must come within the idle limit
    const SOCKET hSocket = m_pSocket->GetHandle();
    while (m_bRun) {
        int64_t nNow = Now();
        int64_t nTimeout = WAKE_MS;
        const int64_t nParserDeadline = m_parser.NextDeadline();
        if (nParserDeadline >= 0) {
            nTimeout = std::min(nTimeout, nParserDeadline - nNow);
        }
        nTimeout = std::min(nTimeout, IdleDeadlineMs() - nNow);
        if (m_bTcpDownload || m_bUdpDownload) {
            nTimeout = std::min(nTimeout, m_nDownloadEndMs - nNow);
        }
        if (m_bUdpDownload && !m_bUdpBlocked) {
            nTimeout = m_context.pOptions->dUdpRateMbits > 0 ? std::min<int64_t>(nTimeout, 1) : 0;
        }
        // The writer, not this thread, waits for room for the TCP download.
        NodeIo::SWait waits[2];
        waits[0] = {hSocket, true, false};
        waits[1] = {m_context.hUdp, false, m_bUdpDownload && m_bUdpBlocked};
        if (!NodeIo::Wait(waits, 2, static_cast<int>(std::max<int64_t>(nTimeout, 0)))) {
            Finish("wait failed: " + OneLine(GetWinsockErrorText()), false);
            return;
        }
        // What came before the close still counts: the session end is
        // usually followed by the close at once.
        const bool bOpen = !waits[0].bReadable || ReadInput();
        nNow = Now();
        m_parser.Tick(nNow, m_messages);
        if (!HandleEvents()) {
            return;
        }
        if (!bOpen) {
            Finish(m_bLost ? "connection lost" : "connection closed by the client", false);
            return;
        }
        if (m_bTcpDownload && m_writer.HasFailed()) {
            StopDownload();
            Finish(OneLine(m_writer.GetError()), false);
            return;
        }
        if (waits[1].bWritable) {
            m_bUdpBlocked = false;
        }
        if (m_bUdpDownload && !m_bUdpBlocked) {
            SendUdpDownload(nNow);
        }
        NoteSignsOfLife(nNow);
        if ((m_bTcpDownload || m_bUdpDownload) && nNow >= m_nDownloadEndMs) {
            StopDownload();
            // Cut short by --max-seconds while the client was taking it in:
            // its test goes on in silence until its own time is up.
            if (nNow - m_nLastLifeMs <= TAKING_PART_MS) {
                m_nQuietUntilMs = m_nTestTimeEndMs;
            }
            Log(ELine::DownloadStopped, "test %d download stopped: its time is up", m_nTest.load());
        }
        if (nNow >= IdleDeadlineMs()) {
            // A client of ours that is still there ends cleanly instead of
            // asking for its next test for ever.
            Finish(Format("idle for %.1f s: session closed",
                          static_cast<double>(nNow - m_nLastLifeMs) / 1000.0),
                   m_bStarted);
            return;
        }
    }
    Finish("node stopping", true);
}

bool CSession::ReadInput() {
    // A bounded number of receives, so that a fast upload cannot starve the download.
    for (int nRound = 0; nRound < 16; ++nRound) {
        const int nReceived =
            NodeIo::ReceiveSome(m_pSocket->GetHandle(), m_buffer.data(), RECEIVE_SIZE);
        if (nReceived == NodeIo::IO_WOULD_BLOCK) {
            return true;
        }
        if (nReceived == 0) {
            return false;
        }
        if (nReceived < 0) {
            Log(ELine::Failure, "receive failed: %s", OneLine(GetWinsockErrorText()).c_str());
            m_bLost = true; // reset, or the client's host stopped answering
            return false;
        }
        // Bytes alone are no sign of life: only what they turn out to be.
        const int64_t nNow = Now();
        const uint64_t nUploadBefore = m_parser.GetUploadBytes();
        m_parser.Feed(m_buffer.data(), static_cast<size_t>(nReceived), nNow, m_messages);
        if (m_parser.GetUploadBytes() != nUploadBefore) {
            if (m_nUploadFirstMs < 0) {
                m_nUploadFirstMs = nNow;
            }
            m_nUploadLastMs = nNow;
            m_nLastLifeMs = nNow;
        }
    }
    return true;
}

bool CSession::HandleEvents() {
    // Handling a request reads on while it drains, which may queue more;
    // a stop of the node is heeded between messages.
    SEvent event;
    while (m_bRun && m_messages.Take(event)) {
        switch (event.eKind) {
        case CControlParser::EKind::SessionStart:
            if (!m_bStarted) {
                Log(ELine::SessionStart, "session start: %d s per test", event.nValue);
            } else {
                Log(ELine::StartAgain, "session start again: now %d s per test", event.nValue);
            }
            m_bStarted = true;
            m_nSeconds = static_cast<uint16_t>(event.nValue);
            m_nLastLifeMs = Now();
            break;
        case CControlParser::EKind::SessionEnd:
            m_messages.Clear();
            Finish("session end from the client", false);
            return false;
        case CControlParser::EKind::TestRequest:
            if (!HandleRequest(event.nValue)) {
                m_messages.Clear();
                if (m_bNoWriter) {
                    Finish("no thread for the TCP download", true);
                } else {
                    Finish(m_bLost ? "connection lost" : "connection closed by the client", false);
                }
                return false;
            }
            break;
        case CControlParser::EKind::Unknown:
            break; // the queue only counts them
        }
    }
    NoteUnknown();
    return true;
}

bool CSession::HandleRequest(int nTest) {
    if (!m_bStarted) {
        Log(ELine::EarlyRequest, "request for test %d before the session start: ignored", nTest);
        return true;
    }
    m_nLastLifeMs = Now();
    // The client repeats a request once a second until the command arrives;
    // a repeat sent before it saw the command is no new request.
    if (nTest == m_nTest && Now() - m_nCommandMs < m_context.pOptions->nRepeatWindowMs) {
        return true;
    }
    return Command(nTest);
}

bool CSession::Command(int nTest) {
    const bool bHadTcpDownload = TestKind(m_nTest).TcpDownload();
    EndTest();
    if (!Settle(m_context.pOptions->nDrainLimitMs, bHadTcpDownload)) {
        return false;
    }
    const uint8_t command = static_cast<uint8_t>(nTest);
    if (NodeIo::SendSome(m_pSocket->GetHandle(), &command, 1) != 1) {
        return false;
    }
    m_parser.OnCommand(nTest);
    m_nCommandMs = Now();
    BeginTest(nTest);
    if (!m_bTcpDownload) {
        return true;
    }
    // The download must not join the command in the client's receive. A
    // client of ours starts the upload of a test both ways once it has read
    // the command, which ends the pause at once.
    if (!Settle(m_context.pOptions->nDrainLimitMs, true, TestKind(nTest).bUpload)) {
        return false;
    }
    if (!m_writer.Begin(m_pSocket->GetHandle(), m_download.data(),
                        static_cast<int>(m_download.size()))) {
        m_bTcpDownload = false;
        m_bNoWriter = true;
        return false;
    }
    return true;
}

template <typename Pred> bool CSession::ReadWhile(int64_t nDeadlineMs, int nStepMs, Pred pred) {
    const SOCKET hSocket = m_pSocket->GetHandle();
    for (int64_t nNow = Now(); nNow < nDeadlineMs && pred(); nNow = Now()) {
        NodeIo::SWait wait{hSocket, true, false};
        NodeIo::Wait(&wait, 1, static_cast<int>(std::min<int64_t>(nStepMs, nDeadlineMs - nNow)));
        if (wait.bReadable && !ReadInput()) {
            return false;
        }
    }
    return true;
}

bool CSession::Settle(int64_t nLimitMs, bool bPause, bool bUntilUpload) {
    const SOCKET hSocket = m_pSocket->GetHandle();
    const int64_t nDeadline = Now() + nLimitMs;
    const auto unsettled = [&] {
        return (m_bRun || m_bClosing) && NodeIo::GetUnacknowledged(hSocket) > 0;
    };
    if (!ReadWhile(nDeadline, 5, unsettled)) {
        return false;
    }
    if (unsettled()) {
        Log(ELine::SlowDrain, "the client did not take in the download in time; going on");
    }
    // Acknowledged is not yet read: give the client's receive loop a moment.
    return !bPause || ReadWhile(Now() + m_context.pOptions->nSettleMs, WAKE_MS,
                                [&] { return !bUntilUpload || m_parser.GetUploadBytes() == 0; });
}

void CSession::BeginTest(int nTest) {
    const CNodeOptions& options = *m_context.pOptions;
    m_nTest = nTest;
    ++m_nTestsRun;
    m_nTestStartMs = Now();
    m_nLastLifeMs = m_nTestStartMs; // the client has just asked for it
    m_nQuietUntilMs = 0;
    int64_t nDownloadMs = static_cast<int64_t>(m_nSeconds) * 1000 + options.nGraceMs;
    m_nTestTimeEndMs = m_nTestStartMs + std::min<int64_t>(m_nSeconds, LONGEST_TEST_SECONDS) * 1000 +
                       options.nGraceMs;
    if (options.nMaxSeconds > 0) {
        nDownloadMs =
            std::min<int64_t>(nDownloadMs, static_cast<int64_t>(options.nMaxSeconds) * 1000);
    }
    m_nDownloadEndMs = m_nTestStartMs + nDownloadMs;
    m_bTcpDownload = TestKind(nTest).TcpDownload();
    m_bUdpDownload = TestKind(nTest).UdpDownload();
    m_bUdpBlocked = false;
    m_dUdpCredit = 0;
    m_nUdpCreditMs = m_nTestStartMs;
    m_nTcpSent = 0;
    m_nUdpSent = 0;
    m_nDownloadFirstMs = -1;
    m_nDownloadStopMs = -1;
    m_nDownloadTaken = 0;
    m_nUploadFirstMs = -1;
    m_nUploadLastMs = -1;
    m_nUdpFirstMs.store(-1, std::memory_order_relaxed);
    m_nUdpLastMs.store(-1, std::memory_order_relaxed);
    m_nUdpReceivedAtStart = m_nUdpReceived.load(std::memory_order_relaxed);
    Log(ELine::TestStart, "test %d (%s) start", nTest, TestKind(nTest).pszName);
}

void CSession::EndTest() {
    StopDownload();
    if (m_nTest == 0) {
        return;
    }
    const int64_t nMs = Now() - m_nTestStartMs;
    const uint64_t nSent = m_nTcpSent + m_nUdpSent;
    const uint64_t nReceived =
        m_parser.GetUploadBytes() +
        (m_nUdpReceived.load(std::memory_order_relaxed) - m_nUdpReceivedAtStart);
    m_nTotalSent += nSent;
    m_nTotalReceived += nReceived;
    // Rates over the time the data flowed, not the whole test: a download
    // stops before the client asks for its next test, and an upload starts
    // a round trip after the command.
    const int64_t nSentMs = Span(m_nDownloadFirstMs, m_nDownloadStopMs);
    int64_t nUploadFirstMs = m_nUdpFirstMs.load(std::memory_order_relaxed);
    int64_t nUploadLastMs = m_nUdpLastMs.load(std::memory_order_relaxed);
    if (m_nUploadFirstMs >= 0) {
        nUploadFirstMs =
            nUploadFirstMs >= 0 ? std::min(nUploadFirstMs, m_nUploadFirstMs) : m_nUploadFirstMs;
        nUploadLastMs = std::max(nUploadLastMs, m_nUploadLastMs);
    }
    const int64_t nReceivedMs = Span(nUploadFirstMs, nUploadLastMs);
    Log(ELine::TestEnd,
        "test %d (%s) end after %.2f s: sent %llu bytes (%.1f Mbit/s over %.2f s), "
        "received %llu bytes (%.1f Mbit/s over %.2f s)%s",
        m_nTest.load(), TestKind(m_nTest).pszName, static_cast<double>(nMs) / 1000.0,
        static_cast<unsigned long long>(nSent), Mbits(m_nDownloadTaken, nSentMs),
        static_cast<double>(nSentMs) / 1000.0, static_cast<unsigned long long>(nReceived),
        Mbits(nReceived, nReceivedMs), static_cast<double>(nReceivedMs) / 1000.0,
        m_parser.IsOutOfStep() ? "; the upload did not repeat its block" : "");
    m_nTest = 0;
}

void CSession::StopDownload() {
    if (m_bTcpDownload) {
        m_writer.End();
        m_nTcpSent = m_writer.GetSent();
        m_nDownloadFirstMs = m_writer.GetFirstWriteMs();
    }
    if (m_bTcpDownload || m_bUdpDownload) {
        m_nDownloadStopMs = Now();
        // What is still unacknowledged has not reached the client by now.
        const int nQueued = m_bTcpDownload ? NodeIo::GetUnacknowledged(m_pSocket->GetHandle()) : 0;
        const uint64_t nSent = m_nTcpSent + m_nUdpSent;
        m_nDownloadTaken =
            nSent - std::min<uint64_t>(nSent, static_cast<uint64_t>(std::max(nQueued, 0)));
    }
    m_bTcpDownload = false;
    m_bUdpDownload = false;
    m_bUdpBlocked = false;
}

void CSession::SendUdpDownload(int64_t nNowMs) {
    const double dRate = m_context.pOptions->dUdpRateMbits;
    if (dRate > 0) {
        // nNowMs was taken before this loop's requests were handled: a test
        // begun since then started its credit later, which earns nothing yet.
        const double dPerMs = dRate * 1000000.0 / 8.0 / 1000.0; // bytes
        const int64_t nEarnedMs = std::max<int64_t>(nNowMs - m_nUdpCreditMs, 0);
        m_dUdpCredit =
            std::min(m_dUdpCredit + dPerMs * static_cast<double>(nEarnedMs),
                     std::max(dPerMs * CREDIT_MS, double{DATAGRAM_BATCH * DATAGRAM_SIZE}));
        m_nUdpCreditMs += nEarnedMs;
    }
    // Paced: every batch the credit allows; unpaced: one batch a pass, as
    // the loop comes straight back.
    do {
        const int nCount =
            dRate > 0 ? std::min(DATAGRAM_BATCH, static_cast<int>(m_dUdpCredit / DATAGRAM_SIZE))
                      : DATAGRAM_BATCH;
        if (nCount <= 0) {
            return;
        }
        // Each datagram leads with its number in the test and the batch's
        // send time (one stamp serves, as the batch leaves in one call).
        if (m_udpBatch.empty()) {
            m_udpBatch.assign(m_download.begin(),
                              m_download.begin() + DATAGRAM_BATCH * DATAGRAM_SIZE);
        }
        const auto nFirst = static_cast<uint32_t>(m_nUdpSent / DATAGRAM_SIZE);
        const uint64_t nSentUs = DownloadStampNowUs();
        for (int i = 0; i < nCount; ++i) {
            WriteDownloadStamp(&m_udpBatch[static_cast<size_t>(i) * DATAGRAM_SIZE],
                               nFirst + static_cast<uint32_t>(i), nSentUs, m_nTest);
        }
        const int nSent =
            NodeIo::SendDatagrams(m_context.hUdp, m_udpBatch.data(), DATAGRAM_SIZE, m_nPeer,
                                  m_context.nPort, nCount, m_bUdpSegmentation);
        if (nSent == NodeIo::IO_WOULD_BLOCK) {
            m_bUdpBlocked = true;
            return;
        }
        if (nSent < 0) {
            Log(ELine::Failure, "UDP download stopped: %s", OneLine(GetWinsockErrorText()).c_str());
            StopDownload();
            return;
        }
        if (m_nDownloadFirstMs < 0) {
            m_nDownloadFirstMs = Now();
        }
        m_nUdpSent += static_cast<uint64_t>(nSent) * DATAGRAM_SIZE;
        m_dUdpCredit -= static_cast<double>(nSent) * DATAGRAM_SIZE;
    } while (dRate > 0);
}

void CSession::Finish(const std::string& strReason, bool bTellClient) {
    EndTest();
    if (bTellClient) {
        // Test command 0 ends the client's session; it must arrive alone too.
        m_bClosing = true;
        const int nLimitMs = std::min(m_context.pOptions->nDrainLimitMs, 1000);
        const uint8_t end = 0;
        if (Settle(nLimitMs, true) && NodeIo::SendSome(m_pSocket->GetHandle(), &end, 1) == 1) {
            Settle(nLimitMs, false); // closing on unread input could reset the line first
        }
    }
    m_nUnknown += m_messages.TakeUnknownBytes();
    const std::string strLeftOut = m_nLinesLeftOut > 0
                                       ? Format("; %llu log line(s) left out",
                                                static_cast<unsigned long long>(m_nLinesLeftOut))
                                       : std::string();
    Log(ELine::SessionEnded,
        "session ended (%s): %d test(s), sent %llu bytes, received %llu bytes, ignored "
        "%llu byte(s) that are no message%s",
        strReason.c_str(), m_nTestsRun, static_cast<unsigned long long>(m_nTotalSent),
        static_cast<unsigned long long>(m_nTotalReceived),
        static_cast<unsigned long long>(m_nUnknown), strLeftOut.c_str());
    m_pSocket.reset();
    m_bFinished = true;
}
