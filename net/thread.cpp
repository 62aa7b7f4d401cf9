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
    std::lock_guard lock(pThread->m_mtxAlive);
    pThread->m_bAlive = false;
    pThread->m_cvEnded.notify_all();
}

bool CThread::Start() {
    if (IsOwnThread()) {
        return false;
    }
    std::lock_guard lock(m_mtxThread);
    if (m_thread.joinable()) {
        m_bRun = false;
        Unblock();
        m_thread.join();
    }
    m_bRun = true;
    m_bAlive = true;
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
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(nMilliseconds);
    // A waiting stop or a Start may hold the thread for longer than the
    // bound: try for it instead of waiting for it.
    std::unique_lock lock(m_mtxThread, std::defer_lock);
    while (!lock.try_lock()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!m_thread.joinable()) {
        return true;
    }
    {
        std::unique_lock alive(m_mtxAlive);
        if (!m_cvEnded.wait_until(alive, deadline, [this] { return !m_bAlive; })) {
            return false;
        }
    }
    m_thread.join(); // Run has returned: the thread is only leaving
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
    std::lock_guard lock(m_mtxThread);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void CThread::Terminate(bool bForce) {
    if (GetExitCode() == 0) {
        return;
    }
    Stop(bForce);
}

uint32_t CThread::GetExitCode() const {
    return m_bAlive ? STILL_ACTIVE : 0;
}

void CThread::Sleep(uint32_t nMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(nMilliseconds));
}

void CThread::SetPriority(int nPriority) {
    m_nPriority = nPriority;
    if (m_bAlive) {
        ApplyPriority();
    }
}
