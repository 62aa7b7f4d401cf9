// bandscope: the throughput tester's window.
#include "app/main_app.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Bandscope"));
    CMainApp app;
    app.InitInstance();
    return 0;
}
