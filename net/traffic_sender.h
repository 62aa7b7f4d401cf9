// CTrafficSender: the upload traffic of the upload tests. A worker thread
// writes the same 1000-byte block again and again, as fast as the path takes
// it, on the node connection (TCP mode) or as datagrams from the UDP client to
// the node (UDP mode), until its run flag is cleared.
#pragma once

#include "net/client.h"
#include "net/client_udp.h"
#include "net/thread.h"

#include <cstdint>
#include <mutex>
#include <string>

class CTrafficSender : public CThread {
public:
    static constexpr int BLOCK_SIZE = 1000;
    // Blocks handed to one stream send, and datagrams to one batched send.
    static constexpr int STREAM_BATCH = 256;
    static constexpr int DATAGRAM_BATCH = 64;
    // How long one send waits for room, so that a cleared run flag is
    // noticed this soon even when the peer has stopped reading.
    static constexpr int SEND_WAIT_MS = 50;
    // After the run flag is cleared, how long the sender may take to finish
    // the block it is in, so that the stream ends on a block boundary.
    static constexpr int FINISH_BLOCK_MS = 200;

    CTrafficSender(CClient* pClient, CClientUDP* pClientUDP);
    ~CTrafficSender();

    // Waits for a sender that still runs, then starts sending: on the node
    // connection (bTcp, host and port unused) or as datagrams to host:port.
    // False when the thread did not start (refused on the sender's own
    // thread, which it leaves running). Stopping is CThread's: Stop(false)
    // waits (well under a second); Stop(true) returns at once and the thread
    // ends as soon as it notices, which WaitFor can bound.
    bool Start(bool bTcp, const std::string& strHost, uint16_t nPort);

protected:
    void Run() override;

private:
    void RunStream(const char* pBlock);
    void RunDatagrams(const char* pBlock);

    CClient* const m_pClient;
    CClientUDP* const m_pClientUDP;
    std::mutex m_mtxStart; // serialises Start: the settings change only while no thread runs
    bool m_bTcp = true;
    uint16_t m_nPort = 0;
    std::string m_strHost;
};
