// The command line of a run without a window:
//   bandscope --run --node ADDRESS-OR-NAME [--client ADDRESS] [--port N]
//             [--seconds N] [--tests 1,2,...] [--save FILE.xml] [--chart FILE.png]
//             [--json FILE|-] [--no-latency]
// The values are typed into the window's own fields as a user would type
// them, so every rule of the window holds.
#pragma once

#include <string>
#include <vector>

struct CRunOptions {
    std::string strNode;
    std::string strClient; // empty: the local address that routes to the node
    std::string strPort = "20000";
    std::string strSeconds = "30";
    std::vector<int> tests{1, 2, 3, 4, 5, 6};
    std::string strSave;
    std::string strChart;
    std::string strJson; // "-": standard output
    bool bLatency = true;
};

enum class RunCommand {
    Window,  // no arguments
    Run,     // --run with valid options
    Help,    // --help
    Version, // --version: name and version on one line
    Usage,   // anything else: the usage and exit code 2
};

// Reads the arguments after the program name. For Usage, strError says what
// was wrong.
RunCommand ParseRunOptions(const std::vector<std::string>& args, CRunOptions& options,
                           std::string& strError);

// The usage text, ending in a line feed.
std::string RunUsage();
