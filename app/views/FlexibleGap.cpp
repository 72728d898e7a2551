// The gaps' sharing of a shortfall.
#include "app/views/FlexibleGap.hpp"

#include <QBoxLayout>
#include <QSpacerItem>
#include <algorithm>

namespace brisko::app {

FlexibleGap FlexibleGap::add(QBoxLayout* column, int ideal, int floor) {
    auto* spacer = new QSpacerItem(0, ideal, QSizePolicy::Minimum, QSizePolicy::Fixed);
    column->addSpacerItem(spacer);
    return {column, spacer, ideal, std::min(floor, ideal)};
}

int FlexibleGap::height() const {
    return spacer->sizeHint().height();
}

int shrinkGaps(const std::vector<FlexibleGap>& gaps, int deficit) {
    int room = 0;
    for (const auto& gap : gaps) room += gap.ideal - gap.floor;
    const int given = std::clamp(deficit, 0, room);
    int left = given;
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        const auto& gap = gaps[i];
        // The last gap that can give takes the rounding, so the shares add up to what is given.
        const int share =
            i + 1 == gaps.size() ? left : std::min(left, room == 0 ? 0 : given * (gap.ideal - gap.floor) / room);
        const int height = std::max(gap.floor, gap.ideal - share);
        left -= gap.ideal - height;
        if (height != gap.height()) {
            gap.spacer->changeSize(0, height, QSizePolicy::Minimum, QSizePolicy::Fixed);
            gap.column->invalidate();
        }
    }
    return deficit - given + left;
}

}  // namespace brisko::app
