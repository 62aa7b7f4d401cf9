#include "app/ui_queue.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

int CUiQueue::OpenWake() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void CUiQueue::SignalWake(int hWake) {
    const uint64_t nOne = 1;
    // A full counter is still signalled; nothing is lost.
    [[maybe_unused]] const ssize_t n = ::write(hWake, &nOne, sizeof nOne);
}

void CUiQueue::ClearWake(int hWake) {
    uint64_t nCount = 0;
    [[maybe_unused]] const ssize_t n = ::read(hWake, &nCount, sizeof nCount);
}

void CUiQueue::CloseWake(int hWake) {
    if (hWake >= 0)
        ::close(hWake);
}
