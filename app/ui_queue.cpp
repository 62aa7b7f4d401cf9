#include "app/ui_queue.h"

#include <QSocketNotifier>

CUiQueue::CUiQueue(QObject* pParent)
    : m_hWake(OpenWake()),
      m_pNotifier(new QSocketNotifier(m_hWake, QSocketNotifier::Read, pParent)) {
    QObject::connect(m_pNotifier, &QSocketNotifier::activated, [this] { RunPosted(); });
}

CUiQueue::~CUiQueue() {
    delete m_pNotifier;
    CloseWake(m_hWake);
}

void CUiQueue::Post(std::function<void()> fnWork) {
    {
        std::lock_guard lock(m_mtxQueue);
        m_queue.push_back(std::move(fnWork));
    }
    SignalWake(m_hWake);
}

void CUiQueue::RunPosted() {
    ClearWake(m_hWake);
    // One at a time: work that runs an event loop of its own (a message box)
    // may come back here, and what was posted still runs in order.
    for (;;) {
        std::function<void()> fnWork;
        {
            std::lock_guard lock(m_mtxQueue);
            if (m_queue.empty())
                return;
            fnWork = std::move(m_queue.front());
            m_queue.pop_front();
        }
        fnWork();
    }
}
