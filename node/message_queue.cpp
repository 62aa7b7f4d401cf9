#include "node/message_queue.h"

using EKind = CControlParser::EKind;

void CMessageQueue::OnEvent(const SEvent& event) {
    if (event.eKind == EKind::Unknown) {
        m_nUnknown += static_cast<uint64_t>(event.nValue);
        return;
    }
    if (m_nWaiting > 0 && m_waiting[m_nWaiting - 1].eKind == EKind::SessionEnd) {
        return; // the session ends there
    }
    if (event.eKind == EKind::TestRequest) {
        for (size_t i = 0; i < m_nWaiting; ++i) {
            if (m_waiting[i].eKind == EKind::TestRequest) {
                Remove(i);
                // Starts on both sides of it are now in a row: the later holds.
                if (i > 0 && i < m_nWaiting && m_waiting[i].eKind == EKind::SessionStart) {
                    Remove(i - 1);
                }
                break;
            }
        }
    } else if (event.eKind == EKind::SessionStart && m_nWaiting > 0 &&
               m_waiting[m_nWaiting - 1].eKind == EKind::SessionStart) {
        m_waiting[m_nWaiting - 1] = event;
        return;
    }
    m_waiting[m_nWaiting++] = event;
}

bool CMessageQueue::Take(SEvent& event) {
    if (m_nWaiting == 0) {
        return false;
    }
    event = m_waiting[0];
    Remove(0);
    return true;
}

uint64_t CMessageQueue::TakeUnknownBytes() {
    const uint64_t nUnknown = m_nUnknown;
    m_nUnknown = 0;
    return nUnknown;
}

void CMessageQueue::Remove(size_t nAt) {
    for (size_t i = nAt; i + 1 < m_nWaiting; ++i) {
        m_waiting[i] = m_waiting[i + 1];
    }
    --m_nWaiting;
}
