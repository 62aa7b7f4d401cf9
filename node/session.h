// CSession: one client connection, served on its own thread from the session
// start to the session end (or the close, an idle time-out, the node's stop).
#pragma once

#include "net/socket.h"
#include "net/thread.h"
#include "node/control_parser.h"
#include "node/download_writer.h"
#include "node/message_queue.h"
#include "node/node_log.h"
#include "node/socket_io.h"
#include "node/test_tally.h"
#include "node/udp_pacer.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CNodeOptions;

// What a session needs of the node around it.
struct SSessionContext {
    const CNodeOptions* pOptions = nullptr;
    CNodeLog* pLog = nullptr;
    SOCKET hUdp = INVALID_SOCKET; // the node's UDP socket, shared by every session
    uint16_t nPort = 0;           // the node port: where UDP downloads go on the client
};

class CSession final : public CThread {
public:
    CSession(const SSessionContext& context, SOCKET hAccepted, NodeIo::ADDRESS nPeer,
             uint16_t nPeerPort);
    ~CSession();

    // Starts the session's thread; false when it could not be made.
    bool Begin() { return Start(); }
    // Asks the session to end (it tells its client, briefly) without waiting.
    void RequestStop() { Stop(true); }
    bool IsFinished() const { return m_bFinished; }

    NodeIo::ADDRESS GetPeerAddress() const { return m_nPeer; }
    int GetTest() const { return m_nTest; }
    // Called by the node's UDP receiver for datagrams from this client that
    // arrived at nNowMs.
    void AddUdpReceived(int nBytes, int64_t nNowMs) { m_tally.AddUdp(nBytes, nNowMs); }

protected:
    void Run() override;

private:
    using SEvent = CControlParser::SEvent;
    // The kinds of line a session logs; each is limited on its own.
    enum class ELine {
        Connected,
        SessionStart,
        StartAgain,
        EarlyRequest,
        TestStart,
        TestEnd,
        DownloadStopped,
        SlowDrain,
        Failure,
        SessionEnded,
        Count
    };

    template <typename... Args> void Log(ELine eLine, const char* pszFormat, Args... args);
    // Logs the bytes that were no message, at most once a second.
    void NoteUnknown();
    int64_t Now() const;
    // Takes in whatever the client sent; false once the connection is gone.
    bool ReadInput();
    // Handles parsed messages in order; false when the session is over.
    bool HandleEvents();
    bool HandleRequest(int nTest);
    // Stops the running download, lets it drain, sends the one-byte
    // command alone and starts the test.
    bool Command(int nTest);
    // Waits, still reading, until the client has acknowledged everything
    // sent (bounded), then pauses when bPause, until the client's upload
    // starts when bUntilUpload. False when the connection is gone.
    bool Settle(int64_t nLimitMs, bool bPause, bool bUntilUpload = false);
    // Takes in what the client sends while pred holds, until nDeadlineMs,
    // looking at pred at least every nStepMs. False when the connection is gone.
    template <typename Pred> bool ReadWhile(int64_t nDeadlineMs, int nStepMs, Pred pred);
    // False when no thread could be made for its download.
    bool BeginTest(int nTest);
    void EndTest();
    void StopDownload();
    // Takes what shows that the client still takes part.
    void NoteSignsOfLife(int64_t nNowMs);
    // When the session is closed unless the client shows a sign of life.
    int64_t IdleDeadlineMs() const;
    void Finish(const std::string& strReason, bool bTellClient);

    const SSessionContext m_context;
    std::unique_ptr<CSocket> m_pSocket;
    const NodeIo::ADDRESS m_nPeer;
    const std::string m_strPeer; // "address:port" for the log
    CControlParser m_parser;
    CMessageQueue m_messages;
    std::vector<uint8_t> m_buffer;
    std::vector<uint8_t> m_download; // the download's bytes; never a command value
    CDownloadWriter m_writer;        // writes only while a TCP download runs
    CUdpPacer m_udp;
    CTestTally m_tally;
    SDownloadTally m_downloadTally; // the running test's

    std::atomic<bool> m_bFinished{false};
    std::atomic<int> m_nTest{0};

    bool m_bStarted = false;
    bool m_bClosing = false;  // the node is stopping: drain once more regardless of m_bRun
    bool m_bLost = false;     // the connection failed rather than closed
    bool m_bNoThread = false; // no thread could be made for a download
    bool m_bNoRoom = false;   // a command found the send queue still full after the drain
    uint16_t m_nSeconds = 0;
    // The last sign that the client takes part: its session start and the
    // messages after it, data of its running upload (on the connection or
    // as datagrams), its acknowledging more of the TCP download, or a
    // running UDP download (the connection's keepalive watches that one).
    // Before the session start only the connection's arrival counts.
    int64_t m_nLastLifeMs = 0;
    // After a download that --max-seconds cut short, the client runs its
    // test to its end in silence.
    int64_t m_nQuietUntilMs = 0;
    uint64_t m_nUdpSeen = 0; // the tally's UDP bytes when last looked at
    int64_t m_nCommandMs = 0;

    // The running test.
    int64_t m_nDownloadEndMs = 0;
    int64_t m_nTestTimeEndMs = 0; // the client's seconds and the grace, from the start

    // Unexpected bytes, logged at most once a second.
    uint64_t m_nUnknown = 0;
    uint64_t m_nUnknownLogged = 0;
    int64_t m_nUnknownLogMs = -1000000;
    std::array<CLogLimit, static_cast<size_t>(ELine::Count)> m_logLimits;
    uint64_t m_nLinesLeftOut = 0;
};
