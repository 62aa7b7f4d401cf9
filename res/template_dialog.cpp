#include "res/template_dialog.h"

#include "res/group_box.h"
#include "res/icons.h"
#include "res/resource.h"
#include "res/tab_control.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QStyleOptionButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>
#include <cstdint>

namespace {

bool IsNeutralisedKey(int nKey) {
    return nKey == Qt::Key_Return || nKey == Qt::Key_Enter || nKey == Qt::Key_Escape;
}

QFont DialogFont() {
    QFont font(QString::fromLatin1(DIALOG_FONT_FACE));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(DIALOG_FONT_POINTS);
    return font;
}

// Check boxes as dialogs draw them: the text a little closer to the box.
class CCheckBoxStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* pOption,
                    const QWidget* pWidget) const override {
        if (metric == PM_CheckBoxLabelSpacing)
            return 3;
        return QProxyStyle::pixelMetric(metric, pOption, pWidget);
    }
};

// The pixels by which a control's text is wider than the room the control
// gives it (0 or less: it shows whole).
int TextShortfall(QWidget* pWidget) {
    const QFontMetrics metrics = pWidget->fontMetrics();
    if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
        return metrics.horizontalAdvance(pLabel->text()) + 2 * pLabel->margin() - pLabel->width();
    auto* pButton = qobject_cast<QAbstractButton*>(pWidget);
    if (pButton == nullptr)
        return 0;
    const bool bCheck = qobject_cast<QCheckBox*>(pButton) != nullptr;
    QStyleOptionButton option;
    option.initFrom(pButton);
    option.text = pButton->text();
    const QRect rcText = pButton->style()->subElementRect(
        bCheck ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, pButton);
    return metrics.horizontalAdvance(pButton->text()) - rcText.width();
}

} // namespace

CTemplateDialog::CTemplateDialog(int nTemplateId, bool bNeutraliseKeys)
    : m_pTemplate(FindDialogTemplate(nTemplateId)), m_bNeutraliseKeys(bNeutraliseKeys) {
    Q_ASSERT(m_pTemplate != nullptr);
}

CTemplateDialog::~CTemplateDialog() = default;

bool CTemplateDialog::Create(QWidget* pParent) {
    if (m_bCreated)
        return true;
    const uint32_t nStyle = m_pTemplate->nStyle;
    if (nStyle & WINDOW_CHILD) {
        setParent(pParent, Qt::Widget);
    } else {
        Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint;
        if (nStyle & WINDOW_SYSMENU)
            flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        if (nStyle & WINDOW_MINIMIZE)
            flags |= Qt::WindowMinimizeButtonHint;
        if (nStyle & WINDOW_MAXIMIZE)
            flags |= Qt::WindowMaximizeButtonHint;
        setParent(pParent, flags);
        setWindowTitle(QString::fromUtf8(m_pTemplate->pszTitle));
        setWindowIcon(LoadIcon(IDI_MAIN));
    }
    Build();
    m_bCreated = true;
    OnInitDialog();
    return true;
}

int CTemplateDialog::DoModal(QWidget* pParent) {
    Create(pParent);
    return exec();
}

