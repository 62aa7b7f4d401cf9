// CThread: one worker thread running the object's Run. Workers poll m_bRun;
// a stop never kills a thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class CThread {
public:
    // The exit code of a thread that has not ended yet.
    static constexpr uint32_t STILL_ACTIVE = 259;

    CThread() = default;
    // Waits for the thread. A derived class stops its thread in its own
    // destructor first, while its members still exist.
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Ends any previous thread (waiting for it), then starts a new one on Run.
    // m_bRun is set before the new thread can first test it.
    void Start();
    // Force false: clears m_bRun and waits for Run to return. Force true:
    // clears m_bRun, releases the call the thread is blocked in (Unblock) and
    // returns at once; the thread is joined by the next Start or Stop(false)
    // or by destruction. On the worker's own thread both only clear m_bRun.
    void Stop(bool bForce);
    // Force true: a forced stop of a live thread. Force false: asks the thread
    // to end at its next test of m_bRun. Nothing is done to an ended thread.
    void Terminate(bool bForce);
    // Threads cannot be frozen safely here: only the flag is kept, for the
    // worker to honour if it wishes.
    void Suspend() { m_bSuspended = true; }
    void Resume() { m_bSuspended = false; }
    // Win32 priority values (-15..15), applied as the thread's nice value.
    void SetPriority(int nPriority);
    // STILL_ACTIVE while the thread runs, 0 once Run has returned or without a thread.
    uint32_t GetExitCode() const;
    static void Sleep(uint32_t nMilliseconds);

    bool IsRunning() const { return m_bRun; }
    bool IsSuspended() const { return m_bSuspended; }
    // True on the thread that this object runs.
    bool IsOwnThread() const;

protected:
    virtual void Run() {}
    // Called by a forced stop from another thread: release whatever blocking
    // call Run is in (close a socket, for instance). Must not block.
    virtual void Unblock() {}
    // The waiting stop that derived destructors call first.
    void Join();

    std::atomic<bool> m_bRun{false};
    std::atomic<bool> m_bSuspended{false};

private:
    static void ThreadMain(CThread* pThread);
    void ApplyPriority();
    static int CurrentThreadId();

    std::mutex m_mtxThread; // guards m_thread against concurrent Start/Stop
    std::thread m_thread;
    std::atomic<bool> m_bAlive{false};
    std::atomic<int> m_nPriority{0};
    std::atomic<int> m_nThreadId{0};
};
