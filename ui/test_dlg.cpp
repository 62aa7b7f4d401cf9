#include "ui/test_dlg.h"

#include "net/test_kinds.h"
#include "res/resource.h"

#include <QLineEdit>

CTestDlg::CTestDlg() : CTemplateDialog(IDD_TESTS_PAGE, true) {}

bool CTestDlg::OnInitDialog() {
    for (int nTest = 1; nTest <= kTestCount; ++nTest)
        CheckDlgButton(IDC_TEST_BASE + nTest, 1);
    GetDlgItemAs<QLineEdit>(IDC_SECONDS)->setMaxLength(3);
    SetDlgItemText(IDC_SECONDS, "30");
    return true;
}
