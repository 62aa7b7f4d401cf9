// CMainApp: shows the main window modally; when it closes, the program ends.
#pragma once

class CMainApp {
public:
    // Runs the main window to its end; false, so no loop of the
    // application's own follows.
    bool InitInstance();
};
