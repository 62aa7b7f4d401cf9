// Feeds the node's control-stream parser and a real session random
// interleavings of messages, filler blocks, cut receives and pauses. An
// input's first byte picks one of three ways:
//  - a session as the client writes it (requests, repeats before an upload,
//    blocks whose bytes look like messages, receives cut anywhere, pauses
//    shorter than the silence) into the parser on a simulated clock: exactly
//    the messages sent must come out, and exactly the upload be counted;
//  - arbitrary bytes, commands and pauses into the parser: nothing reported
//    beyond what was fed, and no deadline beyond the silence;
//  - such a stream on a loopback connection into a real CSession with short
//    timers, whose replies are read or left unread, and a connection that is
//    closed, reset or outlived by the node's stop: every byte the node sends
//    is a command or download, and the session ends once the connection does.
#include "node/control_parser.h"
#include "node/node_log.h"
#include "node/node_options.h"
#include "node/session.h"
#include "tests/support/control_session.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using EKind = CControlParser::EKind;
using SEvent = CControlParser::SEvent;
using Bytes = std::vector<uint8_t>;

void Check(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "fuzz_node_control: %s\n", pszWhat);
        std::abort();
    }
}

// Choices made by the input: a number from lo to hi.
auto PickFrom(FuzzedDataProvider& in) {
    return [&in](int nLow, int nHigh) { return in.ConsumeIntegralInRange(nLow, nHigh); };
}

void ExactSession(FuzzedDataProvider& in) {
    const std::string strWrong = testing_support::PlayWrittenSession(300, PickFrom(in));
    Check(strWrong.empty(), strWrong.c_str());
}

void ArbitraryInput(FuzzedDataProvider& in) {
    const int64_t nSilence = in.ConsumeIntegralInRange(1, 500);
    CControlParser parser(nSilence);
    std::vector<SEvent> events;
    int64_t nNow = in.ConsumeIntegralInRange(0, 1000);
    uint64_t nFed = 0;
    uint64_t nFedSinceCommand = 0;
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 3)) {
        case 0:
            parser.OnCommand(in.ConsumeIntegralInRange(-1, 8));
            nFedSinceCommand = 0;
            break;
        case 1:
            nNow += in.ConsumeIntegralInRange(0, 700);
            parser.Tick(nNow, events);
            break;
        default: {
            const Bytes data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(0, 3000));
            nFed += data.size();
            nFedSinceCommand += data.size();
            parser.Feed(data.data(), data.size(), nNow, events);
        }
        }
        const int64_t nDeadline = parser.NextDeadline();
        Check(nDeadline < 0 || nDeadline <= nNow + nSilence, "a deadline beyond the silence");
        Check(parser.GetUploadBytes() <= nFedSinceCommand, "more upload than was fed");
    }
    uint64_t nReported = 0;
    for (const SEvent& event : events) {
        Check(event.eKind != EKind::TestRequest || (event.nValue >= 1 && event.nValue <= 6),
              "a request for no test");
        nReported += event.eKind == EKind::SessionStart ? 3
                     : event.eKind == EKind::Unknown    ? static_cast<uint64_t>(event.nValue)
                                                        : 1;
    }
    Check(nReported <= nFed, "more reported than was fed");
}

// What a real session needs around it, made once: a listener to connect
// through, the node's UDP socket (its downloads come back to it and are
// dropped unread), and a log to the null device.
struct SSessionBench {
    int nListener = -1;
    int nUdp = -1;
    uint16_t nUdpPort = 0;
    std::FILE* pNull = std::fopen("/dev/null", "w");
    std::unique_ptr<CNodeLog> pLog = std::make_unique<CNodeLog>(pNull);

    SSessionBench() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t nLen = sizeof addr;
        nListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Check(::bind(nListener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::listen(nListener, 8) == 0,
              "no listener");
        nUdp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        Check(::bind(nUdp, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                  ::getsockname(nUdp, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0,
              "no UDP socket");
        nUdpPort = ntohs(addr.sin_port);
    }
};

// The client's end: writes, reads (or leaves unread) what the node sends,
// and checks every byte of it.
class CClientEnd {
public:
    explicit CClientEnd(int fd) : m_fd(fd) {}

    // Reads what is waiting (a bounded amount), when reading.
    void Service() {
        static uint8_t buffer[65536];
        for (int nRound = 0; m_bReading && nRound < 64; ++nRound) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                return;
            }
            for (ssize_t i = 0; i < n; ++i) {
                Check(buffer[i] <= 6 || (buffer[i] >= 0x80 && buffer[i] != 0xFF),
                      "the node sent a byte that is neither a command nor download");
            }
        }
    }
    // Sends the bytes as one write where the socket takes them, for at most a second.
    void Write(const Bytes& data) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (size_t nDone = 0;
             nDone < data.size() && std::chrono::steady_clock::now() < deadline;) {
            Service();
            const ssize_t n =
                ::send(m_fd, data.data() + nDone, data.size() - nDone, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return; // the node closed it
            }
            if (n > 0) {
                nDone += static_cast<size_t>(n);
            } else {
                pollfd pfd{m_fd, POLLOUT, 0};
                ::poll(&pfd, 1, 5);
            }
        }
    }
    void Pause(int nMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
        while (std::chrono::steady_clock::now() < end) {
            Service();
            pollfd pfd{m_fd, POLLIN, 0};
            ::poll(&pfd, 1, 1);
        }
    }

    int m_fd;
    bool m_bReading = true;
};

