#include "ui/prompts.h"

#include <QFileDialog>
#include <QMessageBox>

void CPrompts::MessageBox(const std::string& strCaption, const std::string& strText) const {
    if (m_pfnMessage) {
        m_pfnMessage(strCaption, strText);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(strCaption),
                    QString::fromStdString(strText), QMessageBox::Ok, m_pOwner);
    box.exec();
}

std::optional<std::string> CPrompts::GetFileName(bool bSave) const {
    if (m_pfnFileName)
        return m_pfnFileName(bSave);
    QFileDialog dialog(m_pOwner);
    dialog.setNameFilter(QString::fromLatin1(FILE_FILTER));
    dialog.setDefaultSuffix(QString::fromLatin1(DEFAULT_EXTENSION));
    if (bSave) {
        // Replacing a file the user picked is what they asked for.
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    } else {
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}
