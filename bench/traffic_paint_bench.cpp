// Cost of one paint of the traffic graph: the owner-drawn panel into an image, with every bar
// of the history drawn, and the whole widget paint as the toolkit runs it.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPixmap>

#include <cstdint>
#include <cstring>

#include "platform/perf_data_layout.h"
#include "traffic/traffic_button.h"

namespace {

// No system query: the bench measures drawing only.
long NoInterfaces(const char*, std::uint8_t*, std::uint32_t*) {
    return ERROR_FILE_NOT_FOUND;
}

// A set-up graph of the given size whose every drawn slot holds a sample.
void Fill(TrafficButton& button, int width, int height) {
    button.setGeometry(0, 0, width, height);
    button.PreSubclassWindow();
    // A failed query samples 1.0 each tick: every slot holds a full-height bar.
    for (unsigned i = 0; i <= button.Graph().PlotCount(); ++i)
        button.OnTimer(TrafficButton::kSamplingTimer);
}

void BM_DrawItem(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    TrafficButton button(nullptr, NoInterfaces);
    Fill(button, width, height);
    QImage image(width, height, QImage::Format_RGB32);
    for (auto _ : state) {
        CDC dc(&image);
        DRAWITEMSTRUCT item;
        item.hDC = &dc;
        item.rcItem = RECT{0, 0, width, height};
        button.DrawItem(&item);
        benchmark::DoNotOptimize(image.constBits());
    }
}
BENCHMARK(BM_DrawItem)->Args({200, 60})->Args({400, 120})->Unit(benchmark::kMicrosecond);

void BM_WidgetGrab(benchmark::State& state) {
    TrafficButton button(nullptr, NoInterfaces);
    Fill(button, 200, 60);
    for (auto _ : state)
        benchmark::DoNotOptimize(button.grab());
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
