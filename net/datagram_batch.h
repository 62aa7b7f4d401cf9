// Datagrams in batches, in as few system calls as the platform allows: many
// copies of one datagram out (the upload sender's datagrams and the node's
// download share it), and whatever is waiting in (the client's UDP receiver).
// The platform's calls live in datagram_batch_posix.cpp.
#pragma once

#include "net/socket.h"
#include "net/stamp_clock.h"

#include <cstdint>
#include <memory>

// At most this many datagrams go out per call.
constexpr int DATAGRAM_BATCH_MAX = 64;

// Sends nCount (capped at DATAGRAM_BATCH_MAX) copies of the nLength bytes at
// pData to the IPv4 address (network byte order) and port. While bSegmentation
// holds, one call hands the kernel the whole batch to cut into datagrams of
// nLength bytes (segmentation offload); a path that refuses it clears the flag
// and the batch goes as one message per datagram. Datagrams sent; 0 when the
// socket has no room now (or nCount is below 1); -1 on failure, with the
// thread's last error set.
int SendDatagramCopies(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                       uint16_t nPort, int nCount, bool& bSegmentation);
// The same for nCount different datagrams of nLength bytes each, laid one
// after another at pData.
int SendDatagramRun(SOCKET hSocket, const void* pData, int nLength, uint32_t nAddress,
                    uint16_t nPort, int nCount, bool& bSegmentation);

// Takes in whatever datagrams are waiting on a socket, many per call. Where
// the platform offers receive offload, the kernel keeps a run of datagrams
// that one sender sent in one batch together, and one read takes them all:
// Next hands them out one by one all the same, each with its sender and the
// time it arrived.
class CDatagramReceiver {
public:
    using Clock = CStampClock::Clock;

    struct Datagram {
        const char* pData = nullptr;
        int32_t nLength = 0;
        uint32_t nAddress = 0; // the sender's, host order
        uint16_t nPort = 0;
        Clock::time_point arrival; // when the kernel took it in
    };

    // Reads per call, and the room each has: the most that one read of
    // offloaded datagrams can hold.
    static constexpr int MAX_READS = 32;
    static constexpr int READ_BYTES = 65536;

    CDatagramReceiver();
    ~CDatagramReceiver();
    CDatagramReceiver(const CDatagramReceiver&) = delete;
    CDatagramReceiver& operator=(const CDatagramReceiver&) = delete;

    // Sets a socket up for batches: receive offload where the platform has
    // it, arrival stamps, and a receive buffer of nBufferBytes as far as the
    // system grants one without privilege (net.core.rmem_max on Linux).
    static void Prepare(SOCKET hSocket, int nBufferBytes);

    // Waits for a datagram on the (blocking) socket, then takes it and
    // whatever else is waiting, without waiting again. Reads taken (0 when
    // the wait was interrupted), or -1 with the thread's last error set; a
    // socket shut down from another thread ends the wait either way.
    int Receive(SOCKET hSocket);
    // The next datagram of what Receive took; false once all are handed out.
    // Empty datagrams are skipped.
    bool Next(Datagram& datagram);

private:
    struct Reads; // the platform's message headers and the buffers
    std::unique_ptr<Reads> m_pReads;
    int m_nReads = 0;  // taken by the last Receive
    int m_nRead = 0;   // the read Next is in
    int m_nOffset = 0; // where its next datagram starts
};
