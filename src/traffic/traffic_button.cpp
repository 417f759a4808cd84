#include "traffic/traffic_button.h"

#include <QPainter>

#include "platform/region.h"
#include "platform/system_colors.h"
#include "traffic/mem_dc.h"

namespace {

QRegion ToQRegion(const std::vector<RegionSpan>& spans) {
    QRegion region;
    for (const auto& s : spans)
        region += QRect(s.left, s.y, s.right - s.left, 1);
    return region;
}

// Corners of the outline: arcs of an ellipse this many pixels wide and high.
constexpr int kCornerEllipse = 5;

} // namespace

TrafficButton::TrafficButton(QWidget* parent, PerfDataQuery query)
    : QPushButton(parent), m_sampler(std::move(query)),
      m_timers(this, [this](unsigned int id) { OnTimer(id); }) {}

TrafficButton::~TrafficButton() = default;

void TrafficButton::PreSubclassWindow() {
    // Step 1: from now on every paint is owner-drawn, and paints never erase first.
    setAttribute(Qt::WA_OpaquePaintEvent);

    // Step 2: the panel is the window rectangle in the control's own coordinates.
    m_panelRect = RECT{0, 0, width(), height()};
    m_width = m_panelRect.right - m_panelRect.left;
    m_height = m_panelRect.bottom - m_panelRect.top;

    // Step 3-4: state, font, colours, pen.
    m_initialised = false;
    m_interfaceNumber = 0;
    m_font.DeleteObject();
    m_font.CreateFontA(-10, 0, 0, 0, 100, false, false, false, DEFAULT_CHARSET, 0, 0, 0, 2,
                       "Arial");
    m_backgroundColour = RGB(0, 0, 75);
    m_textColour = RGB(0, 255, 255);
    m_gridColour = RGB(32, 64, 32);
    m_gridPen.DeleteObject();
    m_gridPen.CreatePen(PS_SOLID, 1, m_gridColour);

    // Step 5: one history slot per bar plus the newest sample; all zero, maximum zero.
    m_graph.SetUp(m_width);

    // Step 6: the rounded outline shapes the window and clips every paint.
    const QRegion rectangle(0, 0, m_width, m_height);
    const QRegion rounded =
        ToQRegion(RoundRectRegion(0, 0, m_width, m_height, kCornerEllipse, kCornerEllipse));
    m_windowRegion = rectangle.intersected(rounded);
    m_clipRegion = rectangle.intersected(rounded);
    setMask(m_windowRegion);

    // Step 7.
    m_initialised = true;
    m_timers.SetTimer(kRedrawTimer, m_redrawInterval);
    m_timers.SetTimer(kSamplingTimer, m_samplingInterval);
}

void TrafficButton::OnTimer(unsigned int id) {
    if (id == kSamplingTimer) {
        const double sample = m_sampler.SampleTraffic(m_interfaceNumber);
        // Only for its side effect: a zero stored reading takes a second sample.
        m_sampler.GetInterfaceCounterValue(m_interfaceNumber);
        m_graph.AddSample(sample);
    }
    update();
}

void TrafficButton::SelectInterface(int interfaceNumber) {
    m_timers.KillTimer(kRedrawTimer);
    m_timers.KillTimer(kSamplingTimer);
    m_interfaceNumber = interfaceNumber;
    m_graph.Clear();
    // Two samples prime the sampler for this interface whatever it sampled before.
    m_sampler.SampleTraffic(interfaceNumber);
    m_sampler.SampleTraffic(interfaceNumber);
    m_timers.SetTimer(kRedrawTimer, m_redrawInterval);
    m_timers.SetTimer(kSamplingTimer, m_samplingInterval);
}

void TrafficButton::SetTimerIntervals(unsigned int samplingMs, unsigned int redrawMs) {
    m_samplingInterval = samplingMs;
    m_redrawInterval = redrawMs;
    m_timers.KillTimer(kRedrawTimer);
    m_timers.KillTimer(kSamplingTimer);
    m_timers.SetTimer(kRedrawTimer, m_redrawInterval);
    m_timers.SetTimer(kSamplingTimer, m_samplingInterval);
}

