// CStampClock: the kernel stamps captured packets and received datagrams on
// the real-time clock, while the meter's periods and every wait here run on
// the steady clock, which setting the date does not move. A stamp is carried
// over by the two clocks' difference, taken afresh before each batch, so that
// a clock set or slewed meanwhile shifts at most that one batch.
#pragma once

#include <chrono>
#include <cstdint>

class CStampClock {
public:
    using Clock = std::chrono::steady_clock;

    // A stamp can lie a little after the difference was taken (the batch
    // goes on filling), never far: one further ahead came from before the
    // real-time clock was set back, and is taken as this much after.
    static constexpr std::chrono::milliseconds MAX_AHEAD{100};

    // Takes the clocks' difference now; before each batch of stamps.
    void Sync() {
        const auto real = std::chrono::system_clock::now();
        m_synced = Clock::now();
        m_offset = std::chrono::duration_cast<Clock::duration>(real.time_since_epoch()) -
                   m_synced.time_since_epoch();
    }

    // The steady time of a real-time stamp.
    Clock::time_point ToSteady(int64_t nSeconds, int64_t nNanoseconds) const {
        const auto real = std::chrono::duration_cast<Clock::duration>(
            std::chrono::seconds(nSeconds) + std::chrono::nanoseconds(nNanoseconds));
        const Clock::time_point steady(real - m_offset);
        return steady < m_synced + MAX_AHEAD ? steady : m_synced + MAX_AHEAD;
    }

    // When Sync last ran.
    Clock::time_point Synced() const { return m_synced; }

private:
    Clock::time_point m_synced;
    Clock::duration m_offset{0}; // real time less steady time
};
