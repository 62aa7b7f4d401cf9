#include "ui/about_dlg.h"

#include "res/resource.h"

CAboutDlg::CAboutDlg() : CTemplateDialog(IDD_ABOUT, false) {}

bool CAboutDlg::OnInitDialog() {
    // The build's version, the one --version prints, not the template's.
    setWindowTitle(QStringLiteral("About Bandscope v" BANDSCOPE_VERSION));
    return true;
}
