// CUiQueue: work that worker threads hand to the user-interface thread, run
// there in the order it was handed over. A mutex guards the queue and a
// descriptor wakes the UI thread's event loop, so the hand-over is plain to
// the thread sanitizer (Qt's own cross-thread posting, in a library built
// without it, is not).
#pragma once

#include <deque>
#include <functional>
#include <mutex>

class QObject;
class QSocketNotifier;

class CUiQueue {
public:
    // Made on the user-interface thread, whose event loop runs the work.
    explicit CUiQueue(QObject* pParent);
    ~CUiQueue();
    CUiQueue(const CUiQueue&) = delete;
    CUiQueue& operator=(const CUiQueue&) = delete;

    // From any thread.
    void Post(std::function<void()> fnWork);

private:
    void RunPosted();

    // Platform calls (ui_queue_posix.cpp): a descriptor that can be
    // signalled from any thread and read once signalled.
    static int OpenWake();
    static void SignalWake(int hWake);
    static void ClearWake(int hWake);
    static void CloseWake(int hWake);

    std::mutex m_mtxQueue; // guards m_queue
    std::deque<std::function<void()>> m_queue;
    const int m_hWake;
    QSocketNotifier* m_pNotifier;
};
