// The results file: the writer's exact bytes, round trips through the real
// XML reader, the reader's tolerance of hand-made files, and that a bad or
// hostile file neither escapes the file nor leaves half-loaded records.
#include "results/results_file.h"
#include "results/xml_parser.h"
#include "tests/support/test_folder.h"

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class ResultsFileTest : public ::testing::Test {
protected:
    void SetUp() override { ResetResults(m_fresh); }

    std::string PathOf(const std::string& strName) const { return m_folder.PathOf(strName); }

    std::string WriteText(const std::string& strName, const std::string& strText) const {
        const std::string strPath = PathOf(strName);
        std::ofstream(strPath, std::ios::binary) << strText;
        return strPath;
    }

    static std::string ReadText(const std::string& strPath) {
        std::ifstream file(strPath, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // Reads a file into records that first hold other data, so a reader that
    // forgets to reset them is caught.
    bool Load(const std::string& strPath, TestResults& results) {
        for (TestResult& result : results) {
            result.name = "stale";
            result.download = {1, 2, 3};
            result.max = 77;
        }
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool bRead = m_parser.ReadResultsFile(strPath, results);
        const std::string strOut = testing::internal::GetCapturedStdout();
        const std::string strErr = testing::internal::GetCapturedStderr();
        EXPECT_EQ(strOut + strErr, "") << "the reader printed";
        return bRead;
    }

    void ExpectReset(const TestResults& results) {
        for (std::size_t i = 0; i < kResultCount; ++i) {
            EXPECT_EQ(results[i].name, m_fresh[i].name);
            EXPECT_TRUE(results[i].download.empty() && results[i].upload.empty());
            EXPECT_EQ(results[i].max, 0);
        }
    }

    static void ExpectSame(const TestResults& a, const TestResults& b) {
        for (std::size_t i = 0; i < kResultCount; ++i) {
            EXPECT_EQ(a[i].name, b[i].name) << "record " << i;
            EXPECT_EQ(a[i].download, b[i].download) << "record " << i;
            EXPECT_EQ(a[i].upload, b[i].upload) << "record " << i;
            EXPECT_EQ(a[i].max, b[i].max) << "record " << i;
        }
    }

    TestResults RoundTrip(const TestResults& results) {
        const std::string strPath = PathOf("round.xml");
        std::string strError;
        EXPECT_TRUE(WriteResultsFile(kResultCount, strPath, results.data(), &strError)) << strError;
        TestResults loaded;
        EXPECT_TRUE(Load(strPath, loaded)) << m_parser.GetErrorText();
        return loaded;
    }

    // A file of test blocks under NetTest, each block given whole.
    static std::string File(const std::string& strBody) {
        return "<?xml version=\"1.0\"?>\n<NetTest>" + strBody + "</NetTest>";
    }

    testing_support::CTestFolder m_folder{"bandscope_results"};
    TestResults m_fresh;
    CXmlParser m_parser;
};

TEST_F(ResultsFileTest, FreshRecordsWriteTheGoldenFileAndReadItBack) {
    ASSERT_TRUE(m_parser.IsReady()) << m_parser.GetErrorText();
    const std::string strGolden = BANDSCOPE_SOURCE_DIR "/tests/data/results_default.xml";
    const std::string strPath = PathOf("fresh.xml");
    ASSERT_TRUE(WriteResultsFile(kResultCount, strPath, m_fresh.data()));
    const std::string strWritten = ReadText(strPath);
    EXPECT_EQ(strWritten, ReadText(strGolden));
    EXPECT_EQ(strWritten.rfind("<?xml version=\"1.0\"?>\r\n\r\n<NetTest>\r\n", 0), 0u);

    TestResults loaded;
    EXPECT_TRUE(Load(strGolden, loaded)) << m_parser.GetErrorText();
    ExpectSame(loaded, m_fresh);
}

TEST_F(ResultsFileTest, WritesSamplesSpaceSeparatedWithCrLf) {
    TestResults results = m_fresh;
    results[1].upload = {512, 498};
    results[1].max = 512;
    results[2].download = {-5, 0, 2147483647};
    const std::string strPath = PathOf("block.xml");
    ASSERT_TRUE(WriteResultsFile(kResultCount, strPath, results.data()));
    const std::string strText = ReadText(strPath);
    EXPECT_NE(strText.find("\t<test>\r\n\t\t<name>TCP - Upload test</name>\r\n"
                           "\t\t<download></download>\r\n\t\t<upload>512 498</upload>\r\n"
                           "\t\t<max>512</max>\r\n\t</test>\r\n"),
              std::string::npos);
    EXPECT_NE(strText.find("<download>-5 0 2147483647</download>"), std::string::npos);
}

TEST_F(ResultsFileTest, RealisticLongAndOddRecordsRoundTrip) {
    std::mt19937 random(7);
    TestResults results = m_fresh;
    // Several hundred seconds of six-digit rates: far beyond 4096 characters a line.
    for (std::size_t i = 1; i < kResultCount; ++i) {
        for (int s = 0; s < 900; ++s) {
            results[i].download.push_back(static_cast<int32_t>(random() % 1000000));
            results[i].upload.push_back(static_cast<int32_t>(random() % 1000000));
        }
        results[i].max = 999999;
    }
    results[0].download = {INT_MIN, -1, 0, INT_MAX};
    results[0].max = -3;
    results[1].name = "50% <load> & \"quotes\" ]]> 'apos'";
    results[2].name = "Débit — 下载 \t tab\nline\r\nCRLF";
    results[3].name = "  spaces kept  ";
    results[4].name = "";
    results[5].name = std::string(5000, 'x');
    const TestResults loaded = RoundTrip(results);
    ExpectSame(loaded, results);
}

TEST_F(ResultsFileTest, TitlesOfInvalidTextStillGiveAReadableFile) {
    TestResults results = m_fresh;
    results[1].name = std::string("bad \xff\xfe utf8 \x01 ctl ok", 20);
    results[2].name = std::string("cut \xe2\x82", 6);
    const TestResults loaded = RoundTrip(results);
    EXPECT_EQ(loaded[1].name, "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8 \xEF\xBF\xBD ctl ok");
    EXPECT_EQ(loaded[2].name, "cut \xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(ResultsFileTest, ReaderTakesTestElementsAnywhereInAnyChildOrder) {
    TestResults results;
    const std::string strPath = WriteText(
        "nested.xml",
        "<?xml version=\"1.0\"?>\n<Other><!-- c --><x><y>"
        "<test><max>90</max><upload>7 8</upload><name>Second &amp; last</name>"
        "<download>1   2 3 </download></test></y>"
        "<test><name>one</name><name>two</name><download>4</download><download>5 6</download>"
        "<max>1</max><max>2</max><bogus>9</bogus></test></x>"
        "<test><download>10\n20</download><upload>\t+7 -3x abc 99999999999 -99999999999</upload>"
        "</test></Other>");
    ASSERT_TRUE(Load(strPath, results)) << m_parser.GetErrorText();
    EXPECT_EQ(results[0].name, "Second & last");
    EXPECT_EQ(results[0].download, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(results[0].upload, (std::vector<int32_t>{7, 8}));
    EXPECT_EQ(results[0].max, 90);
    EXPECT_EQ(results[1].name, "two");
    EXPECT_EQ(results[1].download, (std::vector<int32_t>{4, 5, 6}));
    EXPECT_EQ(results[1].max, 2);
    // No name: the default title stays. A line break does not split a token.
    EXPECT_EQ(results[2].name, "TCP - Download test");
    EXPECT_EQ(results[2].download, (std::vector<int32_t>{10}));
    EXPECT_EQ(results[2].upload, (std::vector<int32_t>{7, -3, 0, INT_MAX, INT_MIN}));
    for (std::size_t i = 3; i < kResultCount; ++i) {
        EXPECT_EQ(results[i].name, m_fresh[i].name);
        EXPECT_TRUE(results[i].download.empty());
    }
}

// All the text inside an element counts, however it is split or nested; a
// hostile depth of nesting must not exhaust the stack.
TEST_F(ResultsFileTest, ReaderTakesAllTextInsideAChildHoweverDeep) {
    TestResults results;
    ASSERT_TRUE(
        Load(WriteText("mixed.xml",
                       "<N><test>"
                       "<name>a<!--c-->b<![CDATA[<c>]]><?pi x?>&amp;<i>d<j>e</j></i>f</name>"
                       "<download>1<b>2 3</b><!-- 9 -->4</download></test></N>"),
             results))
        << m_parser.GetErrorText();
    EXPECT_EQ(results[0].name, "ab<c>&def");
    EXPECT_EQ(results[0].download, (std::vector<int32_t>{12, 34}));

    const int nDepth = 200000;
    std::string strDeep = "<N><test><name>";
    for (int i = 0; i < nDepth; ++i)
        strDeep += "<a>";
    strDeep += "deep";
    for (int i = 0; i < nDepth; ++i)
        strDeep += "</a>";
    strDeep += "</name><max>7</max></test></N>";
    ASSERT_TRUE(Load(WriteText("deep.xml", strDeep), results)) << m_parser.GetErrorText();
    EXPECT_EQ(results[0].name, "deep");
    EXPECT_EQ(results[0].max, 7);
}

TEST_F(ResultsFileTest, AveragesLengthAndEighthTest) {
    std::string strBody = "<test><download>";
    for (int i = 0; i < 45; ++i)
        strBody += std::to_string(i) + " ";
    strBody += "</download></test>";
    for (int i = 1; i <= 7; ++i)
        strBody += "<test><name>T" + std::to_string(i) + "</name></test>";
    TestResults results;
    ASSERT_TRUE(Load(WriteText("long.xml", File(strBody)), results));
    // The window takes the test length from this count.
    EXPECT_EQ(results[0].download.size(), 45u);
    EXPECT_EQ(results[6].name, "T6");
}

TEST_F(ResultsFileTest, UnreadableFilesLeaveRecordsResetWithAReason) {
    const std::string strMissing = PathOf("missing.xml");
    const struct {
        std::string strPath;
        const char* pszReason;
    } cases[] = {
        {strMissing, "No such file"},
        {m_folder.Path().string(), "Is a directory"},
        {"/dev/zero", "not a regular file"}, // would never end
        {WriteText("empty.xml", ""), "empty"},
        {WriteText("bad.xml", "<?xml version=\"1.0\"?>\n<NetTest><test><name>x</test>"), "line 2"},
        {WriteText("text.xml", "just some text"), "well-formed"},
        {WriteText("none.xml", File("<nottest/>")), "no test results"},
        {WriteText("binary.xml", std::string("\0\xff\xfe<\x01", 5)), "well-formed"},
    };
    for (const auto& c : cases) {
        TestResults results;
        EXPECT_FALSE(Load(c.strPath, results)) << c.strPath;
        ExpectReset(results);
        EXPECT_NE(m_parser.GetErrorText().find(c.pszReason), std::string::npos)
            << m_parser.GetErrorText();
        EXPECT_NE(m_parser.GetErrorText().find(c.strPath), std::string::npos);
    }
    // The parser serves the next load as before.
    TestResults results;
    EXPECT_TRUE(Load(WriteText("good.xml", File("<test><max>5</max></test>")), results));
    EXPECT_EQ(results[0].max, 5);
}

TEST_F(ResultsFileTest, NothingOutsideTheFileIsEverRead) {
    const std::string strSecret = WriteText("secret.txt", "SECRET-4242");
    WriteText("outside.dtd", "<!ENTITY s \"SECRET-4242\">");
    const std::string strDtd = PathOf("outside.dtd");
    const std::string files[] = {
        "<?xml version=\"1.0\"?>\n<!DOCTYPE NetTest [<!ENTITY s SYSTEM \"file://" + strSecret +
            "\">]>\n<NetTest><test><name>a&s;b</name><download>1 &s; 2</download></test>"
            "</NetTest>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE NetTest [<!ENTITY s SYSTEM \"" + strSecret +
            "\">]>\n<NetTest><test><name>&s;</name></test></NetTest>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE NetTest [<!ENTITY % p SYSTEM \"" + strDtd +
            "\"> %p;]>\n<NetTest><test><name>&s;</name></test></NetTest>",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE NetTest SYSTEM \"" + strDtd +
            "\">\n<NetTest><test><name>&s;</name></test></NetTest>",
    };
    for (const std::string& strFile : files) {
        TestResults results;
        EXPECT_FALSE(Load(WriteText("hostile.xml", strFile), results));
        for (const TestResult& result : results)
            EXPECT_EQ(result.name.find("SECRET"), std::string::npos) << result.name;
    }
    // Even an entity declared inside the file: its declaration is refused.
    TestResults results;
    EXPECT_FALSE(Load(WriteText("internal.xml", "<!DOCTYPE N [<!ENTITY t \"Inside\">]>"
                                                "<N><test><name>&t;</name></test></N>"),
                      results));
    EXPECT_NE(m_parser.GetErrorText().find("document type declaration"), std::string::npos);
    ExpectReset(results);
}

TEST_F(ResultsFileTest, EntityExpansionIsBounded) {
    std::string strFile = "<?xml version=\"1.0\"?>\n<!DOCTYPE N [<!ENTITY a0 \"xxxxxxxxxx\">";
    for (int i = 1; i <= 9; ++i)
        strFile += "<!ENTITY a" + std::to_string(i) + " \"" + [&] {
            std::string s;
            for (int k = 0; k < 10; ++k)
                s += "&a" + std::to_string(i - 1) + ";";
            return s;
        }() + "\">";
    strFile += "]>\n<N><test><name>&a9;</name></test></N>";
    TestResults results;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Load(WriteText("laughs.xml", strFile), results));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ExpectReset(results);
}

// Results files never have a document type declaration, and none is larger
// than the size limit: such files are refused, the declaration the moment the
// parser meets it, in any encoding and however it is hidden, the large file
// unread, with a reason that names the file. Such a declaration is what lets
// a few KB expand into gigabytes.
TEST_F(ResultsFileTest, DocumentTypeDeclarationsAndHugeFilesAreRefusedUnread) {
    // Each expansion costs one count of the parser's bound but 20 KB of text:
    // 9 references to 1000 of them would take 180 MB.
    std::string strBomb =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE N [<!ENTITY a \"" + std::string(20000, 'x') + "\">";
    for (const char* pszLevel : {"b", "c", "d"}) {
        strBomb += "<!ENTITY " + std::string(pszLevel) + " \"";
        for (int i = 0; i < 10; ++i)
            strBomb += "&" + std::string(1, static_cast<char>(pszLevel[0] - 1)) + ";";
        strBomb += "\">";
    }
    strBomb += "]>\n<N><test><name>&d;&d;&d;&d;&d;&d;&d;&d;&d;</name></test></N>";
    // ASCII text in UTF-16 or UCS-4, in either byte order, with or without a mark.
    auto encode = [](const std::string& strText, int nWidth, bool bBigEndian, bool bMark) {
        std::string strOut;
        for (const char32_t c :
             (bMark ? U"\xFEFF" : U"") + std::u32string(strText.begin(), strText.end()))
            for (int k = 0; k < nWidth; ++k)
                strOut += static_cast<char>(c >> (8 * (bBigEndian ? nWidth - 1 - k : k)));
        return strOut;
    };
    const std::string strDtd =
        "<?xml version=\"1.0\"?><!DOCTYPE N><N><test><max>5</max></test></N>";
    const std::pair<const char*, std::string> files[] = {
        {"bomb.xml", strBomb},
        {"hidden.xml", "\xEF\xBB\xBF\r\n <?pi ?> <!-- <N/> -->\t<!DOCTYPE N><N><test/></N>"},
        {"utf16le.xml", encode(strDtd, 2, false, false)},
        {"utf16lebom.xml", encode(strDtd, 2, false, true)},
        {"utf16be.xml", encode(strDtd, 2, true, false)},
        {"utf16bebom.xml", encode(strDtd, 2, true, true)},
        {"ucs4le.xml", encode(strDtd, 4, false, false)},
        {"ucs4lebom.xml", encode(strDtd, 4, false, true)},
        {"ucs4be.xml", encode(strDtd, 4, true, false)},
        {"ucs4bebom.xml", encode(strDtd, 4, true, true)},
    };
    for (const auto& [pszName, strFile] : files) {
        TestResults results;
        const std::string strPath = WriteText(pszName, strFile);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Load(strPath, results)) << pszName;
        const auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_NE(m_parser.GetErrorText().find("document type declaration"), std::string::npos)
            << m_parser.GetErrorText();
        EXPECT_NE(m_parser.GetErrorText().find(strPath), std::string::npos);
        ExpectReset(results);
        std::printf("%s (%zu bytes) refused in %.2f ms\n", pszName, strFile.size(),
                    std::chrono::duration<double, std::milli>(elapsed).count());
    }
    // Also in an encoding only the declaration names. In EBCDIC (IBM037):
    // <?xml version="1.0" encoding="IBM037"?><!DOCTYPE N [<!ENTITY a "x">]>
    // <N><test><name>&a;</name></test></N>
    const std::string strEbcdic =
        "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F\x40"
        "\x85\x95\x83\x96\x84\x89\x95\x87\x7E\x7F\xC9\xC2\xD4\xF0\xF3\xF7\x7F\x6F\x6E\x4C"
        "\x5A\xC4\xD6\xC3\xE3\xE8\xD7\xC5\x40\xD5\x40\xBA\x4C\x5A\xC5\xD5\xE3\xC9\xE3\xE8"
        "\x40\x81\x40\x7F\xA7\x7F\x6E\xBB\x6E\x4C\xD5\x6E\x4C\xA3\x85\xA2\xA3\x6E\x4C\x95"
        "\x81\x94\x85\x6E\x50\x81\x5E\x4C\x61\x95\x81\x94\x85\x6E\x4C\x61\xA3\x85\xA2\xA3"
        "\x6E\x4C\x61\xD5\x6E";
    TestResults results;
    EXPECT_FALSE(Load(WriteText("ebcdic.xml", strEbcdic), results)) << results[0].name;
    EXPECT_NE(m_parser.GetErrorText().find("document type declaration"), std::string::npos)
        << m_parser.GetErrorText();
    ExpectReset(results);
    // A declaration's text where no declaration can be is no declaration.
    EXPECT_TRUE(Load(WriteText("text.xml", File("<test><name><![CDATA[<!DOCTYPE N>]]></name></test>"
                                                "<!-- <!DOCTYPE N> -->")),
                     results))
        << m_parser.GetErrorText();
    EXPECT_EQ(results[0].name, "<!DOCTYPE N>");

    // A file above the limit is not even read (a sparse one costs no disk).
    const std::string strHuge = WriteText("huge.xml", File("<test><max>5</max></test>"));
    fs::resize_file(strHuge, CXmlParser::MAX_FILE_BYTES + 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Load(strHuge, results));
    std::printf("huge.xml (limit + 1 byte) refused in %.2f ms\n",
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
    EXPECT_NE(m_parser.GetErrorText().find("larger than 16 MB"), std::string::npos)
        << m_parser.GetErrorText();
    EXPECT_NE(m_parser.GetErrorText().find(strHuge), std::string::npos);
    ExpectReset(results);
    // The largest size allowed is read and parsed.
    fs::resize_file(strHuge, CXmlParser::MAX_FILE_BYTES);
    Load(strHuge, results);
    EXPECT_EQ(m_parser.GetErrorText().find("larger than"), std::string::npos)
        << m_parser.GetErrorText();
}

// Siblings are visited in time proportional to their number: 50,000
// children once took minutes, while the window waited for the load.
TEST_F(ResultsFileTest, ManyChildrenLoadInLinearTime) {
    std::string strBody = "<test>";
    for (int i = 0; i < 50000; ++i)
        strBody += "<a/>";
    TestResults results;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Load(WriteText("children.xml", File(strBody + "<max>5</max></test>")), results))
        << m_parser.GetErrorText();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(results[0].max, 5);
}

// Files up to the size limit that hold what no results file does are refused
// in bounded memory: with room for 1 GB more address space, each is refused
// with its reason, nothing escapes the reader, and a real file then loads.
TEST_F(ResultsFileTest, HostileFilesAreRefusedInBoundedMemory) {
    const std::size_t n = (CXmlParser::MAX_FILE_BYTES - 1024) / 8;
    auto repeat = [](const std::string& strUnit, std::size_t nCount) {
        std::string strOut;
        strOut.reserve(strUnit.size() * nCount);
        while (nCount-- > 0)
            strOut += strUnit;
        return strOut;
    };
    std::string strAttributes; // of one start tag
    for (int i = 0; strAttributes.size() < n; ++i)
        strAttributes += "a" + std::to_string(i) + "='' ";
    std::vector<std::string> hostile = {
        WriteText("flat.xml", File("<test/>" + repeat("<a/>", n / 4))),
        WriteText("attributes.xml", File("<test " + strAttributes + "/>")),
        // Each test around the samples would read them again.
        WriteText("nested.xml", File(repeat("<test><download>", 7) + repeat("1 ", n / 2) +
                                     repeat("</download></test>", 7))),
    };
    rlimit old{};
    getrlimit(RLIMIT_AS, &old);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // Sanitizers reserve terabytes of address space, and take a minute over this.
    hostile.insert(hostile.begin(),
                   WriteText("deep.xml", File("<test/>" + repeat("<a>", n) + repeat("</a>", n))));
    std::size_t nPages = 0;
    std::ifstream("/proc/self/statm") >> nPages;
    const rlimit limit{nPages * sysconf(_SC_PAGESIZE) + (rlim_t{1} << 30), old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &limit), 0);
#endif
    for (const std::string& strPath : hostile) {
        TestResults results;
        EXPECT_FALSE(Load(strPath, results));
        EXPECT_NE(m_parser.GetErrorText().find(strPath + "\" is not read"), std::string::npos)
            << m_parser.GetErrorText();
        ExpectReset(results);
    }
    TestResults results;
    EXPECT_TRUE(Load(BANDSCOPE_SOURCE_DIR "/tests/data/results_default.xml", results));
    setrlimit(RLIMIT_AS, &old);
}

TEST_F(ResultsFileTest, WriteFailuresAreReported) {
    std::string strError;
    EXPECT_FALSE(
        WriteResultsFile(kResultCount, PathOf("no/such/dir.xml"), m_fresh.data(), &strError));
    EXPECT_NE(strError.find("No such file"), std::string::npos) << strError;
    if (fs::exists("/dev/full")) {
        strError.clear();
        EXPECT_FALSE(WriteResultsFile(kResultCount, "/dev/full", m_fresh.data(), &strError));
        EXPECT_NE(strError.find("No space"), std::string::npos) << strError;
    }
}

// Arbitrary bytes, and damaged copies of a real file, never crash the reader;
// whatever it refuses leaves the records reset, and whatever it accepts
// survives a round trip. Bounded in count and time.
TEST_F(ResultsFileTest, RandomInputNeverCrashesAndFailuresLeaveRecordsReset) {
    TestResults sample = m_fresh;
    sample[1].upload = {512, 498, 600};
    sample[1].max = 600;
    sample[3].download = {1, 2};
    sample[3].upload = {3, 4};
    const std::string strPath = PathOf("sample.xml");
    ASSERT_TRUE(WriteResultsFile(kResultCount, strPath, sample.data()));
    const std::string strValid = ReadText(strPath);
    const std::string pieces[] = {"<test>",        "</test>", "<name>",    "&amp;",
                                  "&#0;",          "<!--",    "<![CDATA[", "]]>",
                                  "<!DOCTYPE x [", "&x;",     "\xff",      std::string(1, '\0'),
                                  "&#13;",         "\xc3\xa9"};

    std::mt19937 random(12345);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int nRefused = 0;
    int nRun = 0;
    for (; nRun < 3000 && std::chrono::steady_clock::now() < deadline; ++nRun) {
        std::string strInput;
        if (nRun % 4 == 0) {
            strInput.resize(random() % 512);
            for (char& c : strInput)
                c = static_cast<char>(random());
        } else {
            strInput = strValid;
            for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k) {
                const std::size_t nAt = random() % (strInput.size() + 1);
                const unsigned nOp = random() % 10;
                if (nOp < 3) {
                    strInput.insert(nAt, pieces[random() % std::size(pieces)]);
                } else if (nOp < 6 && nAt < strInput.size()) {
                    static const char kChars[] = " 0123456789-+<>&;#xa\t\n\r";
                    strInput[nAt] = kChars[random() % (sizeof kChars - 1)];
                } else if (nOp < 8) {
                    strInput.erase(nAt, random() % 5);
                } else if (nOp < 9 && nAt < strInput.size()) {
                    strInput[nAt] = static_cast<char>(random());
                } else if (nOp == 9) {
                    strInput.resize(nAt);
                }
            }
        }
        TestResults results;
        if (!Load(WriteText("random.xml", strInput), results)) {
            ++nRefused;
            ExpectReset(results);
            ASSERT_FALSE(m_parser.GetErrorText().empty());
        } else {
            // Whatever the reader accepts, the writer must store faithfully.
            ExpectSame(RoundTrip(results), results);
        }
        if (HasFailure())
            FAIL() << "input " << nRun << ": " << ::testing::PrintToString(strInput);
    }
    EXPECT_GT(nRefused, 0);
    EXPECT_GT(nRun - nRefused, 0);
    EXPECT_GE(nRun, 100);
    std::printf("%d inputs, %d refused\n", nRun, nRefused);
}

} // namespace
