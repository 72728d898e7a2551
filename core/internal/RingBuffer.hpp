// A fixed-size ring of optional elements; a push overwrites the oldest slot.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brisko::core::internal {

// A push at a tail index outside the slots (only a damaged ring has one).
class RingBufferOutOfBoundsPush : public std::exception {
  public:
    RingBufferOutOfBoundsPush(std::int64_t pushIndex, std::int64_t endIndex)
        : pushIndex_(pushIndex),
          endIndex_(endIndex),
          description_("Out-of-bounds push at index " + std::to_string(pushIndex) +
                       " to ring buffer with end index of " + std::to_string(endIndex) + ".") {}
    std::int64_t pushIndex() const { return pushIndex_; }
    std::int64_t endIndex() const { return endIndex_; }
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

  private:
    std::int64_t pushIndex_;
    std::int64_t endIndex_;
    std::string description_;
};

template <class Element>
struct RingBuffer {
    std::vector<std::optional<Element>> circularQueue;
    std::int64_t tailIndex = 0;

    RingBuffer() = default;
    explicit RingBuffer(std::size_t capacity) : circularQueue(capacity) {}

    std::int64_t slotCount() const { return static_cast<std::int64_t>(circularQueue.size()); }
    bool tailIsWithinSlots() const { return tailIndex >= 0 && tailIndex < slotCount(); }

    // Stores the element at the tail and advances it; returns the element it displaced. A ring without
    // slots stores nothing; a tail outside the slots throws RingBufferOutOfBoundsPush.
    std::optional<Element> push(Element element) {
        if (circularQueue.empty()) return std::nullopt;
        if (!tailIsWithinSlots()) throw RingBufferOutOfBoundsPush(tailIndex, slotCount());
        auto& slot = circularQueue[static_cast<std::size_t>(tailIndex)];
        std::optional<Element> displaced = std::move(slot);
        slot = std::move(element);
        tailIndex = tailIndex + 1 == slotCount() ? 0 : tailIndex + 1;
        return displaced;
    }

    // Steps the tail back and empties that slot, returning its element. A tail beyond the slots (only
    // in a damaged ring) steps to the last slot, so nothing outside the slots is touched.
    std::optional<Element> pop() {
        if (circularQueue.empty()) return std::nullopt;
        tailIndex = (tailIndex <= 0 || tailIndex > slotCount()) ? slotCount() - 1 : tailIndex - 1;
        auto& slot = circularQueue[static_cast<std::size_t>(tailIndex)];
        std::optional<Element> element = std::move(slot);
        slot.reset();
        return element;
    }

    // The stored elements, slot 0 first, empty slots skipped.
    std::vector<Element> elements() const {
        std::vector<Element> out;
        for (const auto& slot : circularQueue) {
            if (slot) out.push_back(*slot);
        }
        return out;
    }

    bool operator==(const RingBuffer&) const = default;
};

}  // namespace brisko::core::internal
