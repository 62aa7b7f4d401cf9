// The test session controller. Sessions are not run yet: Start says so on the
// Client page and refuses.
#include "app/main_dlg.h"

#include "res/resource.h"

bool CMainDlg::OnStartStop(const char* pszNode, const char*, unsigned short) {
    if (pszNode == nullptr) {
        g_pMainDlg->StopTests();
        return true;
    }
    g_pMainDlg->GetNetDlg().SetDlgItemText(IDC_CURRENT_TEST, "not yet");
    return false;
}

void CMainDlg::StopTests() {}

void CMainDlg::OnNodeMessage(const char*, int32_t) {}

void CMainDlg::OnUdpMessage(const char*, int32_t, std::string, uint16_t) {}

void CMainDlg::OnPacket(const char*, int32_t) {}

void CMainDlg::OnRateSample(int32_t, float, float) {}
