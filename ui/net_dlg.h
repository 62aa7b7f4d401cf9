// CNetDlg: the Client page. It takes the node's address and port and the
// local address to test from, holds the Start/Stop button and shows the
// session's live status. It does no networking of its own: the button calls
// the window's Start/Stop callback.
#pragma once

#include "net/socket.h"
#include "res/template_dialog.h"

#include <cstdint>

class CNetDlg : public CTemplateDialog {
public:
    // Start with the node text, the client text and the port; Stop with two
    // nulls and 0. True: a session runs now (always true for Stop).
    using PFNSTARTSTOP = bool (*)(const char* pszNode, const char* pszClient, unsigned short nPort);

    // The longest text read from the address fields.
    static constexpr int MAX_ADDRESS_CHARS = 79;

    CNetDlg();

    // Sets each label whose value is 0 or more: the current test as "%d (%d)"
    // with m_nTests, the rates as whole numbers. A negative value leaves its
    // label as it is.
    void SetStatus(int nCurrent, int nDownload, int nUpload);
    // The Start/Stop button's click: Start or Stop by what the button reads.
    void OnStartButton();
    // What the button reads: "Stop" while a session starts or runs. Only the
    // session controller calls it; the page never changes it by itself.
    void ShowRunning(bool bRunning);

    PFNSTARTSTOP m_pfnStartStop = nullptr;
    int32_t m_nTests = 0;    // tests queued in the running session
    bool m_bRunning = false; // the button reads "Stop" (set by ShowRunning only)

protected:
    bool OnInitDialog() override;
    void OnCommand(int nId) override;

private:
    CSocket m_socket; // lists this machine's addresses
};
