// Cost of one paint of the traffic graph: the panel drawn into an image, and the whole widget
// paint as the toolkit runs it.
//   BM_Draw/<w>/<h>:         an idle graph (no samples above zero), as the program mostly shows
//   BM_DrawAllBars/<w>/<h>:  every slot holding a full-height bar
//   BM_WidgetGrab:           the widget's own paint, 200 x 60, idle
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <memory>

#include "controls/traffic_button.h"

namespace {

// A graph of the given size, set up. With `bars`, its interface's counters become unreadable
// after the listing, so every sampling tick gives 1.0 and every slot a full-height bar; without,
// nothing is listed and every sample is 0.0.
std::unique_ptr<TrafficButton> Graph(int width, int height, bool bars) {
    QTemporaryDir folder;
    const std::filesystem::path root = folder.path().toStdString();
    std::filesystem::create_directories(root / "class" / "eth0");
    std::ofstream(root / "class" / "eth0" / "flags") << "0x1003\n";
    if (bars)
        std::ofstream(root / "dev") << "  eth0: 1 0 0 0 0 0 0 0 1\n";
    auto button = std::make_unique<TrafficButton>(
        nullptr, NetDevPaths{(root / "dev").string(), (root / "class").string()});
    std::filesystem::remove(root / "dev");
    button->setGeometry(0, 0, width, height);
    button->PreSubclassWindow();
    for (unsigned i = 0; i <= button->Graph().PlotCount(); ++i)
        button->OnSamplingTick();
    return button;
}

void Draw(benchmark::State& state, bool bars) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const auto button = Graph(width, height, bars);
    QImage image(width, height, QImage::Format_RGB32);
    for (auto _ : state) {
        QPainter painter(&image);
        button->Draw(painter);
        painter.end();
        benchmark::DoNotOptimize(image.constBits());
    }
}

void BM_Draw(benchmark::State& state) {
    Draw(state, false);
}
BENCHMARK(BM_Draw)->Args({200, 60})->Args({400, 120})->Unit(benchmark::kMicrosecond);

void BM_DrawAllBars(benchmark::State& state) {
    Draw(state, true);
}
BENCHMARK(BM_DrawAllBars)->Args({200, 60})->Args({400, 120})->Unit(benchmark::kMicrosecond);

void BM_WidgetGrab(benchmark::State& state) {
    const auto button = Graph(200, 60, false);
    for (auto _ : state)
        benchmark::DoNotOptimize(button->grab());
}
BENCHMARK(BM_WidgetGrab)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
