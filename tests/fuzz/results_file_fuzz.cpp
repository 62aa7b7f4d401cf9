// Feeds the results file reader arbitrary bytes. A refused file must leave the
// records reset; an accepted one must survive the writer and the reader again.
#include "results/results_file.h"
#include "results/xml_parser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string TempPath(const char* pszName) {
    return "/tmp/bandscope_fuzz_" + std::to_string(getpid()) + "_" + pszName;
}

bool Same(const TestResults& a, const TestResults& b) {
    for (std::size_t i = 0; i < kResultCount; ++i) {
        if (a[i].name != b[i].name || a[i].download != b[i].download ||
            a[i].upload != b[i].upload || a[i].max != b[i].max)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static CXmlParser parser;
    static const std::string strInput = TempPath("input.xml");
    static const std::string strOutput = TempPath("output.xml");

    std::FILE* pFile = std::fopen(strInput.c_str(), "wb");
    if (pFile == nullptr)
        std::abort();
    std::fwrite(pData, 1, nSize, pFile);
    std::fclose(pFile);

    TestResults results;
    TestResults fresh;
    ResetResults(fresh);
    if (!parser.ReadResultsFile(strInput, results)) {
        if (!Same(results, fresh) || parser.GetErrorText().empty())
            std::abort();
        return 0;
    }
    TestResults again;
    if (!WriteResultsFile(kResultCount, strOutput, results.data()) ||
        !parser.ReadResultsFile(strOutput, again) || !Same(results, again))
        std::abort();
    return 0;
}
