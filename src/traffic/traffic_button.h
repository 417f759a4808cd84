#pragma once

#include <QPushButton>
#include <QRegion>

#include <string>

#include "platform/gdi.h"
#include "platform/window_timers.h"
#include "traffic/net_traffic.h"
#include "traffic/traffic_graph.h"

// A push button turned into a live throughput graph of one network interface: a dark panel with
// a scrolling grid, gradient bars scaled to the largest sample seen and a line of text with the
// current and the largest rate.
//
// The owner constructs it, gives it parent, geometry and object name, then calls
// PreSubclassWindow() once; after that it samples and repaints on its own two timers.
class TrafficButton : public QPushButton {
    Q_OBJECT
public:
    static constexpr unsigned int kRedrawTimer = 1;
    static constexpr unsigned int kSamplingTimer = 2;

    explicit TrafficButton(QWidget* parent = nullptr, PerfDataQuery query = SystemPerfDataQuery());
    ~TrafficButton() override;

    void PreSubclassWindow();
    // Paints the control into the item's context; nothing but the context is used.
    void DrawItem(DRAWITEMSTRUCT* item);
    void OnTimer(unsigned int id);
    // Shows another interface from scratch.
    void SelectInterface(int interfaceNumber);
    void SetTimerIntervals(unsigned int samplingMs, unsigned int redrawMs);

    // The sampler; the dialog sets its counter index.
    NetTraffic m_sampler;

    const TrafficGraph& Graph() const { return m_graph; }
    const WindowTimers& Timers() const { return m_timers; }
    const QRegion& ClipRegion() const { return m_clipRegion; }
    int InterfaceNumber() const { return m_interfaceNumber; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void BuildBarPattern(CDC* dc);

    CFont m_font;
    CBrush m_barBrush;
    COLORREF m_backgroundColour = RGB(0, 0, 75);
    COLORREF m_textColour = RGB(0, 255, 255);
    COLORREF m_gridColour = RGB(32, 64, 32);
    CPen m_gridPen;
    int m_width = 0;
    int m_height = 0;
    POINT m_savedBrushOrigin;
    RECT m_panelRect;
    bool m_initialised = false;
    bool m_patternReady = false;
    QRegion m_windowRegion;
    QRegion m_clipRegion;
    int m_interfaceNumber = 0;
    // History, maximum, status text and grid offsets.
    TrafficGraph m_graph;
    unsigned int m_samplingInterval = 1000;
    unsigned int m_redrawInterval = 50;
    WindowTimers m_timers;
    QImage m_paintBuffer; // reused by every paint
};
