// CPinger: the round trip to one address while a session runs, from ICMP
// echo sent ten times a second on a thread of its own. Each Take hands over
// what the echoes did since the last one.
#pragma once

#include "net/socket.h"
#include "net/thread.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class CPinger : public CThread {
public:
    static constexpr int INTERVAL_MS = 100;
    // An echo unanswered this long is lost (a later reply is ignored).
    static constexpr int TIMEOUT_MS = 1000;

    struct Figures {
        int nAnswered = 0; // replies that came in the period
        int nLost = 0;     // echoes whose time ran out in it
        double dMinMs = 0; // of the replies' round trips; 0 without replies
        double dMeanMs = 0;
        double dMaxMs = 0;
    };

    CPinger();
    ~CPinger();

    // Opens the raw socket and starts echoing to the dotted address. False
    // with the reason in GetErrorText (WSAEACCES without the privilege).
    bool Open(const std::string& strAddress);
    // Stops the echoes; the thread notices within INTERVAL_MS.
    void Close();
    std::string GetErrorText() const { return m_strError; }
    // The figures since the last Take (or the Open).
    Figures Take();

protected:
    void Run() override;

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        bool bWaiting = false;
        uint16_t nSequence = 0;
        Clock::time_point sent;
    };

    SOCKET m_hSocket = INVALID_SOCKET; // only the thread uses it while it runs
    uint32_t m_nAddress = 0;
    uint16_t m_nId = 0;
    std::string m_strError;
    // Room for every echo that can be waiting at once; a power of two, so
    // that the numbers' wrap keeps their places.
    std::array<Pending, 32> m_pending;
    static_assert(32 > TIMEOUT_MS / INTERVAL_MS + 1);

    std::mutex m_mtxFigures; // guards the period's sums
    int m_nAnswered = 0;
    int m_nLost = 0;
    double m_dSumMs = 0;
    double m_dMinMs = 0;
    double m_dMaxMs = 0;
};
