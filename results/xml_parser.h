// CXmlParser: starts the XML library for the window's life and reads
// results files with one DOM parser.
#pragma once

#include "results/test_result.h"

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

    // Resets the records, then fills them from the file: the "test" elements
    // anywhere in the document, in order, one record each (an eighth and
    // later ones are ignored). Nothing outside the file is ever read: no DTD,
    // no external entity. False, with the records left reset and the reason
    // in GetErrorText(), when the file cannot be opened, is larger than
    // 64 MB or has a document type declaration (both refused before it is
    // parsed), is not well-formed XML or holds no "test" element.
    bool ReadResultsFile(const std::string& strPath, TestResults& results);

    const std::string& GetErrorText() const { return m_strError; }

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
    bool m_bInitialized = false;
    std::string m_strError;
};
