// CPacket on libpcap: the interface that holds the address, captured in
// non-blocking mode and waited for with poll, so that a stop is noticed
// within POLL_MS even when no packet arrives.
#include "net/packet.h"

#include "net/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <poll.h>

namespace {

// Frames handled per dispatch, so that the loop tests its flag under load too.
constexpr int DISPATCH_BATCH = 4096;
// How long the kernel holds a partly filled block of packets back.
constexpr int BLOCK_TIMEOUT_MS = 10;

int WinsockCodeOfStatus(int nStatus) {
    switch (nStatus) {
    case PCAP_ERROR_PERM_DENIED:
    case PCAP_ERROR_PROMISC_PERM_DENIED:
        return WSAEACCES;
    case PCAP_ERROR_NO_SUCH_DEVICE: // gone since it was found
        return WSAEADDRNOTAVAIL;
    case PCAP_ERROR_IFACE_NOT_UP:
        return WSAENETDOWN;
    default:
        return WSASYSCALLFAILURE;
    }
}

CPacket::LinkType LinkTypeOf(int nDatalink) {
    switch (nDatalink) {
    case DLT_EN10MB:
        return CPacket::LinkType::Ethernet;
    case DLT_LINUX_SLL:
        return CPacket::LinkType::LinuxCooked;
    case DLT_LINUX_SLL2:
        return CPacket::LinkType::LinuxCooked2;
    case DLT_NULL:
    case DLT_LOOP:
        return CPacket::LinkType::BsdLoopback;
    case DLT_RAW:
    case DLT_IPV4:
        return CPacket::LinkType::RawIp;
    default:
        return CPacket::LinkType::Unknown;
    }
}

// The name of the interface that holds the address; empty when none does.
// False when the interfaces cannot be listed.
bool FindInterface(const in_addr& address, std::string& strName) {
    char szError[PCAP_ERRBUF_SIZE];
    pcap_if_t* pDevices = nullptr;
    if (pcap_findalldevs(&pDevices, szError) != 0) {
        return false;
    }
    strName.clear();
    for (const pcap_if_t* pDevice = pDevices; pDevice != nullptr && strName.empty();
         pDevice = pDevice->next) {
        for (const pcap_addr_t* pAddress = pDevice->addresses; pAddress != nullptr;
             pAddress = pAddress->next) {
            if (pAddress->addr != nullptr && pAddress->addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(pAddress->addr)->sin_addr.s_addr ==
                    address.s_addr) {
                strName = pDevice->name;
                break;
            }
        }
    }
    pcap_freealldevs(pDevices);
    return true;
}

} // namespace

struct CPacket::Capture {
    pcap_t* pHandle = nullptr;
    int nFd = -1;
    LinkType linkType = LinkType::Unknown;
    int64_t nStampDivisor = 1; // nanoseconds per unit of a stamp's fraction

    Capture() = default;
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;
    ~Capture() {
        if (pHandle != nullptr) {
            pcap_close(pHandle);
        }
    }
};

bool CPacket::Open(const std::string& strAddress, uint16_t /*nPort*/) {
    if (IsOwnThread()) {
        SetError(WSAEINVAL); // it would have to end the thread it runs on
        return false;
    }
    Close();
    Join(); // a loop closed from its own callback ends before the counts restart
    {
        std::lock_guard lock(m_mtxCapture);
        m_strError.clear();
    }
    // Text that is no address reads as the broadcast address, which no
    // interface holds.
    in_addr address{};
    address.s_addr = InetAddr(strAddress);
    std::string strInterface;
    if (!FindInterface(address, strInterface)) {
        SetError(WSASYSCALLFAILURE);
        return false;
    }
    if (strInterface.empty()) {
        SetError(WSAEADDRNOTAVAIL);
        return false;
    }

    char szError[PCAP_ERRBUF_SIZE];
    auto pCapture = std::make_shared<Capture>();
    pCapture->pHandle = pcap_create(strInterface.c_str(), szError);
    if (pCapture->pHandle == nullptr) {
        SetError(WSASYSCALLFAILURE);
        return false;
    }
    pcap_t* const pHandle = pCapture->pHandle;
    pcap_set_snaplen(pHandle, SNAP_LENGTH);
    pcap_set_promisc(pHandle, 0); // the interface's own traffic, not its neighbours'
    pcap_set_buffer_size(pHandle, BUFFER_BYTES);
    pcap_set_timeout(pHandle, BLOCK_TIMEOUT_MS);
    pcap_set_tstamp_precision(pHandle, PCAP_TSTAMP_PRECISION_NANO); // else microseconds
    const int nStatus = pcap_activate(pHandle);
    if (nStatus < 0) {
        SetError(WinsockCodeOfStatus(nStatus));
        return false;
    }
    pCapture->nStampDivisor =
        pcap_get_tstamp_precision(pHandle) == PCAP_TSTAMP_PRECISION_NANO ? 1 : 1000;
    pCapture->linkType = LinkTypeOf(pcap_datalink(pHandle));
    if (pCapture->linkType == LinkType::Unknown) {
        SetError(WSAEOPNOTSUPP);
        return false;
    }
    bpf_program filter{};
    if (pcap_compile(pHandle, &filter, "ip", 1, PCAP_NETMASK_UNKNOWN) != 0) {
        SetError(WSASYSCALLFAILURE);
        return false;
    }
    const int nFilter = pcap_setfilter(pHandle, &filter);
    pcap_freecode(&filter);
    if (nFilter != 0 || pcap_setnonblock(pHandle, 1, szError) != 0) {
        SetError(WSASYSCALLFAILURE);
        return false;
    }
    pCapture->nFd = pcap_get_selectable_fd(pHandle);
    if (pCapture->nFd < 0) {
        SetError(WSAEOPNOTSUPP);
        return false;
    }

    m_nReceived = 0;
    m_nDropped = 0;
    {
        std::lock_guard lock(m_mtxCapture);
        m_pCapture = std::move(pCapture);
    }
    if (!Start()) {
        Close();
        SetError(WSAEPROCLIM); // the system would make no more threads
        return false;
    }
    return true;
}