void CTemplateDialog::Build() {
    setFont(DialogFont());
    m_units = CDialogUnits(font());

    auto* pLayout = new QVBoxLayout(this);
    pLayout->setContentsMargins(0, 0, 0, 0);
    pLayout->setSpacing(0);
    if (m_pTemplate->nMenu != 0)
        BuildMenu();
    m_pClientArea = new QWidget(this);
    pLayout->addWidget(m_pClientArea);

    std::vector<QWidget*> widgets;
    for (const ControlTemplate& control : m_pTemplate->controls) {
        QWidget* pWidget = CreateControl(control, m_pClientArea);
        if (pWidget == nullptr)
            pWidget = CreateStandardControl(control, m_pClientArea);
        widgets.push_back(pWidget);
        pWidget->setGeometry(ControlRect(control));
        if (control.kind == ControlKind::ComboBox) {
            // The template gives the height of the dropped list; the box
            // itself is as tall as its text needs.
            auto* pCombo = static_cast<QComboBox*>(pWidget);
            const int nList = m_units.ToPixelsY(control.cy);
            const int nBox = std::min(nList, pCombo->sizeHint().height());
            pCombo->resize(pCombo->width(), nBox);
            const int nItem = std::max(1, pCombo->fontMetrics().height() + 2);
            pCombo->setMaxVisibleItems(std::max(1, (nList - nBox) / nItem));
        }
        if (control.nId != IDC_STATIC)
            m_controls[control.nId] = pWidget;
    }
    FitTexts(widgets);

    const QSize client(m_units.ToPixelsX(m_pTemplate->cx), m_units.ToPixelsY(m_pTemplate->cy));
    const int nMenu = m_pMenuBar ? m_pMenuBar->sizeHint().height() : 0;
    resize(client.width(), client.height() + nMenu);
    if (!(m_pTemplate->nStyle & WINDOW_RESIZABLE) && !(m_pTemplate->nStyle & WINDOW_CHILD))
        setFixedSize(size());
    if ((m_pTemplate->nStyle & WINDOW_CENTERED) && isWindow()) {
        const QScreen* pScreen =
            parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
        if (pScreen != nullptr) {
            QRect rect(QPoint(0, 0), size());
            rect.moveCenter(pScreen->availableGeometry().center());
            move(rect.topLeft());
        }
    }
}

// The template's places suit the font it was drawn for; texts of this font
// may be wider. A control whose text would be cut grows to the right as far
// as its group box's frame, the dialog's edge and the next control in its
// row allow.
void CTemplateDialog::FitTexts(const std::vector<QWidget*>& widgets) {
    const int nClientRight = m_units.ToPixelsX(m_pTemplate->cx);
    for (size_t i = 0; i < widgets.size(); ++i) {
        QWidget* pWidget = widgets[i];
        const int nShortfall = TextShortfall(pWidget);
        if (nShortfall <= 0)
            continue;
        const QRect rect = pWidget->geometry();
        int nRight = nClientRight;
        int nGroupArea = INT32_MAX;
        for (size_t j = 0; j < widgets.size(); ++j) {
            const QRect other = widgets[j]->geometry();
            if (j == i || other.bottom() < rect.top() || other.top() > rect.bottom())
                continue;
            if (auto* pGroup = dynamic_cast<CGroupBox*>(widgets[j])) {
                // The innermost group box that holds the control bounds it.
                const int nArea = other.width() * other.height();
                if (other.contains(rect.topLeft()) && nArea < nGroupArea) {
                    nGroupArea = nArea;
                    nRight = std::min(nClientRight, other.x() + pGroup->InsideRect().right() + 1);
                }
            }
        }
        for (size_t j = 0; j < widgets.size(); ++j) {
            const QRect other = widgets[j]->geometry();
            if (j != i && dynamic_cast<CGroupBox*>(widgets[j]) == nullptr &&
                other.left() >= rect.right() && other.top() <= rect.bottom() &&
                other.bottom() >= rect.top())
                nRight = std::min(nRight, other.left() - 1);
        }
        pWidget->resize(std::clamp(rect.width() + nShortfall, rect.width(), nRight - rect.x()),
                        rect.height());
    }
}

QRect CTemplateDialog::ControlRect(const ControlTemplate& control) const {
    if (control.kind == ControlKind::Icon) {
        // An icon keeps its own size, as dialogs draw icons.
        return QRect(m_units.ToPixelsX(control.x), m_units.ToPixelsY(control.y), 32, 32);
    }
    return m_units.ToPixels(control.x, control.y, control.cx, control.cy);
}

QWidget* CTemplateDialog::CreateControl(const ControlTemplate&, QWidget*) {
    return nullptr;
}

