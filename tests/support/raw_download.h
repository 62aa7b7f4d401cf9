// A raw client's reading of the node's TCP download, one large receive at a
// time as the client reads: the download bytes, and the test command that
// ends them.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <vector>

namespace testing_support {

// What a raw connection read in one stretch: download bytes, whether each of
// them lay in 0x80..0xFE, and the command that ended the stretch, if any.
struct RawStretch {
    uint64_t nDownload = 0;
    bool bDownloadInRange = true;
    int nCommand = -1000;
};

// Whether every byte lies in 0x80..0xFE. Eight bytes at a time: the reader
// must keep up with the download even in a sanitizer's build, or the
// node's pause before a command would not be long enough for it.
inline bool InDownloadRange(const unsigned char* pData, size_t nLength) {
    constexpr uint64_t HIGH = 0x8080808080808080ULL;
    constexpr uint64_t ONES = 0x0101010101010101ULL;
    size_t i = 0;
    for (; i + 8 <= nLength; i += 8) {
        uint64_t nWord;
        std::memcpy(&nWord, pData + i, 8);
        // Every top bit set, and no byte 0xFF (no zero byte in ~nWord).
        if ((nWord & HIGH) != HIGH || ((~nWord - ONES) & nWord & HIGH) != 0) {
            return false;
        }
    }
    for (; i < nLength; ++i) {
        if (pData[i] < 0x80 || pData[i] == 0xFF) {
            return false;
        }
    }
    return true;
}

// Reads as the client does, one large receive at a time, for the given
// time or, with bUntilCommand, until a one-byte receive holds 0..6.
inline RawStretch ReadStretch(int fd, std::chrono::milliseconds duration, bool bUntilCommand) {
    RawStretch stretch;
    std::vector<unsigned char> buffer(131072);
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) != 1) {
            continue;
        }
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        // The node pauses before a command so that it arrives alone; on a
        // loaded machine this reader may still take it with the download's
        // last bytes, which the filler's range tells apart.
        size_t nData = static_cast<size_t>(n);
        if (buffer[nData - 1] <= 6) {
            stretch.nCommand = buffer[--nData];
        }
        stretch.nDownload += nData;
        stretch.bDownloadInRange =
            stretch.bDownloadInRange && InDownloadRange(buffer.data(), nData);
        if (bUntilCommand && stretch.nCommand != -1000) {
            break;
        }
    }
    return stretch;
}

} // namespace testing_support
