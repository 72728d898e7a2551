// A gap in a column that gives way, down to a floor, where the window is short of room, so that the
// texts around it keep all the height their lines need.
#pragma once

#include <vector>

class QBoxLayout;
class QSpacerItem;

namespace brisko::app {

// Where the window is short of room, the paddings give way down to this.
inline constexpr int kPaddingFloor = 8;

struct FlexibleGap {
    QBoxLayout* column;
    QSpacerItem* spacer;
    int ideal;
    int floor;

    // Adds a gap of `ideal` height to the vertical `column`.
    static FlexibleGap add(QBoxLayout* column, int ideal, int floor);
    int height() const;
};

// Gives the gaps their ideal heights less `deficit` in all, taken from each in proportion to what it can
// give down to its floor; returns the part of the deficit they could not give.
int shrinkGaps(const std::vector<FlexibleGap>& gaps, int deficit);

}  // namespace brisko::app