void CPacket::Close() {
    std::shared_ptr<Capture> pCapture;
    {
        std::lock_guard lock(m_mtxCapture);
        pCapture.swap(m_pCapture);
        m_strError.clear(); // a failed Open's text goes with what it opened
    }
    if (!pCapture) {
        return;
    }
    // Waits at most POLL_MS plus one batch. From the capture thread it only
    // clears the flag, and Run's own reference keeps the capture until the
    // callback has returned.
    Stop(false);
}

void CPacket::ReadStats(Capture& capture) {
    pcap_stat stats{};
    if (pcap_stats(capture.pHandle, &stats) == 0) {
        m_nReceived = stats.ps_recv;
        m_nDropped = stats.ps_drop;
    }
}

void CPacket::Run() {
    const std::shared_ptr<Capture> pCapture = GetCapture();
    if (!pCapture) {
        return;
    }
    struct Context {
        CPacket* pPacket;
        const Capture* pCapture;
        CStampClock stamps;
        Clock::time_point latest; // the latest stamp handed over
    } context{this, pCapture.get(), {}, {}};
    const pcap_handler handler = [](u_char* pUser, const pcap_pkthdr* pHeader,
                                    const u_char* pFrame) {
        auto* pContext = reinterpret_cast<Context*>(pUser);
        const Clock::time_point stamp = pContext->stamps.ToSteady(
            pHeader->ts.tv_sec, pHeader->ts.tv_usec * pContext->pCapture->nStampDivisor);
        pContext->latest = std::max(pContext->latest, stamp);
        pContext->pPacket->OnFrame(pContext->pCapture->linkType, pFrame, pHeader->caplen,
                                   pHeader->len, stamp);
        if (!pContext->pPacket->m_bRun) {
            pcap_breakloop(pContext->pCapture->pHandle); // closed from the callback
        }
    };

    static const char cNothing = 0;
    Clock::time_point handedOver;
    auto nextStats = Clock::now() + std::chrono::milliseconds(STATS_MS);
    pollfd wait{pCapture->nFd, POLLIN, 0};
    // Also ends when the capture is no longer the current one, so that a loop
    // can never outlive its capture, whatever its owner does.
    while (m_bRun && GetCapture() == pCapture) {
        context.stamps.Sync();
        const int nFrames = pcap_dispatch(pCapture->pHandle, DISPATCH_BATCH, handler,
                                          reinterpret_cast<u_char*>(&context));
        if (nFrames == PCAP_ERROR) {
            // Passed on as a failed receive, then retried after a pause, so
            // that a lasting failure (the interface went away) does not spin.
            if (m_pfnCapture != nullptr) {
                m_pfnCapture(&cNothing, -1, Clock::now());
            }
            poll(nullptr, 0, POLL_MS);
        } else {
            // What the ring can still hold back: packets of the other
            // direction stamped a little before the latest one, and, once it
            // is empty, those in the block the kernel has not handed over yet.
            Clock::time_point complete = context.latest - REORDER;
            if (nFrames == 0) {
                complete = std::max(complete, context.stamps.Synced() - HOLD_BACK);
            }
            if (complete > handedOver && m_bRun) {
                handedOver = complete;
                if (m_pfnCapture != nullptr) {
                    m_pfnCapture(&cNothing, 0, handedOver);
                }
            }
            if (nFrames == 0) {
                poll(&wait, 1, POLL_MS);
            }
        }
        if (Clock::now() >= nextStats) {
            ReadStats(*pCapture);
            nextStats = Clock::now() + std::chrono::milliseconds(STATS_MS);
        }
    }
    ReadStats(*pCapture);
}