QWidget* CTemplateDialog::CreateStandardControl(const ControlTemplate& control, QWidget* pParent) {
    const QString strText = QString::fromUtf8(control.pszText);
    switch (control.kind) {
    case ControlKind::Label: {
        auto* pLabel = new QLabel(strText, pParent);
        pLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return pLabel;
    }
    case ControlKind::GroupBox:
        return new CGroupBox(strText, pParent);
    case ControlKind::Edit: {
        auto* pEdit = new QLineEdit(strText, pParent);
        pEdit->setFrame((control.nStyle & STYLE_BORDER) != 0);
        return pEdit;
    }
    case ControlKind::ComboBox: {
        auto* pCombo = new QComboBox(pParent);
        pCombo->setEditable((control.nStyle & STYLE_EDITABLE) != 0);
        // Enter in the field never adds the typed text to the list.
        pCombo->setInsertPolicy(QComboBox::NoInsert);
        pCombo->setProperty("sorted", (control.nStyle & STYLE_SORTED) != 0);
        return pCombo;
    }
    case ControlKind::PushButton: {
        auto* pButton = new QPushButton(strText, pParent);
        pButton->setAutoDefault(!m_bNeutraliseKeys);
        pButton->setDefault(control.nId == IDOK && !m_bNeutraliseKeys);
        const int nId = control.nId;
        connect(pButton, &QPushButton::clicked, this, [this, nId] { OnCommand(nId); });
        return pButton;
    }
    case ControlKind::CheckBox: {
        auto* pBox = new QCheckBox(strText, pParent);
        if (m_pCheckBoxStyle == nullptr) {
            m_pCheckBoxStyle = new CCheckBoxStyle;
            m_pCheckBoxStyle->setParent(this);
        }
        pBox->setStyle(m_pCheckBoxStyle);
        return pBox;
    }
    case ControlKind::TabControl:
        return new CTabControl(pParent);
    case ControlKind::Frame: {
        auto* pFrame = new QFrame(pParent);
        pFrame->setFrameStyle((control.nStyle & STYLE_SUNKEN) ? QFrame::Panel | QFrame::Sunken
                                                              : QFrame::NoFrame);
        return pFrame;
    }
    case ControlKind::Icon: {
        auto* pIcon = new QLabel(pParent);
        pIcon->setPixmap(LoadIconPixmap(QString::fromUtf8(control.pszText).toInt(), 32));
        return pIcon;
    }
    }
    return new QWidget(pParent);
}

void CTemplateDialog::BuildMenu() {
    m_pMenuBar = new QMenuBar(this);
    m_pMenuBar->setNativeMenuBar(false);
    for (const MenuTemplate& popup : MainMenuTemplate()) {
        QMenu* pMenu = m_pMenuBar->addMenu(QString::fromUtf8(popup.pszTitle));
        for (const MenuItemTemplate& item : popup.items) {
            if (item.pszText == nullptr) {
                pMenu->addSeparator();
                continue;
            }
            QAction* pAction = pMenu->addAction(QString::fromUtf8(item.pszText));
            pAction->setData(item.nCommand);
            const int nCommand = item.nCommand;
            connect(pAction, &QAction::triggered, this, [this, nCommand] { OnCommand(nCommand); });
        }
    }
    static_cast<QVBoxLayout*>(layout())->setMenuBar(m_pMenuBar);
}

void CTemplateDialog::OnCommand(int nId) {
    if (nId == IDOK)
        EndDialog(IDOK);
}

// Keys that the controls leave unused reach the dialog: Escape would close
// it and Enter press its default button. Buttons here take no Enter of their
// own (not auto-default) and lists add no typed item (no insert policy).
void CTemplateDialog::keyPressEvent(QKeyEvent* pEvent) {
    if (m_bNeutraliseKeys && IsNeutralisedKey(pEvent->key())) {
        pEvent->accept();
        return;
    }
    QDialog::keyPressEvent(pEvent);
}

QWidget* CTemplateDialog::GetDlgItem(int nId) const {
    const auto it = m_controls.find(nId);
    return it == m_controls.end() ? nullptr : it->second;
}

