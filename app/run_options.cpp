#include "app/run_options.h"

#include "net/test_kinds.h"

#include <algorithm>
#include <sstream>

namespace {

bool IsNumber(const std::string& strText) {
    return !strText.empty() &&
           std::all_of(strText.begin(), strText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "1,3,5": each test 1..6 once; the session runs them in ascending order.
bool ParseTests(const std::string& strText, std::vector<int>& tests) {
    tests.clear();
    std::istringstream items(strText);
    std::string strItem;
    while (std::getline(items, strItem, ',')) {
        const int nTest = strItem.size() == 1 ? strItem[0] - '0' : 0;
        if (!IsTest(nTest) || std::find(tests.begin(), tests.end(), nTest) != tests.end())
            return false;
        tests.push_back(nTest);
    }
    return !tests.empty() && strText.back() != ',';
}

} // namespace

std::string RunUsage() {
    return "usage: bandscope                 the window\n"
           "       bandscope --run --node ADDRESS-OR-NAME [--client ADDRESS] [--port N]\n"
           "                 [--seconds N] [--tests 1,2,3,4,5,6] [--save FILE.xml]\n"
           "                 [--chart FILE.png] [--json FILE] [--no-latency]\n"
           "       bandscope --version\n"
           "\n"
           "--run runs one session without a window against bandscope-node and prints\n"
           "one line per second and a table per test. Defaults are the window's: port\n"
           "20000, 30 seconds per test, all six tests, and as the client the local\n"
           "address that routes to the node. Tests: 1 TCP upload, 2 TCP download,\n"
           "3 TCP both ways, 4 UDP upload, 5 UDP download, 6 UDP both ways.\n"
           "--save writes the results file, --chart a PNG of the seven charts.\n"
           "Each second also shows the round trip to the node (ICMP echo, ten a\n"
           "second, from one second before the first test; --no-latency leaves it\n"
           "out), the retransmissions of TCP upload tests and the lost datagrams of\n"
           "UDP download tests; the table adds idle and loaded latency, loss and jitter.\n"
           "--json writes all of it as one JSON document at the end (- for standard\n"
           "output, which then carries nothing else).\n"
           "Ctrl+C ends the session as Stop does and still writes every file.\n"
           "Exit code: 0 every test ran its seconds, 1 one did not or the session\n"
           "failed (the reason on standard error), 2 usage, 130 ended by Ctrl+C.\n";
}

RunCommand ParseRunOptions(const std::vector<std::string>& args, CRunOptions& options,
                           std::string& strError) {
    if (args.empty())
        return RunCommand::Window;
    bool bRun = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strName = args[i];
        if (strName == "--help" || strName == "-h")
            return RunCommand::Help;
        if (strName == "--version")
            return RunCommand::Version;
        if (strName == "--run") {
            bRun = true;
            continue;
        }
        if (strName == "--no-latency") {
            options.bLatency = false;
            continue;
        }
        if (i + 1 >= args.size()) {
            strError =
                strName + (strName.rfind("--", 0) == 0 ? " needs a value" : ": not an option");
            return RunCommand::Usage;
        }
        const std::string& strValue = args[++i];
        if (strName == "--node") {
            options.strNode = strValue;
        } else if (strName == "--client") {
            options.strClient = strValue;
        } else if (strName == "--port" || strName == "--seconds") {
            if (!IsNumber(strValue)) {
                strError = strName + " needs a number, not '" + strValue + "'";
                return RunCommand::Usage;
            }
            (strName == "--port" ? options.strPort : options.strSeconds) = strValue;
        } else if (strName == "--tests") {
            if (!ParseTests(strValue, options.tests)) {
                strError =
                    "--tests needs test numbers 1 to 6 separated by commas, not '" + strValue + "'";
                return RunCommand::Usage;
            }
        } else if (strName == "--save") {
            options.strSave = strValue;
        } else if (strName == "--chart") {
            options.strChart = strValue;
        } else if (strName == "--json") {
            options.strJson = strValue;
        } else {
            strError = strName + ": not an option";
            return RunCommand::Usage;
        }
    }
    if (!bRun) {
        strError = "options need --run";
        return RunCommand::Usage;
    }
    if (options.strNode.empty()) {
        strError = "--run needs --node";
        return RunCommand::Usage;
    }
    return RunCommand::Run;
}
