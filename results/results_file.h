// The results file: a small XML text holding the seven records.
#pragma once

#include "results/test_result.h"

#include <cstddef>
#include <string>

// Writes nCount records, starting at pResults, to strPath (created or
// truncated). Lines end in CR LF and each reaches the file as soon as it is
// complete; the file ends right after "</NetTest>". Titles are written as
// UTF-8 with "<", ">", "&" and CR escaped, so that every written file reads
// back into the same records. False when the file cannot be created or
// written, with the reason in *pstrError for the user.
bool WriteResultsFile(std::size_t nCount, const std::string& strPath, const TestResult* pResults,
                      std::string* pstrError = nullptr);

// A title as the file holds it: escaped, and valid UTF-8 with no character
// that XML forbids (those become U+FFFD), so the file stays well-formed.
std::string EscapeResultTitle(const std::string& strTitle);

// The C library's decimal conversion, as a file's numbers are read: leading
// white space, an optional sign, digits up to the first other character, 0
// without digits. Values beyond 32 bits saturate.
int32_t ParseResultNumber(const std::string& strText);

// Appends each number of a series text, split at spaces only.
void ParseResultSeries(const std::string& strText, std::vector<int32_t>& series);
