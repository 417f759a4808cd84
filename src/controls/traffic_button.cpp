#include "controls/traffic_button.h"

#include <QPainter>

#include "controls/pixel_rules.h"
#include "desktop/fonts.h"
#include "desktop/system_colors.h"

namespace {

// Corners of the outline: arcs of an ellipse this many pixels wide and high.
constexpr int kCornerEllipse = 5;

} // namespace

TrafficButton::TrafficButton(QWidget* parent, NetDevPaths paths)
    : QPushButton(parent), m_sampler(std::move(paths)) {
    // Found by name in tests, which check the periods.
    m_redrawTimer.setObjectName(QStringLiteral("redrawTimer"));
    m_samplingTimer.setObjectName(QStringLiteral("samplingTimer"));
    m_redrawTimer.setParent(this);
    m_samplingTimer.setParent(this);
    connect(&m_redrawTimer, &QTimer::timeout, this, &TrafficButton::OnRedrawTick);
    connect(&m_samplingTimer, &QTimer::timeout, this, &TrafficButton::OnSamplingTick);
    m_statusText.setTextFormat(Qt::PlainText);
}

TrafficButton::~TrafficButton() = default;

void TrafficButton::PreSubclassWindow() {
    // From now on every paint is the graph's own, and paints never erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_width = width();
    m_height = height();
    m_interfaceNumber = 0;
    m_font = GraphFont();

    // One history slot per bar plus the newest sample; all zero, maximum zero.
    m_graph.SetUp(m_width);

    // The bar pattern, two pixels wide: red-tinted at the bottom rows, green at the top.
    m_barPattern = QImage();
    if (m_height > 0) {
        m_barPattern = QImage(TrafficGraph::kBarWidth, m_height, QImage::Format_RGB32);
        for (int y = 0; y < m_height; ++y)
            for (int x = 0; x < TrafficGraph::kBarWidth; ++x)
                m_barPattern.setPixel(x, y,
                                      ToQColor(TrafficGraph::PatternRowColour(y, m_height)).rgb());
    }

    // The rounded outline shapes the window; only what lies inside it is ever copied to it.
    m_outline = RoundedRectRegion(QRect(0, 0, m_width, m_height), kCornerEllipse, kCornerEllipse);
    setMask(m_outline);

    m_initialised = true;
    RestartTimers();
}

void TrafficButton::RestartTimers() {
    m_redrawTimer.start(static_cast<int>(m_redrawInterval));
    m_samplingTimer.start(static_cast<int>(m_samplingInterval));
}

void TrafficButton::OnSamplingTick() {
    const double sample = m_sampler.SampleTraffic(m_interfaceNumber);
    // Only for its side effect: a zero stored reading takes a second sample.
    m_sampler.GetInterfaceCounterValue(m_interfaceNumber);
    m_graph.AddSample(sample);
    m_statusText.setText(QString::fromStdString(m_graph.StatusText()));
    m_statusText.prepare(QTransform(), m_font);
    update();
}

void TrafficButton::OnRedrawTick() {
    m_graph.AdvanceGrid();
    update();
}

void TrafficButton::SelectInterface(int interfaceNumber) {
    m_redrawTimer.stop();
    m_samplingTimer.stop();
    m_interfaceNumber = interfaceNumber;
    m_graph.Clear();
    // Two samples prime the sampler for this interface whatever it sampled before.
    m_sampler.SampleTraffic(interfaceNumber);
    m_sampler.SampleTraffic(interfaceNumber);
    RestartTimers();
}

void TrafficButton::SetTimerIntervals(unsigned int samplingMs, unsigned int redrawMs) {
    m_samplingInterval = samplingMs;
    m_redrawInterval = redrawMs;
    RestartTimers();
}

void TrafficButton::paintEvent(QPaintEvent* e) {
    if (!m_initialised) {
        QPushButton::paintEvent(e);
        return;
    }
    QImage& image = m_buffer.Image(size());
    {
        QPainter painter(&image);
        Draw(painter);
    }
    m_buffer.CopyTo(*this, m_outline);
}

void TrafficButton::Draw(QPainter& painter) const {
    if (!m_initialised)
        return;
    painter.fillRect(QRect(0, 0, m_width, m_height), ToQColor(kBackgroundColour));

    const QColor grid = ToQColor(kGridColour);
    for (const int x : m_graph.VerticalGridLines(m_width))
        DrawLineWithoutEnd(painter, QPoint(x, 0), QPoint(x, m_height), grid);
    for (const int y : m_graph.HorizontalGridLines(m_height))
        DrawLineWithoutEnd(painter, QPoint(0, y), QPoint(m_width, y), grid);

    // Bars, with the pattern anchored at each bar's bottom edge, and their tips.
    const QColor tip = ToQColor(kTextColour);
    const TrafficGraph::Panel panel{0, 0, m_width, m_height};
    for (const auto& bar : m_graph.Bars(panel)) {
        FillPattern(painter, QRect(bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top),
                    m_barPattern, QPoint(bar.left, panel.bottom));
        DrawLineWithoutEnd(painter, QPoint(bar.left, bar.top), QPoint(bar.left + 1, bar.top), tip);
    }

    // Status text over its shadow.
    painter.setFont(m_font);
    painter.setRenderHint(QPainter::TextAntialiasing, false);
    DrawTextAt(painter, QPoint(6, 5), m_statusText, ToQColor(kBackgroundColour));
    DrawTextAt(painter, QPoint(5, 5), m_statusText, tip);
}