void CTemplateDialog::SetDlgItemText(int nId, const std::string& strText) {
    QWidget* pWidget = GetDlgItem(nId);
    const QString strValue = QString::fromStdString(strText);
    if (auto* pEdit = qobject_cast<QLineEdit*>(pWidget))
        pEdit->setText(strValue);
    else if (auto* pCombo = qobject_cast<QComboBox*>(pWidget))
        pCombo->setEditText(strValue);
    else if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
        pLabel->setText(strValue);
    else if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget))
        pButton->setText(strValue);
    else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget))
        pGroup->setTitle(strValue);
}

std::string CTemplateDialog::GetDlgItemText(int nId, int nMaxChars) const {
    const QWidget* pWidget = GetDlgItem(nId);
    QString strText;
    if (auto* pEdit = qobject_cast<const QLineEdit*>(pWidget))
        strText = pEdit->text();
    else if (auto* pCombo = qobject_cast<const QComboBox*>(pWidget))
        strText = pCombo->currentText();
    else if (auto* pLabel = qobject_cast<const QLabel*>(pWidget))
        strText = pLabel->text();
    else if (auto* pButton = qobject_cast<const QAbstractButton*>(pWidget))
        strText = pButton->text();
    else if (auto* pGroup = qobject_cast<const QGroupBox*>(pWidget))
        strText = pGroup->title();
    if (nMaxChars >= 0 && strText.size() > nMaxChars)
        strText.truncate(nMaxChars);
    return strText.toStdString();
}

unsigned CTemplateDialog::GetDlgItemInt(int nId, bool* pbTranslated, bool bSigned) const {
    const std::string strText = GetDlgItemText(nId);
    size_t i = 0;
    while (i < strText.size() && strText[i] == ' ')
        ++i;
    bool bNegative = false;
    if (bSigned && i < strText.size() && strText[i] == '-') {
        bNegative = true;
        ++i;
    }
    uint64_t nValue = 0;
    bool bDigits = false;
    bool bOk = true;
    for (; i < strText.size() && std::isdigit(static_cast<unsigned char>(strText[i])); ++i) {
        bDigits = true;
        nValue = nValue * 10 + static_cast<unsigned>(strText[i] - '0');
        if (nValue > (bSigned ? (bNegative ? 0x80000000ull : 0x7FFFFFFFull) : 0xFFFFFFFFull)) {
            bOk = false;
            break;
        }
    }
    bOk = bOk && bDigits;
    if (pbTranslated != nullptr)
        *pbTranslated = bOk;
    if (!bOk)
        return 0;
    return bNegative ? static_cast<unsigned>(-static_cast<int64_t>(nValue))
                     : static_cast<unsigned>(nValue);
}

int CTemplateDialog::IsDlgButtonChecked(int nId) const {
    const auto* pBox = qobject_cast<const QCheckBox*>(GetDlgItem(nId));
    return pBox != nullptr && pBox->isChecked() ? 1 : 0;
}

void CTemplateDialog::CheckDlgButton(int nId, int nCheck) {
    if (auto* pBox = qobject_cast<QCheckBox*>(GetDlgItem(nId)))
        pBox->setChecked(nCheck != 0);
}

int CTemplateDialog::AddComboString(int nId, const std::string& strText) {
    auto* pCombo = qobject_cast<QComboBox*>(GetDlgItem(nId));
    if (pCombo == nullptr)
        return -1;
    const QString strItem = QString::fromStdString(strText);
    int nIndex = pCombo->count();
    if (pCombo->property("sorted").toBool()) {
        // Sorted lists compare as text, without regard to case.
        nIndex = 0;
        while (nIndex < pCombo->count() &&
               QString::compare(pCombo->itemText(nIndex), strItem, Qt::CaseInsensitive) <= 0)
            ++nIndex;
    }
    pCombo->insertItem(nIndex, strItem);
    return nIndex;
}
