// A QApplication for widget tests, made once before the first test runs and
// kept until the process ends. Include from one source file of a test
// executable. Tests run with QT_QPA_PLATFORM=offscreen (set by CTest).
#pragma once

#include <QApplication>
#include <QDeadlineTimer>
#include <chrono>
#include <gtest/gtest.h>

namespace testing_support {

class CQtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int s_nArgc = 1;
        static char s_szName[] = "bandscope-test";
        static char* s_argv[] = {s_szName, nullptr};
        if (QApplication::instance() == nullptr)
            m_pApplication = new QApplication(s_nArgc, s_argv);
    }
    void TearDown() override {
        delete m_pApplication;
        m_pApplication = nullptr;
    }

private:
    QApplication* m_pApplication = nullptr;
};

inline const bool g_bQtEnvironment =
    (::testing::AddGlobalTestEnvironment(new CQtEnvironment), true);

// Runs the event loop until bDone holds or the time is up; true when it held.
template <class F> bool PumpUntil(F bDone, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!bDone()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// Runs the event loop for a while.
inline void Pump(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

// Counts the events of one type that reach the objects it filters.
class CEventCounter : public QObject {
public:
    explicit CEventCounter(QEvent::Type type) : m_type(type) {}
    int Count() const { return m_nCount; }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override {
        m_nCount += pEvent->type() == m_type;
        return false;
    }

private:
    QEvent::Type m_type;
    int m_nCount = 0;
};

} // namespace testing_support
