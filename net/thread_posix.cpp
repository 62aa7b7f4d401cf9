// Thread priority on Linux: each thread has its own nice value.
#include "net/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

int CThread::CurrentThreadId() {
    return static_cast<int>(::syscall(SYS_gettid));
}

void CThread::ApplyPriority() {
    const int nTid = m_nThreadId;
    if (nTid == 0) {
        return;
    }
    // Win32 levels run from -15 (idle) to 15 (time critical); nice runs the
    // other way, from 19 (lowest) to -20.
    int nNice = -m_nPriority;
    nNice = nNice < -20 ? -20 : (nNice > 19 ? 19 : nNice);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(nTid), nNice); // may be refused: not an error
}
