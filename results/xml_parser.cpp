#include "results/xml_parser.h"

#include "results/results_file.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <string>
#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/XMLElementDecl.hpp>
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

// What no results file comes near: one holds about 80 nodes, 6 element names
// and no attribute. Past a limit the parse stops at once, so a hostile file
// costs a bounded amount of time and memory before it is refused. Nodes are
// what the parser keeps: elements, runs of text, comments, instructions.
constexpr std::size_t MAX_NODES = std::size_t{1} << 18;
constexpr std::size_t MAX_ATTRIBUTES = 4096;
constexpr std::size_t MAX_ELEMENT_NAMES = 4096; // the DOM's name pool slows with each new one
// The parser's memory while it reads a file: a fixed amount and a few times
// the file's size, for its text, plus what each node and each level of
// nesting costs (a few hundred bytes) as the file reaches them. What one
// start tag's attributes cost is only known from the memory they take.
constexpr std::size_t MEMORY_FIXED = std::size_t{16} << 20;
constexpr std::size_t MEMORY_PER_FILE_BYTE = 6;
constexpr std::size_t MEMORY_PER_NODE = 256;
constexpr std::size_t MEMORY_PER_LEVEL = 384;

std::string TooLarge(const std::string& strPath, std::uintmax_t nBytes) {
    return "\"" + strPath + "\" is larger than " +
           std::to_string(CXmlParser::MAX_FILE_BYTES >> 20) + " MB (" + std::to_string(nBytes) +
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

// Everything the parser allocates goes through here, so that a file which
// would take more than its share fails as one allocation that Xerces reports
// as out of memory, long before the machine's memory runs out. Xerces drops
// some objects unfreed when it runs out of memory mid-parse; what is still
// held when the budget goes is freed then.
class CMemoryBudget : public xc::MemoryManager {
public:
    CMemoryBudget() = default;
    CMemoryBudget(const CMemoryBudget&) = delete;
    CMemoryBudget& operator=(const CMemoryBudget&) = delete;
    ~CMemoryBudget() override {
        while (m_pFirst != nullptr) {
            CBlock* pBlock = m_pFirst;
            m_pFirst = pBlock->pNext;
            ::operator delete(pBlock);
        }
    }

    // Until Unlimit(), at most nBytes more than is held now, and what Grant() adds.
    void Limit(std::size_t nBytes) {
        m_nLimit = m_nUsed + nBytes;
        m_bLimited = true;
        m_bExceeded = false;
    }
    void Grant(std::size_t nBytes) { m_nLimit += nBytes; }
    void Unlimit() { m_bLimited = false; }
    bool WasExceeded() const { return m_bExceeded; }

    xc::MemoryManager* getExceptionMemoryManager() override {
        return xc::XMLPlatformUtils::fgMemoryManager;
    }
    void* allocate(XMLSize_t nSize) override {
        if (nSize > std::numeric_limits<std::size_t>::max() / 2)
            throw xc::OutOfMemoryException();
        if (m_bLimited && m_nUsed + nSize + OVERHEAD > m_nLimit) {
            m_bExceeded = true;
            throw xc::OutOfMemoryException();
        }
        auto* pBlock = static_cast<CBlock*>(::operator new(sizeof(CBlock) + nSize, std::nothrow));
        if (pBlock == nullptr)
            throw xc::OutOfMemoryException();
        *pBlock = CBlock{nullptr, m_pFirst, nSize + OVERHEAD};
        if (m_pFirst != nullptr)
            m_pFirst->pPrev = pBlock;
        m_pFirst = pBlock;
        m_nUsed += pBlock->nCost;
        return pBlock + 1;
    }
    void deallocate(void* p) override {
        if (p == nullptr)
            return;
        CBlock* pBlock = static_cast<CBlock*>(p) - 1;
        (pBlock->pPrev != nullptr ? pBlock->pPrev->pNext : m_pFirst) = pBlock->pNext;
        if (pBlock->pNext != nullptr)
            pBlock->pNext->pPrev = pBlock->pPrev;
        m_nUsed -= pBlock->nCost;
        ::operator delete(pBlock);
    }

private:
    // In front of every block, keeping its alignment.
    struct alignas(std::max_align_t) CBlock {
        CBlock* pPrev;
        CBlock* pNext;
        std::size_t nCost;
    };
    // Each block costs its header and the allocator's own bookkeeping too;
    // a hostile file makes millions of small ones.
    static constexpr std::size_t OVERHEAD = sizeof(CBlock) + 16;

    CBlock* m_pFirst = nullptr;
    std::size_t m_nUsed = 0;
    std::size_t m_nLimit = 0;
    bool m_bLimited = false;
    bool m_bExceeded = false;
};

// Makes the budget before the parser that allocates from it, and lets it go
// after that parser.
struct CMemoryHolder {
    CMemoryBudget m_memory;
};

// Thrown by the parser's callbacks and the walk to stop where a results file
// could not go on; caught in ReadResultsFile, never outside it.
struct CRefusal {
    std::string strReason;
};

// The DOM parser, counting what it builds and giving the memory budget what
// that costs. A document type declaration is refused the moment the parser
// meets one, before any declaration in it is read, whatever the encoding.
class CResultsDomParser : private CMemoryHolder, public xc::XercesDOMParser {
public:
    CResultsDomParser() : xc::XercesDOMParser(nullptr, &m_memory) {}

    CMemoryBudget& GetMemory() { return m_memory; }

    void ResetCounts() {
        m_nNodes = 0;
        m_nAttributes = 0;
        m_nDepth = 0;
        m_nDeepest = 0;
    }

    void startElement(const xc::XMLElementDecl& elemDecl, const unsigned int nUriId,
                      const XMLCh* const pszPrefix, const xc::RefVectorOf<xc::XMLAttr>& attributes,
                      const XMLSize_t nAttributes, const bool bEmpty, const bool bRoot) override {
        CountNode();
        // Element declarations are numbered as the parser first meets each name.
        if (elemDecl.getId() >= MAX_ELEMENT_NAMES)
            throw CRefusal{"it holds more than " + std::to_string(MAX_ELEMENT_NAMES) +
                           " different element names; a results file uses six"};
        if (nAttributes > MAX_ATTRIBUTES - m_nAttributes)
            throw CRefusal{"it holds more than " + std::to_string(MAX_ATTRIBUTES) +
                           " attributes; a results file holds none"};
        m_nAttributes += nAttributes;
        if (!bEmpty && ++m_nDepth > m_nDeepest) {
            m_nDeepest = m_nDepth;
            m_memory.Grant(MEMORY_PER_LEVEL);
        }
        xc::XercesDOMParser::startElement(elemDecl, nUriId, pszPrefix, attributes, nAttributes,
                                          bEmpty, bRoot);
    }
    void endElement(const xc::XMLElementDecl& elemDecl, const unsigned int nUriId, const bool bRoot,
                    const XMLCh* const pszPrefix) override {
        --m_nDepth;
        xc::XercesDOMParser::endElement(elemDecl, nUriId, bRoot, pszPrefix);
    }
    void docCharacters(const XMLCh* const pszChars, const XMLSize_t nLength,
                       const bool bCData) override {
        // Text that follows text joins its node; only a new node counts.
        const xc::DOMNode* pBefore = getCurrentNode();
        xc::XercesDOMParser::docCharacters(pszChars, nLength, bCData);
        if (getCurrentNode() != pBefore)
            CountNode();
    }
    void docComment(const XMLCh* const pszComment) override {
        CountNode();
        xc::XercesDOMParser::docComment(pszComment);
    }
    void docPI(const XMLCh* const pszTarget, const XMLCh* const pszData) override {
        CountNode();
        xc::XercesDOMParser::docPI(pszTarget, pszData);
    }
    void doctypeDecl(const xc::DTDElementDecl&, const XMLCh* const, const XMLCh* const, const bool,
                     const bool) override {
        throw CRefusal{"it has a document type declaration (<!DOCTYPE>); results files never "
                       "have one"};
    }

private:
    void CountNode() {
        if (++m_nNodes > MAX_NODES)
            throw CRefusal{"it holds more than " + std::to_string(MAX_NODES) +
                           " elements, texts and comments; a results file holds about 80"};
        m_memory.Grant(MEMORY_PER_NODE);
    }

    std::size_t m_nNodes = 0;
    std::size_t m_nAttributes = 0;
    std::size_t m_nDepth = 0;
    std::size_t m_nDeepest = 0;
};

// The text inside a node, as the DOM's getTextContent gives it (text and
// CDATA of every descendant, through entity references, without comments or
// processing instructions), gathered without recursion: a hostile file may
// nest elements far deeper than the stack allows.
std::u16string TextContent(const xc::DOMNode* pNode) {
    static const XMLCh pszTest[] = u"test";
    std::u16string strText;
    const xc::DOMNode* pAt = pNode->getFirstChild();
    while (pAt != nullptr) {
        const xc::DOMNode::NodeType type = pAt->getNodeType();
        // Its text would be read again for each test around it, up to seven times.
        if (type == xc::DOMNode::ELEMENT_NODE && xc::XMLString::equals(pAt->getNodeName(), pszTest))
            throw CRefusal{"a <test> element lies inside the text of another; results files "
                           "never nest them"};
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
        if (!error && nSize > CXmlParser::MAX_FILE_BYTES) {
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
    while (strData.size() <= CXmlParser::MAX_FILE_BYTES &&
           (nRead = std::fread(buffer, 1, sizeof buffer, pFile)) > 0)
        strData.append(buffer, nRead);
    const bool bFailed = std::ferror(pFile) != 0;
    const int nErrno = errno;
    std::fclose(pFile);
    if (bFailed) {
        strError = "Cannot read \"" + strPath + "\": " + std::strerror(nErrno);
        return false;
    }
    if (strData.size() > CXmlParser::MAX_FILE_BYTES) { // it grew since its size was read
        strError = TooLarge(strPath, strData.size());
        return false;
    }
    return true;
}

} // namespace

struct CXmlParser::CImpl {
    CErrorKeeper m_errors;
    CEntityRefuser m_refuser;
    xc::SecurityManager m_security;
    std::unique_ptr<CResultsDomParser> m_pParser;

    // A new parser in place of the old one. Xerces leaves a parser that an
    // exception went through unusable (after running out of memory every
    // later parse fails), so each such load ends with a fresh one.
    void MakeParser() {
        m_pParser.reset();
        m_pParser = std::make_unique<CResultsDomParser>();
        CResultsDomParser& parser = *m_pParser;
        parser.setValidationScheme(xc::XercesDOMParser::Val_Never);
        parser.setLoadExternalDTD(false);
        parser.setDisableDefaultEntityResolution(true);
        parser.setXMLEntityResolver(&m_refuser);
        parser.setErrorHandler(&m_errors);
        // Entities are declared only in a document type declaration, which
        // is refused; the bound on their expansion stays as a second line.
        m_security.setEntityExpansionLimit(10000);
        parser.setSecurityManager(&m_security);
    }
};

CXmlParser::CXmlParser() {
    try {
        xc::XMLPlatformUtils::Initialize();
        m_bInitialized = true;
        m_pImpl = std::make_unique<CImpl>();
        m_pImpl->MakeParser();
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

    bool bRead = false;
    bool bParsed = false; // the parse ended without an exception
    try {
        CResultsDomParser& parser = *m_pImpl->m_pParser;
        std::string strData;
        if (!ReadWholeFile(strPath, strData, m_strError))
            return false;
        if (strData.empty()) {
            m_strError = "\"" + strPath + "\" is empty; it holds no test results.";
            return false;
        }
        m_pImpl->m_errors.resetErrors();
        parser.ResetCounts();
        parser.GetMemory().Limit(MEMORY_FIXED + MEMORY_PER_FILE_BYTE * strData.size());
        // Parsed from memory, so the path is never taken for a URL; its
        // reader's buffers count in the parser's budget too.
        xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(strData.data()),
                                     strData.size(), "results file", false, &parser.GetMemory());
        parser.parse(source);
        bParsed = true;
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
                // From sibling to sibling: a child list's item(j) and
                // getLength() each walk the list from its start.
                for (const xc::DOMNode* pChild = pTests->item(i)->getFirstChild();
                     pChild != nullptr; pChild = pChild->getNextSibling()) {
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
    } catch (const CRefusal& refusal) {
        m_strError = "\"" + strPath + "\" is not read: " + refusal.strReason + ".";
    } catch (const xc::OutOfMemoryException&) {
        const bool bExceeded = m_pImpl->m_pParser->GetMemory().WasExceeded();
        // What the parser holds goes first, so that the message can be made.
        m_pImpl->m_pParser.reset();
        m_strError = bExceeded ? "\"" + strPath +
                                     "\" is not read: it needs far more memory than a results file "
                                     "of its size would."
                               : "\"" + strPath + "\" could not be read: out of memory.";
    } catch (const xc::XMLException& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + ToUtf8(e.getMessage());
    } catch (const xc::DOMException& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + ToUtf8(e.getMessage());
    } catch (const std::bad_alloc&) {
        m_pImpl->m_pParser.reset();
        m_strError = "\"" + strPath + "\" could not be read: out of memory.";
    } catch (const std::exception& e) {
        m_strError = "\"" + strPath + "\" could not be read: " + e.what();
    }
    // The document is released here, not at the next load.
    try {
        if (bParsed && m_pImpl->m_pParser) {
            m_pImpl->m_pParser->GetMemory().Unlimit();
            m_pImpl->m_pParser->resetDocumentPool();
        } else {
            m_pImpl->MakeParser();
        }
    } catch (...) {
        // A parser that cannot be made now is reported by the next load.
        m_pImpl->m_pParser.reset();
    }
    if (!bRead)
        ResetResults(results);
    return bRead;
}