void TrafficButton::paintEvent(QPaintEvent* e) {
    if (!m_initialised) {
        QPushButton::paintEvent(e);
        return;
    }
    const QImage& image = DrawOwnerDrawnItem(m_paintBuffer, size(), 0,
                                             [this](DRAWITEMSTRUCT& item) { DrawItem(&item); });
    // Only what the outline covers was drawn. It goes to the screen one rectangle of the outline
    // at a time: under a rectangle clip the painter copies rows directly, where a clip region of
    // many rows would hand every one of the ten copies a second to Qt's thread pool. (The clip
    // equal to the part drawn is not redundant: without it the copy takes a slower path, about
    // 3 % more instructions for the idle program.)
    QPainter painter(this);
    for (const QRect& part : m_clipRegion) {
        painter.setClipRect(part);
        painter.drawImage(part.topLeft(), image, part);
    }
}

void TrafficButton::BuildBarPattern(CDC* dc) {
    // One pattern column pair per row: red-tinted at the bottom rows, green at the top.
    CDC memory;
    memory.CreateCompatibleDC(dc);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(dc, TrafficGraph::kBarWidth, m_height);
    const HBITMAP previous = memory.SelectObject(bitmap.GetSafeHandle());
    for (int y = 0; y < m_height; ++y) {
        const COLORREF colour = TrafficGraph::PatternRowColour(y, m_height);
        memory.SetPixelV(0, y, colour);
        memory.SetPixelV(1, y, colour);
    }
    memory.SelectObject(previous);
    m_barBrush.DeleteObject();
    m_barBrush.CreatePatternBrush(&bitmap);
    // A paint before set-up has no height to make a pattern of; a later paint tries again.
    m_patternReady = m_barBrush.GetSafeHandle() != nullptr;
}

void TrafficButton::DrawItem(DRAWITEMSTRUCT* item) {
    // Step 1: clip to the outline and keep the context's state for the end.
    CDC* dc = item->hDC;
    dc->SelectClipRgn(&m_clipRegion);
    const int saved = dc->SaveDC();

    // Step 2: the bar pattern, once a paint is wide enough to make it.
    if (!m_patternReady) {
        RECT box;
        dc->GetClipBox(&box);
        if (box.right - box.left >= 2)
            BuildBarPattern(dc);
    }

    // Step 3: the panel, off-screen.
    if (m_initialised) {
        CMemDC memDC(dc);
        RECT clip;
        memDC.GetClipBox(&clip);
        memDC.FillSolidRect(clip, GetSysColor(COLOR_BTNFACE));

        memDC.GetBrushOrgEx(&m_savedBrushOrigin);
        const HFONT oldFont = memDC.SelectObject(m_font.GetSafeHandle());

        // Background.
        {
            CBrush background(m_backgroundColour);
            memDC.FillRect(m_panelRect, background);
        }

        // Grid at the current offsets, then one step on: the only state a paint changes.
        const HPEN oldPen = memDC.SelectObject(m_gridPen.GetSafeHandle());
        for (const int x : m_graph.VerticalGridLines(m_width)) {
            memDC.MoveToEx(x, 0, nullptr);
            memDC.LineTo(x, m_height);
        }
        for (const int y : m_graph.HorizontalGridLines(m_height)) {
            memDC.MoveToEx(0, y, nullptr);
            memDC.LineTo(m_width, y);
        }
        m_graph.AdvanceGrid();
        memDC.SelectObject(oldPen);

        // Bars, with the pattern anchored at each bar's bottom edge, and their tips.
        const TrafficGraph::Panel panel{m_panelRect.left, m_panelRect.top, m_panelRect.right,
                                        m_panelRect.bottom};
        for (const auto& bar : m_graph.Bars(panel)) {
            memDC.SetBrushOrgEx(bar.left, panel.bottom, nullptr);
            memDC.FillRect(RECT{bar.left, bar.top, bar.right, bar.bottom}, m_barBrush);
            memDC.SetPixelV(bar.left, bar.top, m_textColour);
        }

        // Status text with its shadow.
        const COLORREF oldTextColour = memDC.GetTextColor();
        const int oldMode = memDC.GetBkMode();
        memDC.SetBkMode(TRANSPARENT);
        const std::string& text = m_graph.StatusText();
        memDC.SetTextColor(m_backgroundColour);
        memDC.TextOutA(6, 5, text);
        memDC.SetTextColor(m_textColour);
        memDC.TextOutA(5, 5, text);
        memDC.SetTextColor(oldTextColour);
        memDC.SetBkMode(oldMode);
        memDC.SelectObject(oldFont);
        memDC.SetBrushOrgEx(m_savedBrushOrigin.x, m_savedBrushOrigin.y, nullptr);
    }

    // Step 4.
    dc->RestoreDC(saved);
}
