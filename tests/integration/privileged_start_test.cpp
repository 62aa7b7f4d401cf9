// bandscope holding the capture capability from its file, started by another
// user, loads no code from folders that user names, neither through the
// environment nor through Qt's own command-line options, and still measures.
#include "tests/support/node_process.h"
#include "tests/support/process.h"
#include "tests/support/test_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/inotify.h>

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(PrivilegedStart, RunsASessionWithoutOpeningTheCallersPluginFolders) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: setcap, another user and the capture";
    CTestFolder folder{"bandscope_privileged"};
    const fs::path program = folder.Path() / "bin" / "bandscope";
    const fs::path user = folder.Path() / "user"; // the caller's own folder
    const fs::path themes = user / "plugins" / "platformthemes";
    const fs::path chart = user / "--chart"; // the value of Qt's option below
    for (const fs::path& dir : {program.parent_path(), themes, chart})
        fs::create_directories(dir);
    fs::copy_file(BANDSCOPE_BINARY_DIR "/app/bandscope", program);
    fs::copy_file(MARK_PLUGIN, themes / "libmark.so");
    fs::copy_file(MARK_PLUGIN, chart / "libmark.so");
    ASSERT_EQ(RunProcess({"setcap", "cap_net_raw+ep", program}, 10s), 0);
    ASSERT_EQ(RunProcess({"chown", "-R", "nobody", user}, 10s), 0);

    // Started by root, the copy gains nothing and Qt reads the environment:
    // each of these variables alone makes it load the plugin.
    const std::vector<std::string> loaders{"QT_PLUGIN_PATH=" + (user / "plugins").string(),
                                           "QT_QPA_PLATFORM_PLUGIN_PATH=" + themes.string()};
    for (const std::string& strLoader : loaders) {
        RunProcess({"env", strLoader, "QT_QPA_PLATFORMTHEME=bandscope-mark", program, "--run",
                    "--node", "127.0.0.1", "--port", "1"},
                   60s);
        EXPECT_TRUE(fs::remove(themes / "mark")) << strLoader << " loaded nothing";
    }

    NodeProcess node;
    ASSERT_TRUE(node.Start({"--bind", "127.0.0.2", "--port", "0"}));
    ASSERT_FALSE(node.WaitReady().empty()) << node.Log();
    const int nWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    for (const fs::path& dir : {user / "plugins", themes, chart})
        ASSERT_GE(::inotify_add_watch(nWatch, dir.c_str(), IN_OPEN | IN_ACCESS), 0);
    std::vector<std::string> args{
        "setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "env", "-C", user};
    args.insert(args.end(), loaders.begin(), loaders.end());
    for (const char* pszLoader :
         {"LD_LIBRARY_PATH", "LIBGL_DRIVERS_PATH", "GTK_PATH", "GIO_EXTRA_MODULES",
          "FONTCONFIG_PATH", "XDG_DATA_DIRS", "TMPDIR"})
        args.push_back(pszLoader + ("=" + (user / "plugins").string()));
    // --save's value is Qt's -platformpluginpath, whose value --chart is a
    // folder here; --chart's value is -platformtheme, whose value is --run.
    args.insert(args.end(),
                {"QT_QPA_PLATFORMTHEME=bandscope-mark", program, "--run", "--node", "127.0.0.2",
                 "--client", "127.0.0.1", "--port", std::to_string(node.Port()), "--tests", "2",
                 "--seconds", "2", "--save", "-platformpluginpath", "--chart", "-platformtheme",
                 "--run"});
    std::string strOut;
    EXPECT_EQ(RunProcess(args, 90s, &strOut), 0) << strOut;
    EXPECT_NE(strOut.find("test 2 TCP - Download test"), std::string::npos) << strOut;
    EXPECT_NE(strOut.find(" 2/2 s "), std::string::npos) << strOut;
    char buffer[4096];
    EXPECT_LE(::read(nWatch, buffer, sizeof buffer), 0) << "a plugin folder was opened";
    ::close(nWatch);
    EXPECT_FALSE(fs::exists(themes / "mark"));
    EXPECT_FALSE(fs::exists(chart / "mark"));
}
