// CSocket on real loopback sockets: Winsock's results and texts, and a close
// that releases a receive blocked on another thread.
#include "net/client.h"
#include "net/client_udp.h"
#include "net/socket.h"
#include "tests/support/loopback.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <vector>

using namespace testing_support;
using namespace std::chrono_literals;

namespace {

bool IsOpenDescriptor(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

TEST(Socket, RefusedConnectRecordsItsTextAndLeavesTheObjectUnconnected) {
    CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
    EXPECT_FALSE(socket.Connect("127.0.0.1", UnusedPort()));
    EXPECT_EQ(socket.GetLastErrorText(), "WSAECONNREFUSED\nConnection refused");
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_EQ(socket.GetAddress(), "");
    EXPECT_EQ(socket.GetPort(), 0);
}

TEST(Socket, AShutdownBeforeTheConnectBeginsCancelsIt) {
    // A full accept queue: the listener drops further connects, as a silent node would.
    TcpListener listener("127.0.0.1", 0);
    CSocket queued(CreateSocket(SOCKET_TYPE_STREAM));
    ASSERT_TRUE(queued.Connect("127.0.0.1", listener.Port()));
    CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
    socket.Shutdown();
    EXPECT_FALSE(socket.ConnectWithin("127.0.0.1", listener.Port(), 2000));
    EXPECT_EQ(socket.GetLastErrorText(), "WSAEINTR\nInterrupted function call");
    EXPECT_FALSE(socket.IsConnected());
}

TEST(Socket, HostNameInsteadOfDottedAddressFailsToConnect) {
    TcpListener listener;
    CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
    EXPECT_FALSE(socket.Connect("localhost", listener.Port()));
    EXPECT_FALSE(socket.GetLastErrorText().empty());
    EXPECT_FALSE(socket.IsConnected());
}

TEST(Socket, ConnectSendReceiveAndPeerAddress) {
    TcpListener listener;
    CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
    ASSERT_TRUE(socket.Connect("127.0.0.1", listener.Port()));
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_EQ(socket.GetAddress(), "127.0.0.1");
    EXPECT_EQ(socket.GetPort(), listener.Port());
    EXPECT_EQ(socket.GetPeerAddress(), "127.0.0.1");
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);

    EXPECT_EQ(socket.Send("hello", 5), 5);
    EXPECT_EQ(ReadBytes(peer, 5), "hello");

    // The whole buffer is zeroed before the receive, old data included.
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_EQ(send(peer, "abc", 3, 0), 3);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    for (size_t i = 3; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], 0) << "byte " << i;
    }

    // A closed peer: the receive sees 0, and sends fail without SIGPIPE.
    close(peer);
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 0);
    int nResult = 0;
    for (int i = 0; i < 100 && nResult != SOCKET_ERROR; ++i) {
        nResult = socket.Send("data", 4);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(nResult, SOCKET_ERROR);
}

TEST(Socket, BindOnDatagramSocketSucceedsAndKeepsTheListenFailure) {
    CSocket socket(CreateSocket(SOCKET_TYPE_DGRAM));
    ASSERT_TRUE(socket.Bind("127.0.0.1", 0));
    EXPECT_TRUE(socket.IsConnected());
    EXPECT_EQ(socket.GetLastErrorText(), "WSAEOPNOTSUPP\nOperation not supported");

    // A later success leaves the old text in place.
    int32_t nValue = 0;
    EXPECT_TRUE(socket.GetOption(SOL_SOCKET, SO_RCVBUF, nValue));
    EXPECT_GT(nValue, 0);
    EXPECT_EQ(socket.GetLastErrorText(), "WSAEOPNOTSUPP\nOperation not supported");

    // Its close succeeds, though Linux calls the half-close "not connected".
    const int fd = socket.GetHandle();
    EXPECT_TRUE(socket.Close()) << socket.GetLastErrorText();
    EXPECT_FALSE(socket.IsConnected());
    EXPECT_FALSE(IsOpenDescriptor(fd));
}

TEST(Socket, BindWithPortOnlyOrEmptyAddressTakesAnyAddress) {
    for (bool bPortOnly : {true, false}) {
        CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
        ASSERT_TRUE(bPortOnly ? socket.Bind(0) : socket.Bind("", 0));
        EXPECT_EQ(socket.GetLastErrorText(), "") << "a stream socket listens";
        sockaddr_in addr{};
        socklen_t nLen = sizeof addr;
        ASSERT_EQ(getsockname(socket.GetHandle(), reinterpret_cast<sockaddr*>(&addr), &nLen), 0);
        EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
    }
}

TEST(Socket, BindToAnAddressOfNoInterfaceFails) {
    CSocket socket(CreateSocket(SOCKET_TYPE_DGRAM));
    EXPECT_FALSE(socket.Bind("192.0.2.1", 0));
    EXPECT_EQ(socket.GetLastErrorText(), "WSAEADDRNOTAVAIL\nCannot assign requested address");
    EXPECT_FALSE(socket.IsConnected());
}

