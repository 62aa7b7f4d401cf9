// CThread: one worker thread running the object's Run. Workers poll m_bRun;
// a stop never kills a thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class CThread {
public:
    // The exit code of a thread that has not ended yet.
    static constexpr uint32_t STILL_ACTIVE = 259;
    // Win32 priority values for SetPriority.
    static constexpr int THREAD_PRIORITY_IDLE = -15;
    static constexpr int THREAD_PRIORITY_NORMAL = 0;

    CThread() = default;
    // Waits for the thread. A derived class stops its thread in its own
    // destructor first, while its members still exist.
    ~CThread();
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Ends any previous thread (releasing it with Unblock and waiting for
    // it), then starts a new one on Run; m_bRun is set before the new thread
    // can first test it. True when the thread started. False when the
    // platform could not make one (nothing runs then), and on the worker's
    // own thread, where it would have to wait for itself: that thread is
    // left running, untouched.
    bool Start();
    // Force false: clears m_bRun and waits for Run to return. Force true:
    // clears m_bRun, releases the call the thread is blocked in (Unblock) and
    // returns at once; the thread is joined by the next Start or Stop(false)
    // or by destruction. On the worker's own thread both only clear m_bRun.
    void Stop(bool bForce);
    // Waits up to nMilliseconds for the thread to end, and reaps it once it
    // has; never blocks longer. True when no thread runs any more (also
    // without a thread); false while it still runs, and always on the
    // worker's own thread. It does not ask the thread to end: a forced Stop
    // does that.
    bool WaitFor(uint32_t nMilliseconds);
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

    // Waits, with m_mtxThread held, until the current thread's Run has
    // returned, then joins it. Clears m_bRun and releases the worker first
    // when bRelease. False when a Start replaced the thread meanwhile.
    bool JoinLocked(std::unique_lock<std::mutex>& lock, bool bRelease);

    // Guards m_thread, m_bAlive and m_nGeneration; m_cvThread announces the
    // end of a Run. Nobody waits for a Run while holding it, so WaitFor keeps
    // its bound while another stop waits.
    mutable std::mutex m_mtxThread;
    std::condition_variable m_cvThread;
    std::thread m_thread;
    bool m_bAlive = false;       // Run has not returned yet
    uint64_t m_nGeneration = 0;  // counts Starts, so a waiter sees a replaced thread
    std::atomic<int> m_nPriority{0};
    std::atomic<int> m_nThreadId{0};
};
