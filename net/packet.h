// CPacket: captures every IPv4 datagram that crosses the interface holding a
// local address and hands each to a callback on the capture thread. The
// platform's capture lives in capture_pcap.cpp; this header and packet.cpp
// hold what does not depend on it.
#pragma once

#include "net/packet_headers.h"
#include "net/stamp_clock.h"
#include "net/thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CPacket : public CThread {
public:
    using Clock = CStampClock::Clock;

    // The datagram from its first IPv4 header byte, its true length (the
    // bytes it occupies on the link, not the captured prefix) and when it
    // crossed the interface. The buffer holds the first min(length,
    // PACKET_HEADER_BYTES) bytes at least. Consumers take any length of 20 or
    // less as no packet; two of them say more: a capture error is passed on
    // as -1, and 0 says that every packet stamped before the time has been
    // handed over (the capture holds packets back a little, and a meter
    // waits for this before it ends a period).
    using PFNCAPTURE = void (*)(const char* pPacket, int32_t nLength, Clock::time_point stamp);

    // Link-layer framings that the capture can meet.
    enum class LinkType { Ethernet, LinuxCooked, LinuxCooked2, BsdLoopback, RawIp, Unknown };

    // Where the IPv4 datagram lies in a captured frame.
    struct Datagram {
        const char* pData = nullptr; // first IPv4 header byte
        int32_t nCaptured = 0;       // bytes of the datagram captured
        int32_t nLength = 0;         // its true length
    };

    // The capture's own counts since Open (see GetStats).
    struct Stats {
        uint32_t nReceived = 0; // packets that passed the capture's filter, dropped ones included
        uint32_t nDropped = 0;  // packets the capture had no room for
    };

    explicit CPacket(PFNCAPTURE pfnCapture);
    ~CPacket();

    // Closes any capture, then captures on the interface that holds the
    // dotted address (the port is not used: every datagram the interface
    // sends or receives is captured; it is not made promiscuous). On failure GetErrorText tells
    // why: WSAEADDRNOTAVAIL when no interface holds the address (text that is no address reads as
    // the broadcast address, as the classic converter has it), WSAEACCES without the privilege to
    // capture, WSAEPROCLIM when the capture thread could not be made. Refused from the capture
    // callback (WSAEINVAL), leaving the capture running.
    bool Open(const std::string& strAddress, uint16_t nPort);
    // Stops the capture thread (it notices within POLL_MS) and releases the
    // capture. From the capture callback it only stops the loop; the capture
    // is released when the callback returns.
    void Close();
    // Why the last Open failed; empty after a successful Open and after Close.
    std::string GetErrorText() const;
    // Counts read from the capture every STATS_MS while it runs, and once
    // more as it ends, so after Close they are final.
    Stats GetStats() const;

    // The datagram of one captured frame, or none when the frame holds no
    // IPv4 datagram. Never reads past nCaptured bytes.
    static bool FindDatagram(LinkType linkType, const unsigned char* pFrame, uint32_t nCaptured,
                             uint32_t nWireLength, Datagram& datagram);

    // Bytes captured of each frame: the link header (Ethernet with up to 12
    // VLAN tags, or a cooked header) and the PACKET_HEADER_BYTES that the
    // meter reads, no more. Every captured byte is copied twice (into the
    // capture's ring, then read from it), and the shorter each slot, the
    // more packets the ring holds before it drops.
    static constexpr int SNAP_LENGTH = 128;
    static constexpr int BUFFER_BYTES = 16 << 20;
    static constexpr int POLL_MS = 20; // the longest a stop waits for the loop to notice
    static constexpr int STATS_MS = 100;
    // How long the kernel may hold a packet back in a partly filled block of
    // its ring (a timeout of 10 ms, rounded up to its timer's tick, and run
    // late while the machine is busy), and the two directions' packets out of
    // the order of their stamps (each is stamped on the processor that
    // handled it).
    static constexpr std::chrono::milliseconds HOLD_BACK{50};
    static constexpr std::chrono::milliseconds REORDER{5};

protected:
    void Run() override;

private:
    struct Capture; // the platform's capture handle; capture_pcap.cpp
    std::shared_ptr<Capture> GetCapture() const;
    void SetError(int nWinsockCode);
    void OnFrame(LinkType linkType, const unsigned char* pFrame, uint32_t nCaptured,
                 uint32_t nWireLength, Clock::time_point stamp);
    void ReadStats(Capture& capture);

    const PFNCAPTURE m_pfnCapture;
    mutable std::mutex m_mtxCapture; // guards m_pCapture (the pointer) and m_strError
    std::shared_ptr<Capture> m_pCapture;
    std::string m_strError;
    std::atomic<uint32_t> m_nReceived{0};
    std::atomic<uint32_t> m_nDropped{0};
};
