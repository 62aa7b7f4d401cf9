// bandscope --run as a script runs it: the real program against the real node
// on loopback, its exit codes, its files, and Ctrl+C. And the manual the
// build lays out next to the program.
#include "results/xml_parser.h"
#include "tests/support/loopback.h"
#include "tests/support/node_process.h"
#include "tests/support/process.h"
#include "tests/support/test_folder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>

using namespace testing_support;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::string ProgramBinary() {
    return BANDSCOPE_BINARY_DIR "/app/bandscope";
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The program with its output and errors in files of the test's folder.
class RunningProgram {
public:
    RunningProgram(const fs::path& dir, const std::vector<std::string>& args)
        : m_out(dir / "stdout.txt"), m_err(dir / "stderr.txt") {
        const int nOut = ::open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int nErr = ::open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<std::string> argv{ProgramBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        m_pid = SpawnProcess(argv, nOut, nErr);
        ::close(nOut);
        ::close(nErr);
    }
    ~RunningProgram() { KillProcess(m_pid); }

    int Wait(std::chrono::milliseconds timeout) {
        const std::optional<int> code = WaitProcess(m_pid, timeout);
        if (code)
            m_pid = -1;
        return code.value_or(-999);
    }
    void Signal(int nSignal) { ::kill(m_pid, nSignal); }
    std::string Out() const { return ReadFile(m_out); }
    std::string Err() const { return ReadFile(m_err); }

private:
    fs::path m_out;
    fs::path m_err;
    pid_t m_pid = -1;
};

class HeadlessRunTest : public ::testing::Test {
protected:
    // A node on 127.0.0.2 with a free port pair; the client is 127.0.0.1.
    void StartNode(const std::vector<std::string>& extra = {}) {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the run captures packets";
        std::vector<std::string> args{"--bind", "127.0.0.2", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_node.Start(args));
        ASSERT_FALSE(m_node.WaitReady().empty()) << m_node.Log();
    }
    std::vector<std::string> RunArgs(const std::string& strPort) const {
        return {"--run", "--node", "127.0.0.2", "--client", "127.0.0.1", "--port", strPort};
    }

    CTestFolder m_folder{"bandscope_run"};
    const fs::path& m_dir = m_folder.Path();
    NodeProcess m_node;
};

TEST_F(HeadlessRunTest, TwoTestsWriteAResultsFileAndAChartThatLoadBack) {
    StartNode();
    std::vector<std::string> args = RunArgs(std::to_string(m_node.Port()));
    const fs::path xml = m_dir / "results.xml";
    const fs::path png = m_dir / "results.png";
    args.insert(args.end(), {"--seconds", "2", "--tests", "5,1", "--save", xml.string(), "--chart",
                             png.string()});
    RunningProgram program(m_dir, args);
    ASSERT_EQ(program.Wait(60s), 0) << program.Out() << program.Err();
    const std::string strOut = program.Out();
    // A line per stored second, in ascending test order, then the table.
    const size_t nTest1 = strOut.find("test 1 TCP - Upload test");
    const size_t nTest5 = strOut.find("test 5 UDP - Download test");
    ASSERT_NE(nTest1, std::string::npos) << strOut;
    ASSERT_NE(nTest5, std::string::npos) << strOut;
    EXPECT_LT(nTest1, nTest5);
    EXPECT_NE(strOut.find(" 2/2 s ", nTest1), std::string::npos) << strOut;
    EXPECT_NE(strOut.find(" 2/2 s ", nTest5), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("\n5 UDP - Download test              2 "), std::string::npos) << strOut;
    EXPECT_NE(strOut.find("capture: "), std::string::npos) << strOut;

    CXmlParser parser;
    TestResults results;
    ASSERT_TRUE(parser.ReadResultsFile(xml.string(), results)) << parser.GetErrorText();
    EXPECT_EQ(results[1].upload.size(), 2u);
    EXPECT_EQ(results[5].download.size(), 2u);
    EXPECT_TRUE(results[2].download.empty());
    EXPECT_EQ(results[0].download.size(), 2u); // the averages, as the window had them
    EXPECT_GT(results[1].max, 1000);

    // A PNG of the seven charts of 600 x 400 side by side.
    const std::string strPng = ReadFile(png);
    ASSERT_GE(strPng.size(), 24u);
    EXPECT_EQ(strPng.substr(1, 3), "PNG");
    const auto BigEndian = [&](size_t n) {
        return (static_cast<uint8_t>(strPng[n]) << 24) |
               (static_cast<uint8_t>(strPng[n + 1]) << 16) |
               (static_cast<uint8_t>(strPng[n + 2]) << 8) | static_cast<uint8_t>(strPng[n + 3]);
    };
    EXPECT_EQ(BigEndian(16), 7 * 600);
    EXPECT_EQ(BigEndian(20), 400);
}

TEST_F(HeadlessRunTest, JsonHoldsTheSavedRatesWithLatencyTcpAndUdpFigures) {
    // Paced, so that the client keeps up even on a busy machine and loopback
    // loses nothing.
    StartNode({"--udp-rate", "40"});
    std::vector<std::string> args = RunArgs(std::to_string(m_node.Port()));
    const fs::path xml = m_dir / "results.xml";
    args.insert(args.end(),
                {"--seconds", "2", "--tests", "5,2,1", "--save", xml.string(), "--json", "-"});
    RunningProgram program(m_dir, args);
    const int nExit = program.Wait(60s);
    // Standard output holds the document and nothing else.
    const auto document = nlohmann::json::parse(program.Out(), nullptr, false);
    ASSERT_FALSE(document.is_discarded()) << program.Out() << program.Err();
    EXPECT_EQ(nExit, 0) << program.Err();
    EXPECT_EQ(document["exit"]["code"], nExit);
    EXPECT_GT(document["idle_latency_ms"]["answered"], 0);
    CXmlParser parser;
    TestResults results;
    ASSERT_TRUE(parser.ReadResultsFile(xml.string(), results)) << parser.GetErrorText();

    const auto& tests = document["tests"];
    ASSERT_EQ(tests.size(), 3u) << document.dump(1);
    for (size_t i = 0; i < 3; ++i) {
        const int nTest = std::array{1, 2, 5}[i];
        const auto& test = tests[i];
        ASSERT_EQ(test["test"], nTest);
        ASSERT_EQ(test["seconds"].size(), 2u) << test.dump(1);
        const TestResult& record = results[static_cast<size_t>(nTest)];
        uint64_t nReceived = 0;
        for (size_t n = 0; n < 2; ++n) {
            const auto& second = test["seconds"][n];
            EXPECT_EQ(second["download_kBps"], nTest == 1 ? 0 : record.download.at(n));
            EXPECT_EQ(second["upload_kBps"], nTest == 1 ? record.upload.at(n) : 0);
            EXPECT_GT(second["latency_ms"]["answered"], 0) << second.dump();
            EXPECT_LE(second["latency_ms"]["min"], second["latency_ms"]["max"]);
            EXPECT_EQ(second["tcp"].is_null(), nTest == 5) << second.dump();
            EXPECT_EQ(second["udp"].is_null(), nTest != 5) << second.dump();
            if (nTest == 1) {
                EXPECT_GT(second["tcp"]["rtt_ms"], 0);
                EXPECT_GT(second["tcp"]["cwnd_bytes"], 0);
            }
            if (nTest == 5)
                nReceived += second["udp"]["received"].get<uint64_t>();
        }
        if (nTest == 5) {
            // 40 Mbit/s is 5000 datagrams a second, every one of them counted.
            const auto& udp = test["summary"]["udp"];
            EXPECT_EQ(udp["lost"], 0) << udp.dump();
            EXPECT_EQ(udp["out_of_order"], 0) << udp.dump();
            EXPECT_EQ(udp["received"], nReceived);
            EXPECT_GT(nReceived, 6000u);
        }
    }
}

TEST_F(HeadlessRunTest, FailuresAndUsageErrorsHaveTheirExitCodes) {
    StartNode();
    // Nothing listens on the port above the node's.
    std::vector<std::string> refusedArgs = RunArgs(std::to_string(m_node.Port() + 1));
    refusedArgs.insert(refusedArgs.end(), {"--no-latency", "--json", (m_dir / "r.json").string()});
    RunningProgram refused(m_dir, refusedArgs);
    EXPECT_EQ(refused.Wait(30s), 1) << refused.Out();
    EXPECT_EQ(refused.Err().rfind("CClient::Error\nWSAECONNREFUSED\n", 0), 0u) << refused.Err();
    // The document of a failed run says why.
    const auto refusedJson = nlohmann::json::parse(ReadFile(m_dir / "r.json"));
    EXPECT_EQ(refusedJson["exit"]["code"], 1);
    EXPECT_EQ(refusedJson["exit"]["caption"], "CClient::Error");
    EXPECT_TRUE(refusedJson["idle_latency_ms"].is_null());

    // Nodes that refuse the session, end it, or do not answer as asked: each
    // run ends at once (or 10 s after its request) with the reason.
    const std::string strEnded = "The node ended the session before every test had run.";
    const std::tuple<int, int, bool, std::string> nodes[] = {
        {0, -2, false, strEnded},
        {0, -2, true, strEnded},
        {-1, -2, false, "The node closed the connection."},
        {-1, 6, true, "The node started test 6, but test 1 was requested."},
        {-1, -1, true, "The node did not confirm test 1 within 10 seconds."}};
    for (const auto& [nFirst, nAnswer, bHold, strText] : nodes) {
        ScriptedNode node("127.0.0.2", nFirst, nAnswer, bHold);
        std::vector<std::string> args = RunArgs(std::to_string(node.Port()));
        args.insert(args.end(), {"--seconds", "2", "--tests", "1,2"});
        for (int i = 0; i < (nAnswer == -2 ? 3 : 1); ++i) {
            RunningProgram program(m_dir, args);
            EXPECT_EQ(program.Wait(Promptly(20s)), 1) << program.Out();
            EXPECT_EQ(program.Err(), "CClient::Error\n" + strText + "\n");
        }
    }
    // No thread to spare (a user of its own allowed one process) while the
    // node's name is looked up. Sanitizer runtimes make threads of their own.
    if (std::string(BANDSCOPE_SANITIZE).empty()) {
        const std::string strUser = std::to_string(200000 + ::getpid() % 100000);
        // A copy that the user can reach, wherever the build lies.
        const std::string strProgram = (m_dir / "bandscope").string();
        fs::copy_file(ProgramBinary(), strProgram, fs::copy_options::overwrite_existing);
        fs::permissions(m_dir, fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
        std::string strOut;
        EXPECT_EQ(RunProcess({"sh", "-c",
                              "setpriv --reuid " + strUser + " --regid " + strUser +
                                  " --clear-groups prlimit --nproc=1 " + strProgram +
                                  " --run --node localhost 2>&1"},
                             30s, &strOut),
                  1);
        EXPECT_NE(strOut.find("\nCClient::Error\nWSAEPROCLIM\n"), std::string::npos) << strOut;
    }

    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--run"},
                                               {"--run", "--node", "127.0.0.2", "--tests", "7"},
                                               {"--run", "--node", "127.0.0.2", "--bogus", "1"},
                                               {"--node", "127.0.0.2"}}) {
        RunningProgram usage(m_dir, args);
        EXPECT_EQ(usage.Wait(10s), 2) << args.back();
        EXPECT_NE(usage.Err().find("usage: bandscope"), std::string::npos) << usage.Err();
    }
}

TEST_F(HeadlessRunTest, CtrlCEndsTheSessionAsStopDoesAndStillSaves) {
    StartNode();
    std::vector<std::string> args = RunArgs(std::to_string(m_node.Port()));
    const fs::path xml = m_dir / "results.xml";
    args.insert(args.end(), {"--seconds", "30", "--tests", "2", "--save", xml.string(), "--json",
                             (m_dir / "results.json").string()});
    RunningProgram program(m_dir, args);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (program.Out().find("1/30") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    ASSERT_NE(program.Out().find("1/30"), std::string::npos) << program.Out() << program.Err();
    program.Signal(SIGINT);
    EXPECT_EQ(program.Wait(10s), 130) << program.Out() << program.Err();
    // The node heard the end byte, not a dropped connection.
    const auto logged = std::chrono::steady_clock::now() + 5s;
    while (m_node.Log().find("session ended") == std::string::npos &&
           std::chrono::steady_clock::now() < logged)
        std::this_thread::sleep_for(20ms);
    EXPECT_NE(m_node.Log().find("session ended (session end from the client)"), std::string::npos)
        << m_node.Log();
    CXmlParser parser;
    TestResults results;
    ASSERT_TRUE(parser.ReadResultsFile(xml.string(), results)) << parser.GetErrorText();
    EXPECT_GE(results[2].download.size(), 1u);
    EXPECT_LT(results[2].download.size(), 30u);
    const auto document = nlohmann::json::parse(ReadFile(m_dir / "results.json"));
    EXPECT_EQ(document["exit"]["code"], 130);
    EXPECT_EQ(document["tests"][0]["seconds"].size(), results[2].download.size());
}

TEST(Manual, TheBuildLaysOutAPdfOfSeveralPages) {
    if (std::string(BANDSCOPE_SANITIZE) != "")
        GTEST_SKIP() << "sanitizer builds lay no manual out";
    const std::string strPdf = ReadFile(BANDSCOPE_BINARY_DIR "/app/Bandscope.pdf");
    ASSERT_FALSE(strPdf.empty()) << "no Bandscope.pdf next to the program";
    EXPECT_EQ(strPdf.rfind("%PDF-1.", 0), 0u);
    EXPECT_NE(strPdf.find("%%EOF", strPdf.size() - 16), std::string::npos);
    int nPages = 0;
    for (size_t n = strPdf.find("/Type /Page"); n != std::string::npos;
         n = strPdf.find("/Type /Page", n + 1))
        nPages += strPdf.compare(n, 12, "/Type /Pages") != 0;
    EXPECT_GT(nPages, 1);
}

} // namespace
