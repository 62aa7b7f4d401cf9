#include "results/results_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

// Length of the valid UTF-8 sequence at s[i], 0 when it is not one.
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    const bool bOverlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
    const bool bSurrogate = cp >= 0xD800 && cp <= 0xDFFF;
    // XML 1.0 allows neither U+FFFE nor U+FFFF.
    if (bOverlong || bSurrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return n;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

class CLineWriter {
public:
    explicit CLineWriter(std::FILE* pFile) : m_pFile(pFile) {}

    // Writes one line and its CR LF, and flushes it.
    void Line(const std::string& strLine) {
        Write(strLine);
        Write("\r\n");
        if (m_nErrno == 0 && std::fflush(m_pFile) != 0)
            m_nErrno = errno;
    }
    void Write(const std::string& strText) {
        if (m_nErrno == 0 && !strText.empty() &&
            std::fwrite(strText.data(), 1, strText.size(), m_pFile) != strText.size())
            m_nErrno = errno != 0 ? errno : EIO;
    }
    int GetErrno() const { return m_nErrno; }

private:
    std::FILE* m_pFile;
    int m_nErrno = 0;
};

std::string FormatSeries(const std::vector<int32_t>& series) {
    std::string strText;
    strText.reserve(series.size() * 6);
    for (std::size_t i = 0; i < series.size(); ++i) {
        if (i > 0)
            strText += ' ';
        strText += std::to_string(series[i]);
    }
    return strText;
}

void SetError(std::string* pstrError, const std::string& strText) {
    if (pstrError != nullptr)
        *pstrError = strText;
}

} // namespace

std::string EscapeResultTitle(const std::string& strTitle) {
    std::string strOut;
    strOut.reserve(strTitle.size());
    for (std::size_t i = 0; i < strTitle.size();) {
        const char c = strTitle[i];
        const std::size_t n = Utf8SequenceLength(strTitle, i);
        if (n == 0) {
            strOut += kReplacement;
            ++i;
            continue;
        }
        if (n > 1) {
            strOut.append(strTitle, i, n);
            i += n;
            continue;
        }
        switch (c) {
        case '<':
            strOut += "&lt;";
            break;
        case '>':
            strOut += "&gt;";
            break;
        case '&':
            strOut += "&amp;";
            break;
        // A reader turns a raw CR into LF; the reference keeps it.
        case '\r':
            strOut += "&#13;";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n')
                strOut += kReplacement;
            else
                strOut += c;
        }
        ++i;
    }
    return strOut;
}

int32_t ParseResultNumber(const std::string& strText) {
    std::size_t i = 0;
    while (i < strText.size() && IsSpace(strText[i]))
        ++i;
    bool bNegative = false;
    if (i < strText.size() && (strText[i] == '+' || strText[i] == '-')) {
        bNegative = strText[i] == '-';
        ++i;
    }
    constexpr int64_t kLimit = int64_t{1} << 31;
    int64_t nValue = 0;
    for (; i < strText.size() && strText[i] >= '0' && strText[i] <= '9'; ++i) {
        if (nValue < kLimit)
            nValue = nValue * 10 + (strText[i] - '0');
    }
    if (nValue > kLimit)
        nValue = kLimit;
    if (bNegative)
        nValue = -nValue;
    if (nValue > std::numeric_limits<int32_t>::max())
        nValue = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(nValue);
}

void ParseResultSeries(const std::string& strText, std::vector<int32_t>& series) {
    std::size_t nStart = 0;
    while (nStart < strText.size()) {
        if (strText[nStart] == ' ') {
            ++nStart;
            continue;
        }
        std::size_t nEnd = strText.find(' ', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        series.push_back(ParseResultNumber(strText.substr(nStart, nEnd - nStart)));
        nStart = nEnd;
    }
}

bool WriteResultsFile(std::size_t nCount, const std::string& strPath, const TestResult* pResults,
                      std::string* pstrError) {
    // Binary mode: the line ends are written as CR LF by hand.
    std::FILE* pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        SetError(pstrError, "Cannot create \"" + strPath + "\": " + std::strerror(errno));
        return false;
    }
    CLineWriter writer(pFile);
    writer.Line("<?xml version=\"1.0\"?>");
    writer.Line("");
    writer.Line("<NetTest>");
    for (std::size_t i = 0; i < nCount && pResults != nullptr; ++i) {
        const TestResult& result = pResults[i];
        writer.Line("\t<test>");
        writer.Line("\t\t<name>" + EscapeResultTitle(result.name) + "</name>");
        writer.Line("\t\t<download>" + FormatSeries(result.download) + "</download>");
        writer.Line("\t\t<upload>" + FormatSeries(result.upload) + "</upload>");
        writer.Line("\t\t<max>" + std::to_string(result.max) + "</max>");
        writer.Line("\t</test>");
    }
    writer.Write("</NetTest>");
    int nErrno = writer.GetErrno();
    if (std::fclose(pFile) != 0 && nErrno == 0)
        nErrno = errno != 0 ? errno : EIO;
    if (nErrno != 0) {
        SetError(pstrError, "Cannot write \"" + strPath + "\": " + std::strerror(nErrno));
        return false;
    }
    return true;
}
