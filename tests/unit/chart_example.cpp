// Draws the chart of a realistic 30-second TCP upload/download test into a
// PNG, as the main window would show it: chart_example OUTPUT.png
#include "results/chart_renderer.h"

#include <QGuiApplication>
#include <cmath>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    TestResults results;
    ResetResults(results);
    const uint16_t nSeconds = 30;
    // A link of about 100 Mbit/s shared by both directions: the download
    // ramps up over the first seconds, then both wobble around their share.
    for (int s = 0; s < nSeconds; ++s) {
        const float fRamp = 1.0f - std::exp(-static_cast<float>(s + 1) / 2.5f);
        const float fDownload = 6400.0f * fRamp + 350.0f * std::sin(s * 1.3f) + 120.0f * (s % 3);
        const float fUpload = 4700.0f + 420.0f * std::cos(s * 0.9f) - 150.0f * (s % 4);
        RecordSample(results, 3, fDownload, fUpload, nSeconds);
    }

    CChartRenderer chart;
    chart.SetWindowSize(867, 490); // the main window's outer size
    const QImage image = chart.Render(results[3], nSeconds);
    if (!image.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
