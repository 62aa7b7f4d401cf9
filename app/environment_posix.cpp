#include "app/environment.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/auxv.h>
#include <utility>
#include <vector>

extern char** environ;

namespace {

// None of these names a folder that code is loaded from. The LC_ variables
// (the language, as LANG) are kept by their prefix.
constexpr const char* kKeptVariables[] = {
    // The display and how to reach it; the platform is a name among the
    // system's own plugins, whose folder is no longer the caller's choice.
    "DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "XDG_SESSION_TYPE",
    "QT_QPA_PLATFORM",
    // The language and the local time.
    "LANG", "LANGUAGE", "TZ",
    // The scale.
    "QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_ENABLE_HIGHDPI_SCALING",
    "QT_SCALE_FACTOR_ROUNDING_POLICY", "QT_FONT_DPI",
    // Where the user's files are, for the file dialogs.
    "HOME"};

bool IsKept(const std::string& strName) {
    if (strName.rfind("LC_", 0) == 0)
        return true;
    for (const char* pszName : kKeptVariables)
        if (strName == pszName)
            return true;
    return false;
}

} // namespace

bool IsPrivilegedStart() {
    return ::getauxval(AT_SECURE) != 0;
}

void KeepSafeEnvironment() {
    std::vector<std::pair<std::string, std::string>> kept;
    for (char** ppVariable = environ; ppVariable != nullptr && *ppVariable != nullptr;
         ++ppVariable) {
        const char* pszEqual = std::strchr(*ppVariable, '=');
        if (pszEqual == nullptr)
            continue;
        std::string strName(*ppVariable, static_cast<size_t>(pszEqual - *ppVariable));
        if (IsKept(strName))
            kept.emplace_back(std::move(strName), pszEqual + 1);
    }
    ::clearenv();
    // The first of twice-set names wins, as getenv would have read it.
    for (const auto& [strName, strValue] : kept)
        ::setenv(strName.c_str(), strValue.c_str(), 0);
    // Only programs the program starts (the manual's viewer) use it; they
    // start without the capability, from where root put them.
    ::setenv("PATH", "/usr/local/bin:/usr/bin:/bin", 1);
}
