#include "results/xml_parser.h"

#include "results/results_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/internal/XMLScanner.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/ErrorHandler.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/SecurityManager.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLEntityResolver.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

namespace xc = XERCES_CPP_NAMESPACE;

namespace {

// No results file comes near this; a larger one is not read at all.
constexpr std::uintmax_t MAX_FILE_BYTES = 64u << 20;

std::string TooLarge(const std::string& strPath, std::uintmax_t nBytes) {
    return "\"" + strPath + "\" is larger than 64 MB (" + std::to_string(nBytes) +
           " bytes or more); no results file is that large, so it is not read.";
}

std::string ToUtf8(const XMLCh* pText) {
    if (pText == nullptr)
        return {};
    xc::TranscodeToStr utf8(pText, "UTF-8");
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
}

// Keeps the first fatal error for the user instead of printing it.
class CErrorKeeper : public xc::ErrorHandler {
public:
    void warning(const xc::SAXParseException&) override {}
    void error(const xc::SAXParseException& e) override { Keep(e); }
    void fatalError(const xc::SAXParseException& e) override { Keep(e); }
    void resetErrors() override { m_strError.clear(); }

    const std::string& GetErrorText() const { return m_strError; }

private:
    void Keep(const xc::SAXParseException& e) {
        if (!m_strError.empty())
            return;
        m_strError = "line " + std::to_string(e.getLineNumber()) + ", column " +
                     std::to_string(e.getColumnNumber()) + ": " + ToUtf8(e.getMessage());
    }

