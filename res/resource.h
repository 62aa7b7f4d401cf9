// Numeric ids of the dialogs, the menu, the icons and every control. Code
// finds a control by its id, as the templates give it.
#pragma once

// Templates, menu and icons.
constexpr int IDD_MAIN = 102;
constexpr int IDD_CLIENT_PAGE = 129;
constexpr int IDD_TESTS_PAGE = 130;
constexpr int IDR_MAIN_MENU = 131;
constexpr int IDD_ABOUT = 132;
constexpr int IDI_MAIN = 133;
constexpr int IDI_NODE = 134;

// Controls without an id of their own (labels, group boxes).
constexpr int IDC_STATIC = -1;
constexpr int IDOK = 1;

// Main window.
constexpr int IDC_CHART_FRAME = 1005;
constexpr int IDC_PAGE_TABS = 1012;
constexpr int IDC_CHART_TABS = 1020;

// Client page.
constexpr int IDC_NODE_PORT = 1009;
constexpr int IDC_NODE_IP = 1010;
constexpr int IDC_START_STOP = 1011;
constexpr int IDC_CLIENT_IP = 1022;
constexpr int IDC_CURRENT_TEST = 1023;
constexpr int IDC_DOWNLOAD_RATE = 1024;
constexpr int IDC_UPLOAD_RATE = 1025;

// Tests page: the check box of test N is IDC_TEST_BASE + N (1013..1018).
constexpr int IDC_TEST_BASE = 1012;
constexpr int IDC_SECONDS = 1019;

// Menu commands.
constexpr int ID_FILE_EXIT = 32772;
constexpr int ID_HELP_MANUAL = 32773;
constexpr int ID_HELP_ABOUT = 32774;
constexpr int ID_FILE_LOAD_TEST = 32776;
constexpr int ID_FILE_SAVE_TEST = 32777;
