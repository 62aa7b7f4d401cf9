#include "net/thread.h"

#include <chrono>

namespace {
// The CThread whose Run this thread executes, for the own-thread checks.
thread_local const CThread* t_pCurrent = nullptr;
} // namespace

CThread::~CThread() {
    Join();
}

bool CThread::IsOwnThread() const {
    return t_pCurrent == this;
}

void CThread::ThreadMain(CThread* pThread) {
    t_pCurrent = pThread;
    pThread->m_nThreadId = CurrentThreadId();
    if (pThread->m_nPriority != 0) {
        pThread->ApplyPriority();
    }
    pThread->Run();
    std::lock_guard lock(pThread->m_mtxThread);
    pThread->m_bAlive = false;
    pThread->m_cvThread.notify_all();
}

bool CThread::JoinLocked(std::unique_lock<std::mutex>& lock, bool bRelease) {
    const uint64_t nGeneration = m_nGeneration;
    if (bRelease && m_bAlive) {
        m_bRun = false;
        Unblock();
    }
    m_cvThread.wait(lock, [&] { return !m_bAlive || m_nGeneration != nGeneration; });
    if (m_nGeneration != nGeneration) {
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join(); // Run has returned: the thread is only leaving
    }
    return true;
}

bool CThread::Start() {
    if (IsOwnThread()) {
        return false;
    }
    std::unique_lock lock(m_mtxThread);
    while (m_thread.joinable()) {
        JoinLocked(lock, true); // again when another Start got in first
    }
    m_bRun = true;
    m_bAlive = true;
    ++m_nGeneration;
    try {
        m_thread = std::thread(&CThread::ThreadMain, this);
    } catch (const std::system_error&) {
        m_bRun = false;
        m_bAlive = false;
        return false;
    }
    return true;
}

bool CThread::WaitFor(uint32_t nMilliseconds) {
    if (IsOwnThread()) {
        return false;
    }
    std::unique_lock lock(m_mtxThread);
    if (!m_cvThread.wait_for(lock, std::chrono::milliseconds(nMilliseconds),
                             [this] { return !m_bAlive; })) {
        return false;
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    return true;
}

void CThread::Stop(bool bForce) {
    m_bRun = false;
    if (IsOwnThread()) {
        return;
    }
    if (bForce) {
        Unblock();
        return;
    }
    Join();
}

void CThread::Join() {
    m_bRun = false;
    if (IsOwnThread()) {
        return;
    }
    std::unique_lock lock(m_mtxThread);
    JoinLocked(lock, false);
}

void CThread::Terminate(bool bForce) {
    if (GetExitCode() == 0) {
        return;
    }
    Stop(bForce);
}

uint32_t CThread::GetExitCode() const {
    std::lock_guard lock(m_mtxThread);
    return m_bAlive ? STILL_ACTIVE : 0;
}

void CThread::Sleep(uint32_t nMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds));
}

void CThread::SetPriority(int nPriority) {
    m_nPriority = nPriority;
    if (GetExitCode() == STILL_ACTIVE) {
        ApplyPriority();
    }
}
