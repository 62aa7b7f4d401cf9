// Builds the manual: docs/manual.md laid out as a PDF, with pictures of the
// real window grabbed offscreen (a results file loaded, as a user would).
//   make_manual MANUAL.md RESULTS.xml OUTPUT.pdf [PICTURES_DIR]
// With PICTURES_DIR the pictures are also written there as PNG files.
#include "app/main_dlg.h"
#include "res/tab_control.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPageLayout>
#include <QPdfWriter>
#include <QTabBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>
#include <QTextImageFormat>
#include <QTextTable>
#include <cstdio>
#include <map>

namespace {

// Lets the window settle, so a grab shows what a screen would.
void Settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// The pictures the manual refers to by name.
std::map<QString, QImage> GrabPictures(const std::string& strResults) {
    std::map<QString, QImage> pictures;
    CMainDlg dlg;
    dlg.Create();
    dlg.GetPrompts().SetFileNameHandler([&](bool) { return std::optional(strResults); });
    dlg.GetPrompts().SetMessageHandler(
        [](const std::string& strCaption, const std::string& strText) {
            std::fprintf(stderr, "%s: %s\n", strCaption.c_str(), strText.c_str());
        });
    dlg.show();
    dlg.resize(980, 560);
    dlg.OnLoadTest();
    dlg.GetChartTabs().SetCurSel(3);
    Settle();
    pictures[QStringLiteral("main-window.png")] = dlg.grab().toImage();
    dlg.GetChartTabs().SetCurSel(0);
    Settle();
    pictures[QStringLiteral("averages.png")] = dlg.GetChartFrame().grab().toImage();
    dlg.GetPageTabs().SetCurSel(1);
    Settle();
    pictures[QStringLiteral("tests-page.png")] = dlg.GetTestDlg().grab().toImage();
    dlg.GetPageTabs().SetCurSel(0);
    Settle();
    pictures[QStringLiteral("client-page.png")] = dlg.GetNetDlg().grab().toImage();
    return pictures;
}

// Scales every picture to at most the text's width.
void FitPictures(QTextDocument& document, qreal fWidth) {
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QTextImageFormat format = fragment.charFormat().toImageFormat();
            if (!format.isValid())
                continue;
            const QImage image =
                document.resource(QTextDocument::ImageResource, QUrl(format.name()))
                    .value<QImage>();
            if (image.isNull())
                continue;
            const qreal fScale = std::min<qreal>(1.0, fWidth / image.width());
            format.setWidth(image.width() * fScale);
            format.setHeight(image.height() * fScale);
            QTextCursor cursor(&document);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.setCharFormat(format);
        }
    }
}

// Tables with room in their cells and thin grey rules.
void StyleTables(QTextDocument& document) {
    for (QTextFrame* pFrame : document.rootFrame()->childFrames()) {
        auto* pTable = qobject_cast<QTextTable*>(pFrame);
        if (pTable == nullptr)
            continue;
        QTextTableFormat format = pTable->format();
        format.setCellPadding(4);
        format.setCellSpacing(0);
        format.setBorder(0.5);
        format.setBorderBrush(QColor(160, 160, 160));
        format.setBorderCollapse(true);
        format.setWidth(QTextLength(QTextLength::PercentageLength, 100));
        pTable->setFormat(format);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: %s MANUAL.md RESULTS.xml OUTPUT.pdf [PICTURES_DIR]\n",
                     argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    QFile source(QString::fromLocal8Bit(argv[1]));
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    const std::map<QString, QImage> pictures = GrabPictures(argv[2]);
    if (argc == 5) {
        for (const auto& [strName, image] : pictures) {
            if (!image.save(QDir(QString::fromLocal8Bit(argv[4])).filePath(strName))) {
                std::fprintf(stderr, "cannot write %s in %s\n", qPrintable(strName), argv[4]);
                return 1;
            }
        }
    }

    QPdfWriter writer(QString::fromLocal8Bit(argv[3]));
    writer.setTitle(QStringLiteral("Bandscope manual"));
    writer.setCreator(QStringLiteral("Bandscope"));
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(20, 18, 20, 18), QPageLayout::Millimeter);
    writer.setResolution(96);

    QTextDocument document;
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSize(10);
    document.setDefaultFont(font);
    document.setDefaultStyleSheet(QStringLiteral("code { font-family: 'Liberation Mono'; }"));
    document.setMarkdown(QString::fromUtf8(source.readAll()));
    // After the text: setting it clears the resources.
    for (const auto& [strName, image] : pictures)
        document.addResource(QTextDocument::ImageResource, QUrl(strName), image);
    StyleTables(document);
    const QRectF page = writer.pageLayout().paintRectPixels(writer.resolution());
    document.setPageSize(page.size());
    FitPictures(document, page.width() - 10);
    document.print(&writer);
    return 0;
}
