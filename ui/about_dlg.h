// CAboutDlg: the About box. OK, Enter and Escape close it.
#pragma once

#include "res/template_dialog.h"

class CAboutDlg : public CTemplateDialog {
public:
    CAboutDlg();

protected:
    bool OnInitDialog() override;
};
