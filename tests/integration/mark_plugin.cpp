// A Qt platform theme plugin that leaves a file "mark" in its own folder the
// moment a program loads it, before Qt asks it for anything.
#include <QObject>
#include <QtPlugin>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>

class CMarkPlugin : public QObject {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformThemeFactoryInterface.5.1" FILE
                          "mark_plugin.json")
};

[[gnu::constructor]] static void LeaveMark() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&LeaveMark), &info) != 0 && info.dli_fname != nullptr)
        std::ofstream(std::filesystem::path(info.dli_fname).parent_path() / "mark") << "loaded\n";
}

#include "mark_plugin.moc"
