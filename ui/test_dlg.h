// CTestDlg: the Run Tests page: the six test check boxes and the seconds
// each test runs. The session reads them by id when Start is pressed.
#pragma once

#include "res/template_dialog.h"

class CTestDlg : public CTemplateDialog {
public:
    CTestDlg();

protected:
    bool OnInitDialog() override;
};
