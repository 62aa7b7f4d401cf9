// A QApplication for widget tests, made once before the first test runs and
// kept until the process ends. Include from one source file of a test
// executable. Tests run with QT_QPA_PLATFORM=offscreen (set by CTest).
#pragma once

#include <QApplication>
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

} // namespace testing_support