    std::string m_strError;
};

// A results file is self-contained: every external entity and DTD is refused.
// The empty source stands in for it, so the rest of the file still loads.
class CEntityRefuser : public xc::XMLEntityResolver {
public:
    xc::InputSource* resolveEntity(xc::XMLResourceIdentifier*) override {
        static const XMLByte kNothing[1] = {0};
        return new xc::MemBufInputSource(kNothing, 0, "refused", false);
    }
};

// The text inside a node, as the DOM's getTextContent gives it (text and
// CDATA of every descendant, through entity references, without comments or
// processing instructions), gathered without recursion: a hostile file may
// nest elements far deeper than the stack allows.
std::u16string TextContent(const xc::DOMNode* pNode) {
    std::u16string strText;
    const xc::DOMNode* pAt = pNode->getFirstChild();
    while (pAt != nullptr) {
        const xc::DOMNode::NodeType type = pAt->getNodeType();
        if (type == xc::DOMNode::TEXT_NODE || type == xc::DOMNode::CDATA_SECTION_NODE) {
            if (const XMLCh* pszValue = pAt->getNodeValue())
                strText += pszValue;
        }
        const xc::DOMNode* pFirst =
            type == xc::DOMNode::ELEMENT_NODE || type == xc::DOMNode::ENTITY_REFERENCE_NODE
                ? pAt->getFirstChild()
                : nullptr;
        if (pFirst != nullptr) {
            pAt = pFirst;
            continue;
        }
        while (pAt != nullptr && pAt != pNode && pAt->getNextSibling() == nullptr)
            pAt = pAt->getParentNode();
        pAt = pAt != nullptr && pAt != pNode ? pAt->getNextSibling() : nullptr;
    }
    return strText;
}

std::string TextOf(const xc::DOMNode* pNode) {
    const xc::DOMNode::NodeType type = pNode->getNodeType();
    if (type != xc::DOMNode::ELEMENT_NODE && type != xc::DOMNode::ENTITY_REFERENCE_NODE)
        return ToUtf8(pNode->getTextContent()); // a leaf: nothing to descend into
    return ToUtf8(TextContent(pNode).c_str());
}

bool ReadWholeFile(const std::string& strPath, std::string& strData, std::string& strError) {
    // A device or a pipe may never end (/dev/zero): only plain files are read.
    std::error_code error;
    const auto status = std::filesystem::status(strPath, error);
    if (!error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
        !std::filesystem::is_directory(status)) {
        strError = "Cannot read \"" + strPath + "\": it is not a regular file";
        return false;
    }
    if (!error && std::filesystem::is_regular_file(status)) {
        const std::uintmax_t nSize = std::filesystem::file_size(strPath, error);
        if (!error && nSize > MAX_FILE_BYTES) {
            strError = TooLarge(strPath, nSize);
            return false;
        }
    }
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        strError = "Cannot open \"" + strPath + "\": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    std::size_t nRead = 0;
    while (strData.size() <= MAX_FILE_BYTES &&
           (nRead = std::fread(buffer, 1, sizeof buffer, pFile)) > 0)
        strData.append(buffer, nRead);
    const bool bFailed = std::ferror(pFile) != 0;
    const int nErrno = errno;
    std::fclose(pFile);
    if (bFailed) {
        strError = "Cannot read \"" + strPath + "\": " + std::strerror(nErrno);
        return false;
    }
    if (strData.size() > MAX_FILE_BYTES) { // it grew since its size was read
        strError = TooLarge(strPath, strData.size());
        return false;
    }
    return true;
}

// Whether the document's prolog holds a document type declaration. The
// prolog is read in the file's own code units: UTF-8 and its ASCII kin,
// UTF-16 and UCS-4 in either order, told by their first bytes as an XML
// reader tells them (only ASCII matters here). Other encodings are left to
// the parser, which refuses a declaration in them too.
bool HasDoctype(const std::string& strData) {
    const auto* pBytes = reinterpret_cast<const unsigned char*>(strData.data());
    const std::size_t nBytes = strData.size();
    auto startsWith = [&](std::initializer_list<unsigned char> prefix) {
        return nBytes >= prefix.size() && std::equal(prefix.begin(), prefix.end(), pBytes);
    };
    std::size_t nWidth = 1;
    bool bBigEndian = true;
    std::size_t nStart = 0; // after the byte-order mark
    if (startsWith({0xEF, 0xBB, 0xBF})) {
        nStart = 3;
    } else if (startsWith({0, 0, 0xFE, 0xFF}) || startsWith({0, 0, 0, '<'})) {
        nWidth = 4;
        nStart = pBytes[2] == 0xFE ? 4 : 0;
    } else if (startsWith({0xFF, 0xFE, 0, 0}) || startsWith({'<', 0, 0, 0})) {
        nWidth = 4;
        bBigEndian = false;
        nStart = pBytes[0] == 0xFF ? 4 : 0;
    } else if (startsWith({0xFE, 0xFF}) || startsWith({0, '<', 0, '?'})) {
        nWidth = 2;
        nStart = pBytes[0] == 0xFE ? 2 : 0;
    } else if (startsWith({0xFF, 0xFE}) || startsWith({'<', 0, '?', 0})) {
        nWidth = 2;
        bBigEndian = false;
        nStart = pBytes[0] == 0xFF ? 2 : 0;
    }
    // The code unit at index i, or -1 past the end.
    auto unit = [&](std::size_t i) -> long {
        const std::size_t nAt = nStart + i * nWidth;
        if (nAt + nWidth > nBytes)
            return -1;
        unsigned long nValue = 0;
        for (std::size_t k = 0; k < nWidth; ++k)
            nValue |= static_cast<unsigned long>(pBytes[nAt + k])
                      << (8 * (bBigEndian ? nWidth - 1 - k : k));
        return static_cast<long>(nValue);
    };
    auto at = [&](std::size_t i, std::string_view text) {
        for (std::size_t k = 0; k < text.size(); ++k)
            if (unit(i + k) != static_cast<unsigned char>(text[k]))
                return false;
        return true;
    };
    // Past white space, the XML declaration, processing instructions and comments.
    std::size_t i = 0;
    for (;;) {
        const long c = unit(i);
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        const std::string_view end = at(i, "<?") ? "?>" : at(i, "<!--") ? "-->" : "";
        if (end.empty())
            return at(i, "<!DOCTYPE");
        for (i += 2; unit(i) >= 0 && !at(i, end); ++i) {
        }
        if (unit(i) < 0)
            return false; // unfinished: the parser says what is wrong
        i += end.size();
    }
}

// The DOM parser, told to treat any document type declaration as fatal the
// moment it meets one, before anything in it is read.
class CResultsDomParser : public xc::XercesDOMParser {
public:
    CResultsDomParser() : xc::XercesDOMParser(nullptr, xc::XMLPlatformUtils::fgMemoryManager) {
        getScanner()->setDisallowDTD(true);
    }
};

} // namespace

struct CXmlParser::CImpl {
    CErrorKeeper m_errors;
    CEntityRefuser m_refuser;
    xc::SecurityManager m_security;
    std::unique_ptr<CResultsDomParser> m_pParser;
};