void RealSession(FuzzedDataProvider& in) {
    static SSessionBench bench;
    CNodeOptions options;
    options.nSilenceMs = in.ConsumeIntegralInRange(1, 20);
    options.nGraceMs = in.ConsumeIntegralInRange(0, 30);
    options.nIdleMs = in.ConsumeIntegralInRange(10, 100);
    options.nRepeatWindowMs = in.ConsumeIntegralInRange(0, 30);
    options.nDrainLimitMs = in.ConsumeIntegralInRange(0, 30);
    options.nSettleMs = in.ConsumeIntegralInRange(0, 3);
    options.nMaxSeconds = in.ConsumeIntegralInRange(0, 1);
    options.dUdpRateMbits = in.ConsumeIntegralInRange(1, 100);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    socklen_t nLen = sizeof addr;
    ::getsockname(bench.nListener, reinterpret_cast<sockaddr*>(&addr), &nLen);
    // libFuzzer's timer signal can interrupt the connect, which then goes on
    // by itself.
    int nError = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 ? 0 : errno;
    if (nError == EINTR) {
        pollfd pfd{fd, POLLOUT, 0};
        while (::poll(&pfd, 1, 1000) < 0 && errno == EINTR) {
        }
        nLen = sizeof nError;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLen);
    }
    if (nError != 0) {
        std::fprintf(stderr, "connect: %s\n", std::strerror(nError));
    }
    Check(nError == 0, "no connection");
    const int nOn = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
    int hAccepted = -1;
    do {
        hAccepted = ::accept4(bench.nListener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (hAccepted < 0 && errno == EINTR);
    Check(hAccepted >= 0, "no accepted connection");

    SSessionContext context;
    context.pOptions = &options;
    context.pLog = bench.pLog.get();
    context.hUdp = bench.nUdp;
    context.nPort = bench.nUdpPort;
    auto pSession = std::make_unique<CSession>(context, hAccepted, htonl(INADDR_LOOPBACK), 1);
    pSession->Begin();

    CClientEnd client(fd);
    Bytes pending;
    Bytes block(CControlParser::BLOCK_SIZE, 0x41);
    int nPausedMs = 0;
    bool bOpen = true;
    for (int nStep = 0; nStep < 64 && bOpen && in.remaining_bytes() > 0; ++nStep) {
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: { // a session start, mostly for a short test
            const uint16_t nSeconds =
                in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 1) : in.ConsumeIntegral<uint16_t>();
            pending.insert(pending.end(), {0x6C, static_cast<uint8_t>(nSeconds),
                                           static_cast<uint8_t>(nSeconds >> 8)});
            break;
        }
        case 1: // a request or the end
            pending.push_back(in.ConsumeIntegralInRange<uint8_t>(0, 6));
            break;
        case 2: // any byte
            pending.push_back(in.ConsumeIntegral<uint8_t>());
            break;
        case 3: { // whole blocks, perhaps a part of one
            for (int n = in.ConsumeIntegralInRange(1, 4); n > 0; --n) {
                pending.insert(pending.end(), block.begin(), block.end());
            }
            const size_t nPart = in.ConsumeIntegralInRange<size_t>(0, block.size() - 1);
            pending.insert(pending.end(), block.begin(),
                           block.begin() + static_cast<ptrdiff_t>(nPart));
            break;
        }
        case 4: // the end of a receive
            client.Write(pending);
            pending.clear();
            break;
        case 5: { // a pause
            client.Write(pending);
            pending.clear();
            const int nMs = std::min(in.ConsumeIntegralInRange(0, 40), 200 - nPausedMs);
            client.Pause(nMs);
            nPausedMs += nMs;
            break;
        }
        case 6:
            client.m_bReading = !client.m_bReading;
            break;
        case 7:
            block = testing_support::WrittenBlock(in.ConsumeIntegralInRange(1, 6), PickFrom(in));
            break;
        case 8: // the end of the connection: closed, reset, or the node stops
            client.Write(pending);
            pending.clear();
            switch (in.ConsumeIntegralInRange(0, 2)) {
            case 0:
                ::shutdown(fd, SHUT_WR);
                break;
            case 1: {
                const linger reset{1, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                ::shutdown(fd, SHUT_RDWR);
                break;
            }
            default:
                pSession->RequestStop();
                break;
            }
            bOpen = false;
            break;
        }
    }
    client.Write(pending);
    ::shutdown(fd, SHUT_WR);
    client.m_bReading = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!pSession->IsFinished()) {
        Check(std::chrono::steady_clock::now() < deadline, "the session outlived its connection");
        client.Pause(1);
    }
    pSession.reset(); // joins its thread
    ::close(fd);
}

} // namespace

// fuzz_node_control -max_total_time=300 CORPUS_DIR
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    FuzzedDataProvider in(pData, nSize);
    switch (in.ConsumeIntegral<uint8_t>() % 3) {
    case 0:
        ExactSession(in);
        break;
    case 1:
        ArbitraryInput(in);
        break;
    default:
        RealSession(in);
        break;
    }
    return 0;
}
