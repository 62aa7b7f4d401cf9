// CThread on real threads: one thread per object, stops that never hang, and
// a forced stop that releases the worker instead of killing it.
#include "net/client.h"
#include "net/client_udp.h"
#include "net/packet.h"
#include "net/thread.h"
#include "net/traffic_meter.h"
#include "net/traffic_sender.h"
#include "tests/support/loopback.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <pthread.h>

using namespace std::chrono_literals;
using namespace testing_support;

namespace {

// Counts passes and live threads; Run loops on m_bRun.
class CCountingThread : public CThread {
public:
    ~CCountingThread() { Join(); }
    std::atomic<int> m_nLive{0};
    std::atomic<int> m_nMaxLive{0};
    std::atomic<int> m_nStarts{0};
    std::atomic<bool> m_bSawRunAtFirstTest{false};

protected:
    void Run() override {
        const int nLive = ++m_nLive;
        int nMax = m_nMaxLive;
        while (nLive > nMax && !m_nMaxLive.compare_exchange_weak(nMax, nLive)) {
        }
        ++m_nStarts;
        m_bSawRunAtFirstTest = m_bRun.load();
        while (m_bRun) {
            std::this_thread::sleep_for(1ms);
        }
        --m_nLive;
    }
};

// Blocks until released, as a worker blocked in a socket call does.
class CBlockedThread : public CThread {
public:
    ~CBlockedThread() { Join(); }
    std::atomic<bool> m_bEnded{false};
    std::atomic<bool> m_bEntered{false};

protected:
    void Run() override {
        m_bEntered = true;
        std::unique_lock lock(m_mtx);
        m_cv.wait(lock, [this] { return m_bReleased; });
        m_bEnded = true;
    }
    void Unblock() override {
        std::lock_guard lock(m_mtx);
        m_bReleased = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_bReleased = false;
};

TEST(Thread, StopOnAnIdleObjectDoesNothing) {
    CCountingThread thread;
    thread.Stop(false);
    thread.Stop(true);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(thread.GetExitCode(), 0u);
    EXPECT_EQ(thread.m_nStarts, 0);
}

TEST(Thread, RunFindsTheFlagSetAndStartOnARunningObjectLeavesOneThread) {
    CCountingThread thread;
    thread.Start();
    ASSERT_TRUE(WaitUntil([&] { return thread.m_nStarts == 1; }));
    EXPECT_TRUE(thread.m_bSawRunAtFirstTest);
    EXPECT_EQ(thread.GetExitCode(), CThread::STILL_ACTIVE);
    for (int i = 0; i < 5; ++i) {
        thread.Start();
    }
    ASSERT_TRUE(WaitUntil([&] { return thread.m_nStarts == 6; }));
    EXPECT_EQ(thread.m_nMaxLive, 1);
    EXPECT_EQ(thread.m_nLive, 1);
    thread.Stop(false);
    EXPECT_EQ(thread.m_nLive, 0);
    EXPECT_EQ(thread.GetExitCode(), 0u);
}

TEST(Thread, ForcedStopReturnsWithoutWaitingAndReleasesTheBlockedWorker) {
    // Once released, the worker stays until the test lets it go: a forced
    // stop that waited for the thread could not return before that.
    std::promise<void> leave;
    class CLingering : public CBlockedThread {
    public:
        explicit CLingering(std::shared_future<void> leave) : m_leave(std::move(leave)) {}
        std::atomic<bool> m_bLeft{false};

    protected:
        void Run() override {
            CBlockedThread::Run();
            m_leave.wait();
            m_bLeft = true;
        }

    private:
        std::shared_future<void> m_leave;
    } thread(leave.get_future().share());
    thread.Start();
    EXPECT_TRUE(WaitUntil([&] { return thread.m_bEntered.load(); }));
    auto stopping = std::async(std::launch::async, [&] { thread.Stop(true); });
    EXPECT_EQ(stopping.wait_for(10s), std::future_status::ready) << "it waited for the thread";
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_TRUE(WaitUntil([&] { return thread.m_bEnded.load(); })) << "the worker was not released";
    EXPECT_FALSE(thread.m_bLeft);
    leave.set_value();
    EXPECT_TRUE(thread.WaitFor(10000));
    EXPECT_TRUE(thread.m_bLeft);
}

TEST(Thread, DestructionWaitsForTheThread) {
    std::atomic<bool> bEnded{false};
    class CSlowThread : public CThread {
    public:
        explicit CSlowThread(std::atomic<bool>& bEnded) : m_bEnded(bEnded) {}
        ~CSlowThread() { Join(); }

    protected:
        void Run() override {
            while (m_bRun) {
                std::this_thread::sleep_for(1ms);
            }
            std::this_thread::sleep_for(50ms); // finishing the current pass
            m_bEnded = true;
        }

    private:
        std::atomic<bool>& m_bEnded;
    };
    {
        CSlowThread thread(bEnded);
        thread.Start();
    }
    EXPECT_TRUE(bEnded);
}

TEST(Thread, StopOnTheWorkersOwnThreadOnlyClearsTheFlag) {
    class CSelfStopping : public CThread {
    public:
        ~CSelfStopping() { Join(); }
        std::atomic<bool> m_bReturned{false};

    protected:
        void Run() override {
            Stop(false); // would wait for itself if it joined
            Stop(true);
            m_bReturned = !m_bRun;
        }
    } thread;
    thread.Start();
    EXPECT_TRUE(WaitUntil([&] { return thread.m_bReturned.load(); }));
}

TEST(Thread, OfferedOperationsHaveSafeMeanings) {
    CCountingThread thread;
    thread.Resume();
    EXPECT_FALSE(thread.IsSuspended());
    thread.Suspend();
    EXPECT_TRUE(thread.IsSuspended());
    thread.Resume();
    EXPECT_FALSE(thread.IsSuspended());

    thread.Terminate(true); // no thread: nothing to do
    thread.Start();
    ASSERT_TRUE(WaitUntil([&] { return thread.m_nStarts == 1; }));
    thread.SetPriority(-1);
    thread.Terminate(false);
    EXPECT_TRUE(WaitUntil([&] { return thread.GetExitCode() == 0; }));

    const auto start = std::chrono::steady_clock::now();
    CThread::Sleep(20);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
}

TEST(Thread, StartOnTheWorkersOwnThreadIsRefusedAndWaitForKeepsItsBound) {
    // Run tries to start itself again, then blocks until released.
    class CRestarting : public CBlockedThread {
    public:
        std::atomic<int> m_nRuns{0};
        std::atomic<int> m_nRestarted{-1};

    protected:
        void Run() override {
            ++m_nRuns;
            m_nRestarted = Start() || WaitFor(10); // both refuse here
            CBlockedThread::Run();
        }
    } thread;
    EXPECT_TRUE(thread.WaitFor(0)) << "no thread: nothing to wait for";
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitUntil([&] { return thread.m_bEntered.load(); }));
    EXPECT_EQ(thread.m_nRestarted, 0);
    EXPECT_TRUE(thread.IsRunning()) << "the refused Start touched the running thread";
    EXPECT_EQ(thread.m_nRuns, 1);

