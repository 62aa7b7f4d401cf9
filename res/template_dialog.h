// CTemplateDialog: a dialog built from one of the templates in
// dialog_template.h. Controls keep their numeric ids, so code finds them by
// id, and the template's dialog units become pixels of the dialog font.
#pragma once

#include "res/dialog_template.h"
#include "res/dialog_units.h"

#include <QDialog>
#include <map>
#include <optional>
#include <string>
#include <vector>

class QMenuBar;

class CTemplateDialog : public QDialog {
public:
    // bNeutraliseKeys: Enter and Escape do nothing anywhere in the dialog
    // (they never close it and never press a button).
    CTemplateDialog(int nTemplateId, bool bNeutraliseKeys);
    ~CTemplateDialog() override;

    // Builds the controls once and runs OnInitDialog. A page template becomes
    // a child widget of pParent; any other dialog a window owned by it.
    bool Create(QWidget* pParent = nullptr);
    // Create, then run modally; returns the result given to EndDialog.
    int DoModal(QWidget* pParent = nullptr);
    void EndDialog(int nResult) { done(nResult); }
    bool IsCreated() const { return m_bCreated; }

    QWidget* GetDlgItem(int nId) const;
    template <class T> T* GetDlgItemAs(int nId) const { return qobject_cast<T*>(GetDlgItem(nId)); }
    // Texts are UTF-8. nMaxChars cuts the text read, as a fixed buffer would.
    void SetDlgItemText(int nId, const std::string& strText);
    std::string GetDlgItemText(int nId, int nMaxChars = -1) const;
    // The control's text as a decimal number: leading blanks skipped, digits
    // read up to the first other character. No digits, a sign where none is
    // allowed, or a value beyond 32 bits give 0 and *pbTranslated false.
    unsigned GetDlgItemInt(int nId, bool* pbTranslated = nullptr, bool bSigned = false) const;
    // 1 ticked, 0 not (or not a check box).
    int IsDlgButtonChecked(int nId) const;
    void CheckDlgButton(int nId, int nCheck);
    // Adds a string to a combo box: at its sorted place in a sorted one,
    // else at the end. Returns its index, or -1 when nId is no combo box.
    int AddComboString(int nId, const std::string& strText);

    const DialogTemplate& GetTemplate() const { return *m_pTemplate; }
    const CDialogUnits& GetDialogUnits() const { return m_units; }
    // The widget the template's controls lie on: the dialog below its menu.
    QWidget* GetClientArea() const { return m_pClientArea; }
    QMenuBar* GetMenuBar() const { return m_pMenuBar; }

    // The place a control of the template has in pixels of the client area.
    QRect ControlRect(const ControlTemplate& control) const;

protected:
    virtual bool OnInitDialog() { return true; }
    // A push button was clicked or a menu command chosen. IDOK ends the
    // dialog unless a derived class says otherwise.
    virtual void OnCommand(int nId);
    // Makes the widget of one control; null to have the standard one made.
    virtual QWidget* CreateControl(const ControlTemplate& control, QWidget* pParent);

    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void Build();
    void FitTexts(const std::vector<QWidget*>& widgets);
    QWidget* CreateStandardControl(const ControlTemplate& control, QWidget* pParent);
    void BuildMenu();

    const DialogTemplate* m_pTemplate;
    const bool m_bNeutraliseKeys;
    bool m_bCreated = false;
    CDialogUnits m_units{4, 8};
    QWidget* m_pClientArea = nullptr;
    QMenuBar* m_pMenuBar = nullptr;
    std::map<int, QWidget*> m_controls;
    QStyle* m_pCheckBoxStyle = nullptr; // the dialog's, made with its first check box
};