TEST(Socket, ListeningSocketAcceptsAConnection) {
    CSocket server(CreateSocket(SOCKET_TYPE_STREAM));
    ASSERT_TRUE(server.Bind("127.0.0.1", 0));
    const uint16_t nPort = LocalPort(server.GetHandle());
    CSocket client(CreateSocket(SOCKET_TYPE_STREAM));
    ASSERT_TRUE(client.Connect("127.0.0.1", nPort));
    ASSERT_TRUE(server.Accept());
    CSocket accepted(server.GetAcceptedHandle());
    EXPECT_EQ(accepted.Send("x", 1), 1);
    char c = 0;
    EXPECT_EQ(client.Receive(&c, 1), 1);
    EXPECT_EQ(c, 'x');

    const int fd = client.GetHandle();
    EXPECT_TRUE(client.Close());
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.GetAddress(), "");
    EXPECT_EQ(client.GetPort(), 0);
    EXPECT_FALSE(IsOpenDescriptor(fd));
    EXPECT_EQ(accepted.Receive(&c, 1), 0) << "the peer did not see the close";
}

TEST(Socket, CloseOfNeverConnectedStreamFailsButDestructionReleasesTheDescriptor) {
    int fd = -1;
    {
        CSocket socket(CreateSocket(SOCKET_TYPE_STREAM));
        fd = socket.GetHandle();
        EXPECT_FALSE(socket.Close());
        EXPECT_EQ(socket.GetLastErrorText(), "WSAENOTCONN\nSocket is not connected");
        EXPECT_TRUE(IsOpenDescriptor(fd)) << "a failed close keeps the handle";
    }
    EXPECT_FALSE(IsOpenDescriptor(fd)) << "the destructor leaked the descriptor";
}

TEST(Socket, InvalidHandleFailsEveryOperationWithAText) {
    CSocket socket(INVALID_SOCKET);
    EXPECT_FALSE(socket.Connect("127.0.0.1", 1));
    EXPECT_EQ(socket.GetLastErrorText(), "WSAENOTSOCK\nSocket operation on nonsocket");
    EXPECT_FALSE(socket.Close());
    EXPECT_EQ(socket.Send("x", 1), SOCKET_ERROR);
}

// The IPv4 address that /etc/hosts gives the name first, or "".
std::string HostsFileAddress(const std::string& strName) {
    std::ifstream hosts("/etc/hosts");
    std::string strLine;
    while (std::getline(hosts, strLine)) {
        std::istringstream fields(strLine.substr(0, strLine.find('#')));
        std::string strAddress, strAlias;
        fields >> strAddress;
        in_addr address{};
        if (inet_pton(AF_INET, strAddress.c_str(), &address) != 1) {
            continue;
        }
        while (fields >> strAlias) {
            if (strAlias == strName) {
                return strAddress;
            }
        }
    }
    return {};
}

TEST(Socket, LookupsUseTheMachinesOwnAddresses) {
    CSocket socket;
    const std::string strAddresses = socket.GetLocalAddresses();
    EXPECT_NE(strAddresses.find("127.0.0.1 "), std::string::npos) << strAddresses;
    ASSERT_FALSE(strAddresses.empty());
    EXPECT_EQ(strAddresses.back(), ' ');
    EXPECT_EQ(strAddresses.find("  "), std::string::npos);
    EXPECT_EQ(socket.GetHostAddress("127.0.0.2"), "127.0.0.2");
    // A name needs the resolver's files; a bare system image may have none.
    if (const std::string strLocalhost = HostsFileAddress("localhost"); !strLocalhost.empty()) {
        EXPECT_EQ(socket.GetHostAddress("localhost"), strLocalhost);
    }
    EXPECT_EQ(socket.GetHostAddress("no-such-host.invalid"), "");
    EXPECT_EQ(socket.GetHostName("127.0.0.1"), "");
    EXPECT_FALSE(socket.GetLocalHostName().empty());
    EXPECT_EQ(socket.GetPeerAddress(), "");
}

// A receive blocked on one thread returns soon after another thread closes.
void ExpectCloseReleasesReceive(CSocket& socket, bool bDatagram) {
    auto blocked = std::async(std::launch::async, [&] {
        char buffer[2048];
        if (bDatagram) {
            std::string strFrom;
            uint16_t nPort = 0;
            return socket.ReceiveFrom(buffer, sizeof buffer, strFrom, nPort);
        }
        return socket.Receive(buffer, sizeof buffer);
    });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout) << "receive did not block";
    const auto start = std::chrono::steady_clock::now();
    socket.Close();
    ASSERT_EQ(blocked.wait_for(2s), std::future_status::ready) << "close left the receive blocked";
    EXPECT_LT(std::chrono::steady_clock::now() - start, Promptly(250ms));
    EXPECT_LE(blocked.get(), 0);
}