    // A thread that does not end: WaitFor gives up on time, also while a
    // waiting stop on another thread holds the thread.
    auto stopping = std::async(std::launch::async, [&] { thread.Stop(false); });
    EXPECT_EQ(stopping.wait_for(50ms), std::future_status::timeout);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(thread.WaitFor(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    thread.Stop(true); // releases the worker, and with it the waiting stop
    EXPECT_EQ(stopping.wait_for(2s), std::future_status::ready);
    EXPECT_TRUE(thread.WaitFor(1000));
    EXPECT_TRUE(thread.m_bEnded);
}

// While it lives, no thread can be made: a new thread's stack would be
// larger than the address space.
class CNoNewThreads {
public:
    CNoNewThreads() {
        pthread_getattr_default_np(&m_old);
        pthread_attr_t attr;
        pthread_getattr_default_np(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 50);
        m_bSet = pthread_setattr_default_np(&attr) == 0;
        pthread_attr_destroy(&attr);
    }
    ~CNoNewThreads() {
        pthread_setattr_default_np(&m_old);
        pthread_attr_destroy(&m_old);
    }
    bool m_bSet = false;

private:
    pthread_attr_t m_old;
};

void OnNodeBytes(const char*, int32_t) {}
void OnDatagram(const char*, int32_t, const std::string&, uint16_t, CClientUDP::Clock::time_point) {
}
void OnPacket(const char*, int32_t, CPacket::Clock::time_point) {}
void OnRate(int32_t, float, float) {}

TEST(Thread, EveryOwnerReportsAThreadThatCouldNotBeMadeAndLeavesNothingOpen) {
    const std::string strNoThread = "WSAEPROCLIM\nToo many processes";
    TcpListener listener;
    CClient client(OnNodeBytes);
    CClientUDP clientUdp(OnDatagram);
    CPacket packet(OnPacket);
    CTrafficMeter meter(OnRate);
    CTrafficSender sender(&client, &clientUdp);
    const size_t nDescriptors = CountEntries("/proc/self/fd");
    int peer = -1;
    {
        CNoNewThreads noThreads;
        ASSERT_TRUE(noThreads.m_bSet);
        EXPECT_FALSE(client.Connect("127.0.0.1", listener.Port()));
        EXPECT_EQ(client.GetErrorText(), strNoThread);
        peer = listener.Accept();
        EXPECT_EQ(ReadBytes(peer, 1, 2s), "") << "the connection was left open";
        EXPECT_FALSE(clientUdp.Open("127.0.0.1", 0));
        EXPECT_EQ(clientUdp.GetErrorText(), strNoThread);
        if (geteuid() == 0) { // capturing needs the privilege
            EXPECT_FALSE(packet.Open("127.0.0.1", 0));
            EXPECT_EQ(packet.GetErrorText(), strNoThread);
        }
        EXPECT_FALSE(meter.Start(CTrafficMeter::DEFAULT_PERIOD, nullptr));
        EXPECT_FALSE(sender.Start(true, "", 0));
        EXPECT_FALSE(client.IsConnected() || clientUdp.IsOpen() || meter.IsRunning() ||
                     sender.IsRunning());
    }
    close(peer);
    EXPECT_EQ(CountEntries("/proc/self/fd"), nDescriptors) << "a descriptor was left open";
}

} // namespace
