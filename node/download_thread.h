// CDownloadThread: what the node's two download senders (CDownloadWriter for
// TCP, CUdpPacer for UDP) share: a thread whose waits a stop ends at once
// through a wake descriptor, and a failure that ends the sending and says why.
#pragma once

#include "net/socket.h"
#include "net/thread.h"

#include <atomic>
#include <string>

class CDownloadThread : public CThread {
public:
    // Stops the sending and waits until the last send has returned. A derived
    // class calls it first in its destructor, while its members still exist.
    void End();

    // True once a send or wait failed; the sending has then stopped and
    // GetError says why.
    bool HasFailed() const { return m_bFailed.load(std::memory_order_acquire); }
    const std::string& GetError() const { return m_strError; }

protected:
    // The longest wait when no wake descriptor could be made.
    static constexpr int WAKE_MS = 100;

    // Starts Run with a fresh wake descriptor and no failure. False when no
    // thread could be made.
    bool BeginThread();
    // Records strWhat and the thread's last error as the reason.
    void Fail(const std::string& strWhat);
    void Unblock() override;

    SOCKET m_hWake = INVALID_SOCKET; // made readable to end the wait at once

private:
    std::atomic<bool> m_bFailed{false};
    std::string m_strError; // written before m_bFailed is set
};
