// CClientUDP: the client's UDP endpoint for the UDP tests. One datagram socket
// bound to the client address and the node port; it sends the upload
// datagrams and a receive thread hands every received datagram to a callback.
#pragma once

#include "net/datagram_batch.h"
#include "net/shared_socket.h"
#include "net/thread.h"
#include "net/udp_stream_stats.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CClientUDP : public CThread {
public:
    using Clock = CDatagramReceiver::Clock;
    // One datagram, with its sender and the time the kernel took it in, on
    // the receive thread. The buffer is valid only during the call.
    using PFNRECEIVE = void (*)(const char* pData, int32_t nLength, const std::string& strAddress,
                                uint16_t nPort, Clock::time_point arrival);

    // The receive buffer asked for: a node's download at 10 Gbit/s for about
    // 6 ms while the receive thread waits for a processor. A user gets at
    // most what the system allows (net.core.rmem_max on Linux).
    static constexpr int RECEIVE_BUFFER_BYTES = 8 << 20;

    explicit CClientUDP(PFNRECEIVE pfnReceive);
    ~CClientUDP();

    // Closes any previous socket, then binds a new one to the dotted address
    // and port and starts the receive thread. On failure nothing stays open
    // and GetErrorText gives the reason (WSAEPROCLIM when the thread could
    // not be made). Refused on the receive thread (WSAEINVAL), leaving the
    // socket as it is.
    bool Open(const std::string& strAddress, uint16_t nPort);
    // Safe from any thread, the receive callback included, and against
    // concurrent SendTo calls.
    void Close();
    // One datagram; -1 while closed.
    int SendTo(const void* pData, int nLength, const std::string& strHost, uint16_t nPort);
    // The reason the last Open failed, else the open socket's last error text.
    std::string GetErrorText() const;
    bool IsOpen() const;

    // The open socket, kept alive for as long as the caller holds it (null
    // while closed). The upload sender batches its datagrams on it.
    std::shared_ptr<CSocket> GetSocket() const;

    // The stamped stream of a UDP download (download_stamp.h), counted on
    // the receive thread: ResetStream(nTest) starts counting the datagrams
    // stamped with test nTest (0: none), before the node can send any, and
    // keeps the count when asked for the same test again; GetStreamFigures
    // gives what arrived of it so far.
    void ResetStream(int nTest);
    SUdpFigures GetStreamFigures() const;

protected:
    void Run() override;

private:
    void SetError(std::string strError);

    const PFNRECEIVE m_pfnReceive;
    CSharedSocket m_socket;
    mutable std::mutex m_mtxError;  // guards m_strError
    std::string m_strError;         // why the last Open failed
    mutable std::mutex m_mtxStream; // guards m_streamFigures against ResetStream
    SUdpFigures m_streamFigures;
    std::atomic<uint32_t> m_nStreamResets{0};
    std::atomic<int> m_nStreamTest{0}; // the test whose datagrams are counted
};
