#include "res/dialog_template.h"
#include "res/resource.h"

namespace {

using K = ControlKind;

constexpr ControlTemplate kMainControls[] = {
    {K::TabControl, IDC_PAGE_TABS, "", STYLE_NONE, 7, 7, 153, 184},
    {K::TabControl, IDC_CHART_TABS, "", STYLE_NONE, 167, 7, 296, 14},
    {K::Frame, IDC_CHART_FRAME, "", STYLE_SUNKEN, 167, 20, 296, 171},
};

constexpr ControlTemplate kClientControls[] = {
    {K::GroupBox, IDC_STATIC, "Client", STYLE_NONE, 0, 0, 140, 74},
    {K::Label, IDC_STATIC, "Node Port:", STYLE_NONE, 5, 13, 36, 8},
    {K::Edit, IDC_NODE_PORT, "", STYLE_BORDER | STYLE_AUTOSCROLL, 43, 10, 30, 14},
    {K::Label, IDC_STATIC, "Node IP:", STYLE_NONE, 5, 28, 29, 8},
    {K::Edit, IDC_NODE_IP, "", STYLE_BORDER | STYLE_AUTOSCROLL, 43, 25, 88, 14},
    {K::Label, IDC_STATIC, "Client IP:", STYLE_NONE, 5, 42, 30, 8},
    {K::ComboBox, IDC_CLIENT_IP, "", STYLE_EDITABLE | STYLE_SORTED | STYLE_VSCROLL, 43, 40, 88, 58},
    {K::PushButton, IDC_START_STOP, "Start", STYLE_NONE, 93, 58, 38, 11},
    {K::GroupBox, IDC_STATIC, "Status", STYLE_NONE, 0, 79, 139, 52},
    {K::Label, IDC_STATIC, "Current Test:", STYLE_NONE, 5, 90, 44, 8},
    {K::Label, IDC_CURRENT_TEST, "", STYLE_NONE, 86, 89, 46, 8},
    {K::Label, IDC_STATIC, "Download Rate (KB/s):", STYLE_NONE, 5, 102, 74, 8},
    {K::Label, IDC_DOWNLOAD_RATE, "", STYLE_NONE, 86, 102, 46, 8},
    {K::Label, IDC_STATIC, "Upload Rate (KB/s):", STYLE_NONE, 5, 116, 64, 8},
    {K::Label, IDC_UPLOAD_RATE, "", STYLE_NONE, 86, 116, 46, 8},
};

constexpr ControlTemplate kTestsControls[] = {
    {K::GroupBox, IDC_STATIC, "Run Tests", STYLE_NONE, 0, 0, 139, 160},
    {K::GroupBox, IDC_STATIC, "TCP Tests", STYLE_NONE, 4, 12, 131, 49},
    {K::CheckBox, IDC_TEST_BASE + 1, "Test 1: TCP Upload Test", STYLE_AUTOCHECK, 7, 23, 93, 10},
    {K::CheckBox, IDC_TEST_BASE + 2, "Test 2: TCP Download Test", STYLE_AUTOCHECK, 7, 35, 103, 10},
    {K::CheckBox, IDC_TEST_BASE + 3, "Test 3: TCP Upload/Download Test", STYLE_AUTOCHECK, 7, 47,
     124, 10},
    {K::GroupBox, IDC_STATIC, "UDP Tests", STYLE_NONE, 4, 65, 131, 49},
    {K::CheckBox, IDC_TEST_BASE + 4, "Test 4: UDP Upload Test", STYLE_AUTOCHECK, 7, 76, 94, 10},
    {K::CheckBox, IDC_TEST_BASE + 5, "Test 5: UDP Download Test", STYLE_AUTOCHECK, 7, 88, 103, 10},
    {K::CheckBox, IDC_TEST_BASE + 6, "Test 6: UDP Upload/Download Test", STYLE_AUTOCHECK, 7, 100,
     124, 10},
    {K::GroupBox, IDC_STATIC, "Time Length Per Test", STYLE_NONE, 4, 116, 131, 40},
    {K::Edit, IDC_SECONDS, "", STYLE_BORDER | STYLE_AUTOSCROLL, 7, 128, 21, 12},
    {K::Label, IDC_STATIC, "Seconds", STYLE_NONE, 32, 130, 28, 8},
};

// The icon's own size decides its extent; the labels' widths are ours.
constexpr ControlTemplate kAboutControls[] = {
    {K::Icon, IDC_STATIC, "133", STYLE_NONE, 7, 14, 21, 20},
    {K::Label, IDC_STATIC, "Author:", STYLE_NONE, 41, 7, 40, 8},
    {K::Label, IDC_STATIC, "The Bandscope developers", STYLE_NONE, 85, 7, 88, 8},
    {K::Label, IDC_STATIC, "EMail:", STYLE_NONE, 41, 20, 40, 8},
    {K::Label, IDC_STATIC, "bandscope@example.org", STYLE_NONE, 85, 20, 88, 8},
    {K::Label, IDC_STATIC, "Website:", STYLE_NONE, 41, 33, 40, 8},
    {K::Label, IDC_STATIC, "https://example.org/bandscope", STYLE_NONE, 85, 33, 88, 8},
    {K::PushButton, IDOK, "OK", STYLE_NONE, 119, 50, 50, 14},
};

constexpr DialogTemplate kTemplates[] = {
    {IDD_MAIN, "Bandscope",
     WINDOW_CAPTION | WINDOW_SYSMENU | WINDOW_MINIMIZE | WINDOW_MAXIMIZE | WINDOW_RESIZABLE |
         WINDOW_CENTERED,
     IDR_MAIN_MENU, 470, 198, kMainControls},
    {IDD_CLIENT_PAGE, "", WINDOW_CHILD, 0, 140, 160, kClientControls},
    {IDD_TESTS_PAGE, "", WINDOW_CHILD, 0, 140, 160, kTestsControls},
    {IDD_ABOUT, "About Bandscope v1.0", WINDOW_CAPTION | WINDOW_SYSMENU | WINDOW_CENTERED, 0, 176,
     71, kAboutControls},
};

constexpr MenuItemTemplate kFileItems[] = {
    {"Load Test", ID_FILE_LOAD_TEST},
    {"Save Test", ID_FILE_SAVE_TEST},
    {nullptr, 0},
    {"Exit", ID_FILE_EXIT},
};

constexpr MenuItemTemplate kHelpItems[] = {
    {"Manual", ID_HELP_MANUAL},
    {nullptr, 0},
    {"About", ID_HELP_ABOUT},
};

constexpr MenuTemplate kMainMenu[] = {
    {"File", kFileItems},
    {"Help", kHelpItems},
};

} // namespace

const DialogTemplate* FindDialogTemplate(int nId) {
    for (const DialogTemplate& dialog : kTemplates) {
        if (dialog.nId == nId)
            return &dialog;
    }
    return nullptr;
}

std::span<const MenuTemplate> MainMenuTemplate() {
    return kMainMenu;
}
