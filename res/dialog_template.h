// Dialog templates and the menu as data: each control with its kind, id,
// text, style and place in dialog units. CTemplateDialog builds widgets from
// them; nothing else describes the windows' layout.
#pragma once

#include <cstdint>
#include <span>

enum class ControlKind {
    Label,      // static text
    GroupBox,   // titled frame drawn behind the controls it groups
    Edit,       // single-line text field
    ComboBox,   // drop-down list; its height is that of the dropped list
    PushButton, //
    CheckBox,   // ticked and unticked by the user's clicks
    TabControl, // a row of tabs; taller than the row, a pane below it
    Frame,      // an empty framed area
    Icon,       // the icon whose id is the control's text
};

// Control and window styles, one bit each.
enum : uint32_t {
    STYLE_NONE = 0,
    STYLE_BORDER = 1u << 0,     // edit: bordered
    STYLE_AUTOSCROLL = 1u << 1, // edit: text scrolls sideways past the end
    STYLE_SUNKEN = 1u << 2,     // frame: sunken edge
    STYLE_EDITABLE = 1u << 3,   // combo box: the user may type a text of their own
    STYLE_SORTED = 1u << 4,     // combo box: items kept sorted as text
    STYLE_VSCROLL = 1u << 5,    // combo box: the list scrolls
    STYLE_AUTOCHECK = 1u << 6,  // check box: a click toggles it

    WINDOW_CAPTION = 1u << 16,  // title bar
    WINDOW_SYSMENU = 1u << 17,  // close box
    WINDOW_MINIMIZE = 1u << 18, // minimise box
    WINDOW_MAXIMIZE = 1u << 19, // maximise box
    WINDOW_RESIZABLE = 1u << 20,
    WINDOW_CENTERED = 1u << 21,
    WINDOW_CHILD = 1u << 22, // a page inside its owner, without caption
};

struct ControlTemplate {
    ControlKind kind;
    int nId; // IDC_STATIC for controls that code never looks up
    const char* pszText;
    uint32_t nStyle;
    int x, y, cx, cy; // dialog units
};

struct DialogTemplate {
    int nId;
    const char* pszTitle;
    uint32_t nStyle;
    int nMenu;  // 0: none
    int cx, cy; // client size, dialog units
    std::span<const ControlTemplate> controls;
};

struct MenuItemTemplate {
    const char* pszText; // null: a separator
    int nCommand;
};

struct MenuTemplate {
    const char* pszTitle;
    std::span<const MenuItemTemplate> items;
};

// The dialog font: "MS Shell Dlg" 8 is not found here; Liberation Sans, drawn
// to Arial's metrics, stands in at the same point size.
constexpr const char* DIALOG_FONT_FACE = "Liberation Sans";
constexpr int DIALOG_FONT_POINTS = 8;

// The template with this id (IDD_MAIN, IDD_CLIENT_PAGE, IDD_TESTS_PAGE,
// IDD_ABOUT), or null.
const DialogTemplate* FindDialogTemplate(int nId);
// The popups of menu IDR_MAIN_MENU, in order.
std::span<const MenuTemplate> MainMenuTemplate();
