// The 8-point status dot; while active it breathes between full size and 0.92 at opacity 0.65, easing in
// and out over 0.9 s each way. It breathes only while it can be seen: not in a minimized window, nor in
// one the window system has unmapped (another workspace).
#pragma once

#include <QColor>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

namespace brisko::app {

class PulsingDot : public QWidget {
    Q_OBJECT
public:
    PulsingDot(bool active, QColor color, QWidget* parent = nullptr);

    void setActive(bool active);
    void setColor(QColor color);
    bool isActive() const { return active_; }
    const QColor& color() const { return color_; }
    // True while the breathing runs (active and on screen).
    bool isPulsing() const { return timer_.isActive(); }
    // The time between two frames of the breathing, and whether the timer keeps to it.
    int frameIntervalMilliseconds() const { return timer_.interval(); }
    bool keepsFrameTime() const { return timer_.timerType() == Qt::PreciseTimer; }
    // The current scale and opacity (1 and 1 when still).
    double scale() const;
    double opacity() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void updateTimer();
    double phase() const;  // 0 at full size, 1 at the small end

    bool active_;
    bool shown_ = false;      // between a show and a hide event, including the window system's (minimizing)
    bool unexposed_ = false;  // the window system says its window is not on screen
    QColor color_;
    QTimer timer_;
    QElapsedTimer clock_;
};

}  // namespace brisko::app
