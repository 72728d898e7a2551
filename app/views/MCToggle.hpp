// The capsule switch: accent track and white knob at the right when on; a tap anywhere on it writes
// the opposite of its value to its binding. Changes slide the knob over 0.2 s.
#pragma once

#include <functional>

#include <QVariantAnimation>
#include <QWidget>

namespace brisko::app {

class MCToggle : public QWidget {
    Q_OBJECT
  public:
    struct Binding {
        std::function<bool()> get;
        std::function<void(bool)> set;
    };

    MCToggle(Binding binding, bool big, QWidget* parent = nullptr);

    bool isOn() const { return on_; }
    bool isBig() const { return big_; }
    // Re-reads the binding, sliding the knob when the value changed.
    void refresh();

    QSize trackSize() const;
    int knobDiameter() const;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void updateGlow();

    Binding binding_;
    bool big_;
    bool on_ = false;
    bool pressed_ = false;
    double knobPosition_ = 0;  // 0 leading, 1 trailing
    QVariantAnimation animation_;
};

}  // namespace brisko::app
