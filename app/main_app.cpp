#include "app/main_app.h"

#include "app/main_dlg.h"

bool CMainApp::InitInstance() {
    CMainDlg dlg;
    dlg.DoModal();
    return false;
}