CXmlParser::CXmlParser() {
    try {
        xc::XMLPlatformUtils::Initialize();
        m_bInitialized = true;
        m_pImpl = std::make_unique<CImpl>();
        m_pImpl->m_pParser = std::make_unique<CResultsDomParser>();
        xc::XercesDOMParser& parser = *m_pImpl->m_pParser;
        parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
        parser.setLoadExternalDTD(false);
        parser.setDisableDefaultEntityResolution(true);
        parser.setXMLEntityResolver(&m_pImpl->m_refuser);
        parser.setErrorHandler(&m_pImpl->m_errors);
        // Entities are declared only in a document type declaration, which
        // is refused; the bound on their expansion stays as a second line.
        m_pImpl->m_security.setEntityExpansionLimit(10000);
        parser.setSecurityManager(&m_pImpl->m_security);
    } catch (const xc::XMLException& e) {
        m_strError = "The XML reader could not be started: " + ToUtf8(e.getMessage());
        if (m_pImpl)
            m_pImpl->m_pParser.reset();
    } catch (...) {
        m_strError = "The XML reader could not be started.";
        if (m_pImpl)
            m_pImpl->m_pParser.reset();
    }
}

CXmlParser::~CXmlParser() {
    // The parser must go before the library it belongs to.
    m_pImpl.reset();
    if (m_bInitialized)
        xc::XMLPlatformUtils::Terminate();
}

bool CXmlParser::IsReady() const {
    return m_pImpl && m_pImpl->m_pParser;
}

bool CXmlParser::ReadResultsFile(const std::string& strPath, TestResults& results) {
    ResetResults(results);
    if (!IsReady()) {
        if (m_strError.empty())
            m_strError = "The XML reader could not be started.";
        return false;
    }
    m_strError.clear();

    std::string strData;
    if (!ReadWholeFile(strPath, strData, m_strError))
        return false;
    if (strData.empty()) {
        m_strError = "\"" + strPath + "\" is empty; it holds no test results.";
        return false;
    }
    // Results files never have one, and only a declaration can define the
    // entities whose expansion costs far more memory than the file's size.
    if (HasDoctype(strData)) {
        m_strError = "\"" + strPath +
                     "\" has a document type declaration (<!DOCTYPE>); results files never "
                     "have one, so it is not read.";
        return false;
    }

    xc::XercesDOMParser& parser = *m_pImpl->m_pParser;
    m_pImpl->m_errors.resetErrors();
    bool bRead = false;
    try {
        // Parsed from memory, so the path is never taken for a URL.
        xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(strData.data()),
                                     strData.size(), "results file", false);
        parser.parse(source);
        const xc::DOMDocument* pDocument = parser.getDocument();
        if (!m_pImpl->m_errors.GetErrorText().empty() || pDocument == nullptr) {
            m_strError =
                "\"" + strPath + "\" is not a well-formed XML file (" +
                (m_pImpl->m_errors.GetErrorText().empty() ? std::string("no document")
                                                          : m_pImpl->m_errors.GetErrorText()) +
                ").";
        } else {
            static const XMLCh pszTest[] = u"test";
            static const XMLCh pszName[] = u"name";
            static const XMLCh pszDownload[] = u"download";
            static const XMLCh pszUpload[] = u"upload";
            static const XMLCh pszMax[] = u"max";
            const xc::DOMNodeList* pTests = pDocument->getElementsByTagName(pszTest);
            const XMLSize_t nTests = pTests != nullptr ? pTests->getLength() : 0;
            for (XMLSize_t i = 0; i < nTests && i < kResultCount; ++i) {
                TestResult& result = results[i];
                const xc::DOMNodeList* pChildren = pTests->item(i)->getChildNodes();
                for (XMLSize_t j = 0; j < pChildren->getLength(); ++j) {
                    const xc::DOMNode* pChild = pChildren->item(j);
                    const XMLCh* pszNode = pChild->getNodeName();
                    if (xc::XMLString::equals(pszNode, pszName))
                        result.name = TextOf(pChild);
                    else if (xc::XMLString::equals(pszNode, pszDownload))
                        ParseResultSeries(TextOf(pChild), result.download);
                    else if (xc::XMLString::equals(pszNode, pszUpload))
                        ParseResultSeries(TextOf(pChild), result.upload);
                    else if (xc::XMLString::equals(pszNode, pszMax))
                        result.max = ParseResultNumber(TextOf(pChild));
                }
            }
            if (nTests == 0)
                m_strError = "\"" + strPath + "\" holds no test results (no <test> element).";
            else
                bRead = true;
        }
    } catch (const xc::XMLException& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + ToUtf8(e.getMessage());
    } catch (const xc::OutOfMemoryException&) {
        m_strError = "\"" + strPath + "\" could not be read: out of memory.";
    } catch (const xc::DOMException& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + ToUtf8(e.getMessage());
    } catch (const std::exception& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + e.what();
    }
    // The document is released here, not at the next load.
    parser.resetDocumentPool();
    if (!bRead)
        ResetResults(results);
    return bRead;
}
