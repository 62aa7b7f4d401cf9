#include "results/xml_parser.h"

#include "results/results_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
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
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        strError = "Cannot open \"" + strPath + "\": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    std::size_t nRead = 0;
    while ((nRead = std::fread(buffer, 1, sizeof buffer, pFile)) > 0)
        strData.append(buffer, nRead);
    const bool bFailed = std::ferror(pFile) != 0;
    const int nErrno = errno;
    std::fclose(pFile);
    if (bFailed) {
        strError = "Cannot read \"" + strPath + "\": " + std::strerror(nErrno);
        return false;
    }
    return true;
}

} // namespace

struct CXmlParser::CImpl {
    CErrorKeeper m_errors;
    CEntityRefuser m_refuser;
    xc::SecurityManager m_security;
    std::unique_ptr<xc::XercesDOMParser> m_pParser;
};

CXmlParser::CXmlParser() {
    try {
        xc::XMLPlatformUtils::Initialize();
        m_bInitialized = true;
        m_pImpl = std::make_unique<CImpl>();
        m_pImpl->m_pParser = std::make_unique<xc::XercesDOMParser>(
            nullptr, xc::XMLPlatformUtils::fgMemoryManager, nullptr);
        xc::XercesDOMParser& parser = *m_pImpl->m_pParser;
        parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
        parser.setLoadExternalDTD(false);
        parser.setDisableDefaultEntityResolution(true);
        parser.setXMLEntityResolver(&m_pImpl->m_refuser);
        parser.setErrorHandler(&m_pImpl->m_errors);
        // Bounds the expansion of entities declared inside the file.
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
