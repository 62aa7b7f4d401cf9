#include "node/download_thread.h"

#include "node/socket_io.h"

bool CDownloadThread::BeginThread() {
    End();
    m_bFailed = false;
    m_strError.clear();
    m_hWake = NodeIo::CreateWake();
    if (!Start()) {
        End();
        return false;
    }
    return true;
}

void CDownloadThread::End() {
    Stop(true); // wakes the wait
    Join();
    NodeIo::CloseWake(m_hWake);
    m_hWake = INVALID_SOCKET;
}

void CDownloadThread::Unblock() {
    NodeIo::Wake(m_hWake);
}

void CDownloadThread::Fail(const std::string& strWhat) {
    m_strError = strWhat + GetWinsockErrorText();
    m_bFailed.store(true, std::memory_order_release);
}
