// CPrompts: the one seam through which the window asks the user something or
// tells them something: message boxes and the results file dialogs. Tests and
// the run without a window put handlers of their own in place of the dialogs.
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

class CPrompts {
public:
    using PFNMESSAGE =
        std::function<void(const std::string& strCaption, const std::string& strText)>;
    // The chosen file's full path, or nothing when the user cancels.
    using PFNFILENAME = std::function<std::optional<std::string>(bool bSave)>;

    // The file dialogs' one filter and the extension added to a bare name.
    static constexpr const char* FILE_FILTER = "Net XML (*.xml)";
    static constexpr const char* DEFAULT_EXTENSION = "xml";

    explicit CPrompts(QWidget* pOwner) : m_pOwner(pOwner) {}

    // A message box with an OK button.
    void MessageBox(const std::string& strCaption, const std::string& strText) const;
    // The save or the open dialog for a results file.
    std::optional<std::string> GetFileName(bool bSave) const;

    void SetMessageHandler(PFNMESSAGE pfnMessage) { m_pfnMessage = std::move(pfnMessage); }
    void SetFileNameHandler(PFNFILENAME pfnFileName) { m_pfnFileName = std::move(pfnFileName); }

private:
    QWidget* m_pOwner;
    PFNMESSAGE m_pfnMessage;
    PFNFILENAME m_pfnFileName;
};
