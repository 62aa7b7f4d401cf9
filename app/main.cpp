// bandscope: the throughput tester. Without arguments the window; with --run
// one session without a window (see run_options.h).
#include "app/environment.h"
#include "app/headless_run.h"
#include "app/main_app.h"
#include "app/run_options.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    // Holding the capture capability, the program takes nothing from its
    // caller that could make it load code.
    if (IsPrivilegedStart()) {
        KeepSafeEnvironment();
        // No platform theme, so no other toolkit with its own modules and
        // settings, whatever desktop the session names.
        QGuiApplication::setDesktopSettingsAware(false);
    }
    CRunOptions options;
    std::string strError;
    const RunCommand command =
        ParseRunOptions(std::vector<std::string>(argv + 1, argv + argc), options, strError);
    // Qt takes options of its own from a command line (a plugin folder among
    // them); the program's options are all it has, so Qt sees none.
    int nQtArgc = 1;
    switch (command) {
    case RunCommand::Help:
        std::fputs(RunUsage().c_str(), stdout);
        return 0;
    case RunCommand::Version:
        std::printf("bandscope %s\n", BANDSCOPE_VERSION);
        return 0;
    case RunCommand::Usage:
        std::fprintf(stderr, "bandscope: %s\n%s", strError.c_str(), RunUsage().c_str());
        return 2;
    case RunCommand::Run: {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The output is the run's own: Qt's notes about the desktop it lacks stay out.
        qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString& strText) {
                if (type == QtCriticalMsg || type == QtFatalMsg)
                    std::fprintf(stderr, "%s\n", qPrintable(strText));
            });
        QApplication application(nQtArgc, argv);
        return RunHeadless(options);
    }
    case RunCommand::Window:
        break;
    }
    QApplication application(nQtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Bandscope"));
    CMainApp app;
    app.InitInstance();
    return 0;
}
