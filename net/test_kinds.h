// The six test kinds in one table: what each test sends which way, and the
// names it goes by. Every layer and the node read the kinds from here.
#pragma once

#include <array>
#include <cstddef>

struct STestKind {
    bool bTcp;            // on the node connection; else as UDP datagrams
    bool bUpload;         // the client sends
    bool bDownload;       // the node sends
    const char* pszTitle; // the record's default title, saved in results files
    const char* pszTab;   // the chart tab's caption
    const char* pszName;  // in the node's log

    constexpr bool TcpUpload() const { return bTcp && bUpload; }
    constexpr bool TcpDownload() const { return bTcp && bDownload; }
    constexpr bool UdpUpload() const { return !bTcp && bUpload; }
    constexpr bool UdpDownload() const { return !bTcp && bDownload; }
};

// Indexed by the test's number: its byte on the wire, its record's index and
// its chart tab's. Row 0 is no test; its record and tab hold the averages.
constexpr std::array<STestKind, 7> kTestKinds = {{
    {false, false, false, "Test Averages", "Test Average", "none"},
    {true, true, false, "TCP - Upload test", "TCP Test 1", "TCP upload"},
    {true, false, true, "TCP - Download test", "TCP Test 2", "TCP download"},
    {true, true, true, "TCP - Upload/Download test", "TCP Test 3", "TCP upload/download"},
    {false, true, false, "UDP - Upload test", "UDP Test 1", "UDP upload"},
    {false, false, true, "UDP - Download test", "UDP Test 2", "UDP download"},
    {false, true, true, "UDP - Upload/Download test", "UDP Test 3", "UDP upload/download"},
}};

constexpr int kTestCount = static_cast<int>(kTestKinds.size()) - 1;

constexpr bool IsTest(int nTest) {
    return nTest >= 1 && nTest <= kTestCount;
}

// Any number that is no test reads as row 0, which sends nothing.
constexpr const STestKind& TestKind(int nTest) {
    return kTestKinds[IsTest(nTest) ? static_cast<std::size_t>(nTest) : 0];
}
