#include "ui/about_dlg.h"

#include "res/resource.h"

CAboutDlg::CAboutDlg() : CTemplateDialog(IDD_ABOUT, false) {}
