// CMessageQueue: the client's messages that wait while the session is busy
// answering one, held in a fixed space whatever the client sends. A newer
// request overtakes a waiting one (only the latest is answered), session
// starts in a row keep the latest seconds, nothing after the session end
// counts, and bytes that are no message are only counted.
#pragma once

#include "node/control_parser.h"

#include <array>
#include <cstddef>
#include <cstdint>

class CMessageQueue final : public CControlParser::IEventSink {
public:
    using SEvent = CControlParser::SEvent;

    void OnEvent(const SEvent& event) override;
    // The oldest waiting message; false when none waits.
    bool Take(SEvent& event);
    // Bytes that were no message, since the last call.
    uint64_t TakeUnknownBytes();
    void Clear() { m_nWaiting = 0; }

private:
    void Remove(size_t nAt);

    // At most: a start, a request, a start, the end.
    std::array<SEvent, 4> m_waiting{};
    size_t m_nWaiting = 0;
    uint64_t m_nUnknown = 0;
};
