// CXmlParser: starts the XML library for the window's life and reads
// results files with one DOM parser.
#pragma once

#include "results/test_result.h"

#include <cstdint>
#include <memory>
#include <string>

class CXmlParser {
public:
    // Starts the library and creates the parser. A failure is kept, not
    // thrown: IsReady() is then false and GetErrorText() says why.
    CXmlParser();
    ~CXmlParser();
    CXmlParser(const CXmlParser&) = delete;
    CXmlParser& operator=(const CXmlParser&) = delete;

    bool IsReady() const;

    // The largest file read. The largest a session can write (ten series of
    // 65,535 samples, each of up to eleven characters and a space) is under 8 MB.
    static constexpr std::uintmax_t MAX_FILE_BYTES = std::uintmax_t{16} << 20;

    // Resets the records, then fills them from the file: the "test" elements
    // anywhere in the document, in order, one record each (an eighth and
    // later ones are ignored). Nothing outside the file is ever read: no DTD,
    // no external entity. False, with the records left reset and the reason
    // in GetErrorText(), when the file cannot be opened, is larger than
    // MAX_FILE_BYTES (refused unread), is not well-formed XML, has a document
    // type declaration, holds what no results file does (far more nodes,
    // attributes or element names, a "test" element inside another's text,
    // or more memory than its size warrants: the parse stops at the limit)
    // or holds no "test" element. Any file takes time and memory in
    // proportion to its size, within those limits.
    bool ReadResultsFile(const std::string& strPath, TestResults& results);

    const std::string& GetErrorText() const { return m_strError; }

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
    bool m_bInitialized = false;
    std::string m_strError;
};