TEST(Socket, CloseReleasesAReceiveBlockedOnAnotherThread) {
    TcpListener listener;
    CSocket stream(CreateSocket(SOCKET_TYPE_STREAM));
    ASSERT_TRUE(stream.Connect("127.0.0.1", listener.Port()));
    const int peer = listener.Accept();
    ExpectCloseReleasesReceive(stream, false);
    close(peer);

    CSocket datagram(CreateSocket(SOCKET_TYPE_DGRAM));
    ASSERT_TRUE(datagram.Bind("127.0.0.1", 0));
    ExpectCloseReleasesReceive(datagram, true);
}

TEST(Socket, DatagramsCarryTheSendersAddressAndPort) {
    CSocket receiver(CreateSocket(SOCKET_TYPE_DGRAM));
    ASSERT_TRUE(receiver.Bind("127.0.0.1", 0));
    const uint16_t nReceiverPort = LocalPort(receiver.GetHandle());
    CSocket sender(CreateSocket(SOCKET_TYPE_DGRAM));
    ASSERT_TRUE(sender.Bind("127.0.0.1", 0));
    ASSERT_EQ(sender.SendTo("ping", 4, "127.0.0.1", nReceiverPort), 4);
    char buffer[64] = {};
    std::string strFrom;
    uint16_t nFromPort = 0;
    ASSERT_EQ(receiver.ReceiveFrom(buffer, sizeof buffer, strFrom, nFromPort), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    EXPECT_EQ(strFrom, "127.0.0.1");
    EXPECT_EQ(nFromPort, LocalPort(sender.GetHandle()));
}

TEST(Socket, AddressTextIsReadAsTheClassicConverterReadsIt) {
    EXPECT_EQ(InetAddr("1.2.3"), Ipv4Address("1.2.0.3", 0).sin_addr.s_addr);
    TcpListener listener;
    CSocket stream(CreateSocket(SOCKET_TYPE_STREAM));
    EXPECT_TRUE(stream.Connect("127.1", listener.Port())) << stream.GetLastErrorText();
    CSocket receiver(CreateSocket(SOCKET_TYPE_DGRAM));
    ASSERT_TRUE(receiver.Bind("127.0.0.1", 0));
    const uint16_t nPort = LocalPort(receiver.GetHandle());
    EXPECT_EQ(receiver.SendTo("x", 1, "127.1", nPort), 1); // to itself
    // Text that is no address reads as the broadcast address: nowhere to
    // connect, bind or send to (Linux would let a datagram socket bind it).
    const std::string strNotAvailable = "WSAEADDRNOTAVAIL\nCannot assign requested address";
    for (const char* pszText : {"foo", ""}) {
        CSocket unconnected(CreateSocket(SOCKET_TYPE_STREAM));
        EXPECT_FALSE(unconnected.Connect(pszText, listener.Port()));
        EXPECT_EQ(unconnected.GetLastErrorText(), strNotAvailable) << pszText;
        EXPECT_EQ(receiver.SendTo("x", 1, pszText, nPort), SOCKET_ERROR);
        EXPECT_EQ(GetWinsockErrorText(), strNotAvailable) << pszText;
    }
    CSocket unbound(CreateSocket(SOCKET_TYPE_DGRAM));
    EXPECT_FALSE(unbound.Bind("foo", 0));
    EXPECT_EQ(unbound.GetLastErrorText(), strNotAvailable);
}

// While it lives, the process has no descriptor to spare.
class CNoFreeDescriptors {
public:
    CNoFreeDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_limit);
        rlimit low = m_limit;
        low.rlim_cur = std::min<rlim_t>(m_limit.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = dup(STDIN_FILENO)) >= 0;) {
            m_taken.push_back(fd);
        }
    }
    ~CNoFreeDescriptors() {
        for (const int fd : m_taken) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &m_limit);
    }

private:
    rlimit m_limit{};
    std::vector<int> m_taken;
};

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, const std::string&, uint16_t, CClientUDP::Clock::time_point) {
}

TEST(Socket, ASocketThatCouldNotBeMadeReportsWhyOnItsFirstUse) {
    TcpListener listener;
    CClient client(OnNodeBytes);
    CClientUDP clientUdp(OnDatagram);
    // The same paths once with descriptors to spare: a sanitizer's first
    // check of an object's type needs one of its own.
    ASSERT_TRUE(client.Connect("127.0.0.1", listener.Port()));
    ASSERT_TRUE(clientUdp.Open("127.0.0.1", 0));
    client.Close();
    clientUdp.Close();
    ASSERT_TRUE(client.WaitFor(5000) && clientUdp.WaitFor(5000));
    CNoFreeDescriptors full;
    EXPECT_FALSE(client.Connect("127.0.0.1", listener.Port())); // a stream's Connect
    EXPECT_EQ(client.GetErrorText(), "WSAEMFILE\nToo many open files");
    EXPECT_FALSE(clientUdp.Open("127.0.0.1", 0)); // a datagram socket's Bind
    EXPECT_EQ(clientUdp.GetErrorText(), "WSAEMFILE\nToo many open files");
}

} // namespace
