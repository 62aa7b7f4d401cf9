#include "net/tcp_info.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

bool ReadTcpInfo(SOCKET hSocket, STcpInfo& info) {
    tcp_info kernel{};
    socklen_t nLength = sizeof kernel;
    if (::getsockopt(hSocket, IPPROTO_TCP, TCP_INFO, &kernel, &nLength) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    info.dRttMs = kernel.tcpi_rtt / 1000.0;
    info.dRttVarMs = kernel.tcpi_rttvar / 1000.0;
    info.nRetransmits = kernel.tcpi_total_retrans;
    info.nCwndBytes = uint64_t{kernel.tcpi_snd_cwnd} * kernel.tcpi_snd_mss;
    info.dReceiverRttMs = kernel.tcpi_rcv_rtt / 1000.0;
    return true;
}
