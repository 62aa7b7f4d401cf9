// bandscope-node: the peer program that Bandscope measures against.
#include "node/node_log.h"
#include "node/node_options.h"
#include "node/node_server.h"
#include "node/socket_io.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    NodeIo::ReserveStandardDescriptors();
    CNodeOptions options;
    std::string strError;
    if (!options.Parse(std::vector<std::string>(argv + 1, argv + argc), strError)) {
        std::fprintf(stderr, "bandscope-node: %s\n", strError.c_str());
        return 1;
    }
    if (options.bHelp) {
        std::fputs(CNodeOptions::HelpText().c_str(), stdout);
        return 0;
    }
    if (options.bVersion) {
        std::printf("bandscope-node %s\n", BANDSCOPE_VERSION);
        return 0;
    }
    const SOCKET hStop = NodeIo::InstallStopSignals();
    if (hStop == INVALID_SOCKET) {
        std::fprintf(stderr, "bandscope-node: cannot set up the stop signals\n");
        return 1;
    }
    CNodeLog log;
    CNodeServer server(options, log);
    if (!server.Open(strError)) {
        std::fprintf(stderr, "bandscope-node: %s\n", strError.c_str());
        return 1;
    }
    std::printf("bandscope-node listening on %s\n", server.GetListenText().c_str());
    std::fflush(stdout);
    return server.Serve(hStop);
}
