// The recording panel: the mark, the wordmark and the big switch; the running state; the permission
// line; a cyan glow behind it while recording and a hairline under it.
#pragma once

#include <QWidget>
#include <vector>

#include "app/views/FlexibleGap.hpp"

namespace brisko::app {

class AccessibilityStatusLine;
class CompanionViewModel;
class MCToggle;
class PulsingDot;
class TextLabel;

class HeroStatus : public QWidget {
    Q_OBJECT
public:
    explicit HeroStatus(CompanionViewModel* vm, QWidget* parent = nullptr);
    void refresh();

    MCToggle* toggle() const { return toggle_; }
    PulsingDot* dot() const { return dot_; }
    AccessibilityStatusLine* accessibilityLine() const { return accessibility_; }
    QString stateText() const;
    bool showsHint() const;
    // Its paddings above, within and below, which give way where the window is short of room.
    const std::vector<FlexibleGap>& gaps() const { return gaps_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CompanionViewModel* vm_;
    MCToggle* toggle_;
    PulsingDot* dot_;
    TextLabel* state_;
    TextLabel* hint_;
    AccessibilityStatusLine* accessibility_;
    std::vector<FlexibleGap> gaps_;
};

}  // namespace brisko::app
