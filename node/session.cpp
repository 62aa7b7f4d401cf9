#include "node/session.h"

#include "net/test_kinds.h"
#include "node/node_log.h"
#include "node/node_options.h"

#include <algorithm>

namespace {

constexpr int RECEIVE_SIZE = 64 * 1024;
constexpr int DOWNLOAD_WRITE = 128 * 1024;
constexpr int UNSENT_START = 128 * 1024; // the writer follows the client's rate from here
constexpr int WAKE_MS = 100;             // the longest wait, so a stop is noticed in time
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

} // namespace

CSession::CSession(const SSessionContext& context, SOCKET hAccepted, NodeIo::ADDRESS nPeer,
                   uint16_t nPeerPort)
    : m_context(context), m_pSocket(std::make_unique<CSocket>(hAccepted)), m_nPeer(nPeer),
      m_strPeer(NodeIo::TextFromAddress(nPeer) + ":" + std::to_string(nPeerPort)),
      m_parser(context.pOptions->nSilenceMs), m_buffer(RECEIVE_SIZE), m_download(DOWNLOAD_WRITE),
      m_udp(context.hUdp, nPeer, context.nPort, context.pOptions->dUdpRateMbits,
            m_download.data()) {
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

int64_t CSession::IdleDeadlineMs() const {
    // The seconds the client asked for buy no silence: a client is quiet
    // for long only while it takes a download in.
    return std::max(m_nLastLifeMs, m_nQuietUntilMs) + m_context.pOptions->nIdleMs;
}

void CSession::NoteSignsOfLife(int64_t nNowMs) {
    // UDP has no acknowledgement: while the connection stands (its
    // keepalive ends it when the client's host stops answering), a UDP
    // download counts for the client's test time.
    const bool bUdpDownload = m_udp.IsRunning() && nNowMs < m_nTestTimeEndMs;
    // Datagrams count only as the upload of a UDP upload test.
    const uint64_t nUdp = m_tally.GetUdpReceived();
    const bool bUdpUpload = nUdp != m_nUdpSeen && TestKind(m_nTest).UdpUpload();
    m_nUdpSeen = nUdp;
    if (bUdpUpload || bUdpDownload) {
        m_nLastLifeMs = nNowMs;
    }
    // The client acknowledging more of the TCP download.
    if (m_writer.IsWriting()) {
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
        if (m_writer.IsWriting() || m_udp.IsRunning()) {
            nTimeout = std::min(nTimeout, m_nDownloadEndMs - nNow);
        }
        // A TCP download is written here whenever there is room; a UDP
        // download has a thread of its own.
        NodeIo::SWait wait{hSocket, true, m_writer.IsWriting()};
        if (!NodeIo::Wait(&wait, 1, static_cast<int>(std::max<int64_t>(nTimeout, 0)))) {
            Finish("wait failed: " + OneLine(GetWinsockErrorText()), false);
            return;
        }
        // What came before the close still counts: the session end is
        // usually followed by the close at once.
        const bool bOpen = !wait.bReadable || ReadInput();
        nNow = Now();
        m_parser.Tick(nNow, m_messages);
        if (!HandleEvents()) {
            return;
        }
        if (!bOpen) {
            Finish(m_bLost ? "connection lost" : "connection closed by the client", false);
            return;
        }
        if (m_writer.IsWriting() && !m_writer.Write(Now(), wait.bWritable)) {
            StopDownload();
            Finish(OneLine(m_writer.GetError()), false);
            return;
        }
        if (m_udp.IsRunning() && m_udp.HasFailed()) {
            Log(ELine::Failure, "UDP download stopped: %s", OneLine(m_udp.GetError()).c_str());
            StopDownload();
        }
        NoteSignsOfLife(nNow);
        if ((m_writer.IsWriting() || m_udp.IsRunning()) && nNow >= m_nDownloadEndMs) {
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
            m_tally.AddUpload(nNow);
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
                if (m_bNoThread) {
                    Finish("no thread for the download", true);
                } else if (m_bNoRoom) {
                    Finish("the client takes in nothing: no room for its command", false);
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
    const int nSent = NodeIo::SendSome(m_pSocket->GetHandle(), &command, 1);
    if (nSent != 1) {
        m_bNoRoom = nSent == NodeIo::IO_WOULD_BLOCK; // the drain gave up on a full queue
        return false;
    }
    m_parser.OnCommand(nTest);
    m_nCommandMs = Now();
    if (!BeginTest(nTest)) {
        return false;
    }
    if (!TestKind(nTest).TcpDownload()) {
        return true;
    }
    // The download must not join the command in the client's receive. A
    // client of ours starts the upload of a test both ways once it has read
    // the command, which ends the pause at once.
    if (!Settle(m_context.pOptions->nDrainLimitMs, true, TestKind(nTest).bUpload)) {
        return false;
    }
    m_writer.Begin(m_pSocket->GetHandle(), m_download.data(), static_cast<int>(m_download.size()));
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

bool CSession::BeginTest(int nTest) {
    const CNodeOptions& options = *m_context.pOptions;
    const int64_t nStartMs = Now();
    m_nTest = nTest;
    m_tally.Begin(nStartMs);
    m_downloadTally = {};
    m_nLastLifeMs = nStartMs; // the client has just asked for it
    m_nQuietUntilMs = 0;
    int64_t nDownloadMs = static_cast<int64_t>(m_nSeconds) * 1000 + options.nGraceMs;
    m_nTestTimeEndMs =
        nStartMs + std::min<int64_t>(m_nSeconds, LONGEST_TEST_SECONDS) * 1000 + options.nGraceMs;
    if (options.nMaxSeconds > 0) {
        nDownloadMs =
            std::min<int64_t>(nDownloadMs, static_cast<int64_t>(options.nMaxSeconds) * 1000);
    }
    m_nDownloadEndMs = nStartMs + nDownloadMs;
    Log(ELine::TestStart, "test %d (%s) start", nTest, TestKind(nTest).pszName);
    if (TestKind(nTest).UdpDownload() && !m_udp.Begin(nTest)) {
        m_bNoThread = true;
        return false;
    }
    return true;
}

void CSession::EndTest() {
    StopDownload();
    if (m_nTest == 0) {
        return;
    }
    const std::string strMoved = m_tally.End(Now(), m_parser.GetUploadBytes(), m_downloadTally);
    Log(ELine::TestEnd, "test %d (%s) end %s%s", m_nTest.load(), TestKind(m_nTest).pszName,
        strMoved.c_str(), m_parser.IsOutOfStep() ? "; the upload did not repeat its block" : "");
    m_nTest = 0;
}

void CSession::StopDownload() {
    // A TCP download whose test failed before its first write leaves the
    // tally empty, not with the last download's figures.
    const bool bTcp = m_writer.IsWriting();
    if (!bTcp && !m_udp.IsRunning()) {
        return;
    }
    SDownloadTally& tally = m_downloadTally;
    if (bTcp) {
        m_writer.End();
        tally.nSent = m_writer.GetSent();
        tally.nFirstMs = m_writer.GetFirstWriteMs();
    } else {
        m_udp.End();
        tally.nSent = m_udp.GetSent();
        tally.nFirstMs = m_udp.GetFirstSendMs();
    }
    tally.nStopMs = Now();
    // What is still unacknowledged has not reached the client by now.
    const int nQueued = bTcp ? NodeIo::GetUnacknowledged(m_pSocket->GetHandle()) : 0;
    tally.nTaken =
        tally.nSent - std::min<uint64_t>(tally.nSent, static_cast<uint64_t>(std::max(nQueued, 0)));
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
    Log(ELine::SessionEnded, "session ended (%s): %s, ignored %llu byte(s) that are no message%s",
        strReason.c_str(), m_tally.Totals().c_str(), static_cast<unsigned long long>(m_nUnknown),
        strLeftOut.c_str());
    m_pSocket.reset();
    m_bFinished = true;
}
