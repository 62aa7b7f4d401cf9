// IPv4 socket addresses from text, for tests and benchmarks. Header only and
// free of GoogleTest.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <string>

namespace testing_support {

// The address and port; 0.0.0.0 when the text is no dotted IPv4 address.
inline sockaddr_in Ipv4Address(const std::string& strAddress, uint16_t nPort) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    ::inet_pton(AF_INET, strAddress.c_str(), &addr.sin_addr);
    return addr;
}

} // namespace testing_support
