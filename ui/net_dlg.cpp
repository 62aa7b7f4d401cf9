#include "ui/net_dlg.h"

#include "res/resource.h"

#include <QComboBox>
#include <QLineEdit>
#include <sstream>

CNetDlg::CNetDlg() : CTemplateDialog(IDD_CLIENT_PAGE, true) {}

bool CNetDlg::OnInitDialog() {
    GetDlgItemAs<QLineEdit>(IDC_NODE_PORT)->setMaxLength(5);
    SetDlgItemText(IDC_NODE_PORT, "20000");

    // One blank after each address; the list sorts them as text.
    std::istringstream addresses(m_socket.GetLocalAddresses());
    std::string strAddress;
    while (addresses >> strAddress)
        AddComboString(IDC_CLIENT_IP, strAddress);
    GetDlgItemAs<QComboBox>(IDC_CLIENT_IP)->setCurrentIndex(0);

    SetStatus(0, 0, 0);
    return true;
}

void CNetDlg::OnCommand(int nId) {
    if (nId == IDC_START_STOP)
        OnStartButton();
}

void CNetDlg::OnStartButton() {
    const std::string strNode = GetDlgItemText(IDC_NODE_IP, MAX_ADDRESS_CHARS);
    const std::string strClient = GetDlgItemText(IDC_CLIENT_IP, MAX_ADDRESS_CHARS);
    // Not a number reads as 0; above 65535 the port wraps, as a 16-bit value does.
    const auto nPort = static_cast<unsigned short>(GetDlgItemInt(IDC_NODE_PORT));
    if (m_pfnStartStop == nullptr)
        return;
    // What the button then reads is the session's to say (ShowRunning).
    if (m_bRunning)
        m_pfnStartStop(nullptr, nullptr, 0);
    else
        m_pfnStartStop(strNode.c_str(), strClient.c_str(), nPort);
}

void CNetDlg::ShowRunning(bool bRunning) {
    m_bRunning = bRunning;
    SetDlgItemText(IDC_START_STOP, bRunning ? "Stop" : "Start");
}

void CNetDlg::SetStatus(int nCurrent, int nDownload, int nUpload) {
    if (nCurrent >= 0)
        SetDlgItemText(IDC_CURRENT_TEST,
                       std::to_string(nCurrent) + " (" + std::to_string(m_nTests) + ")");
    if (nDownload >= 0)
        SetDlgItemText(IDC_DOWNLOAD_RATE, std::to_string(nDownload));
    if (nUpload >= 0)
        SetDlgItemText(IDC_UPLOAD_RATE, std::to_string(nUpload));
}
