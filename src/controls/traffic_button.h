#pragma once

#include <QFont>
#include <QImage>
#include <QPushButton>
#include <QRegion>
#include <QStaticText>
#include <QTimer>

#include "controls/paint_buffer.h"
#include "platform/colorref.h"
#include "traffic/net_traffic.h"
#include "traffic/traffic_graph.h"

class QPainter;

// A push button turned into a live throughput graph of one network interface: a dark panel with
// a scrolling grid, gradient bars scaled to the largest sample seen and a line of text with the
// current and the largest rate.
//
// The owner constructs it, gives it parent, geometry and object name, then calls
// PreSubclassWindow() once; after that it samples and scrolls on its own two timers, and every
// paint shows the state the timers left.
class TrafficButton : public QPushButton {
    Q_OBJECT
public:
    // `paths` says where the interfaces' counters are read.
    explicit TrafficButton(QWidget* parent = nullptr, NetDevPaths paths = {});
    ~TrafficButton() override;

    void PreSubclassWindow();
    // Draws the panel: background, grid, bars and status text. Only the outline (mask()) of what
    // it draws reaches the screen.
    void Draw(QPainter& painter) const;
    // The sampling timer's tick: one sample into the history and the status text.
    void OnSamplingTick();
    // The redraw timer's tick: the grid moves one step.
    void OnRedrawTick();
    // Shows another interface from scratch.
    void SelectInterface(int interfaceNumber);
    void SetTimerIntervals(unsigned int samplingMs, unsigned int redrawMs);

    const TrafficGraph& Graph() const { return m_graph; }
    int InterfaceNumber() const { return m_interfaceNumber; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    void RestartTimers();

    static constexpr COLORREF kBackgroundColour = RGB(0, 0, 75);
    static constexpr COLORREF kTextColour = RGB(0, 255, 255); // also each bar's tip pixel
    static constexpr COLORREF kGridColour = RGB(32, 64, 32);

    NetTraffic m_sampler;
    QFont m_font;
    QImage m_barPattern;
    int m_width = 0;
    int m_height = 0;
    bool m_initialised = false;
    QRegion m_outline;
    int m_interfaceNumber = 0;
    // History, maximum, status text and grid offsets.
    TrafficGraph m_graph;
    QStaticText m_statusText; // the graph's status text, laid out once per sample
    unsigned int m_samplingInterval = 1000;
    unsigned int m_redrawInterval = 50;
    QTimer m_redrawTimer;
    QTimer m_samplingTimer;
    PaintBuffer m_buffer;
};
