// The bounded, ordered, persisted sample buffer.
#include "app/recording/ActivityBuffer.hpp"

#include <algorithm>
#include <iterator>

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kOverflowLog = "[ActivityTracking] Buffer overflow: dropped %d oldest entries";
constexpr const char* kDiscardedLog = "[ActivityTracking] Discarded %d undelivered entries at sign-out";
// Rewrite the journal once its dead lines outnumber the live samples by this much.
constexpr std::size_t kCompactionSlack = 512;

bool bySequence(const BufferedEntry& a, const BufferedEntry& b) {
    return a.sequence < b.sequence;
}
}  // namespace

ActivityBuffer::ActivityBuffer(std::unique_ptr<ActivityBufferFile> file, std::size_t capacity)
    : queue_(platform::DispatchQueue::make(std::string(kQueueLabel))),
      file_(std::move(file)),
      capacity_(capacity) {
    if (!file_) return;
    buffer_ = file_->load();
    nextSequence_ = std::max(file_->largestSequence(), buffer_.empty() ? 0 : buffer_.back().sequence) + 1;
    bool trimmed = buffer_.size() > capacity_;
    if (trimmed) buffer_.erase(buffer_.begin(), buffer_.end() - static_cast<std::ptrdiff_t>(capacity_));
    if (trimmed || file_->deadLines() > 0) file_->rewrite(buffer_);
}

ActivityBuffer::~ActivityBuffer() {
    // Let queued disk work finish before the file goes away.
    queue_->sync([] {});
}

void ActivityBuffer::appendEntry(ActivityEntry entry) {
    queue_->sync([&] {
        BufferedEntry buffered{nextSequence_++, std::move(entry)};
        if (file_) file_->append(buffered);
        buffer_.push_back(std::move(buffered));
        if (buffer_.size() > capacity_) {
            const auto dropped = buffer_.size() - capacity_;
            enforceCapacity();
            platform::logLine(platform::format(kOverflowLog, {dropped}));
        }
        if (file_ && !flushPending_) {
            // The line is in the file already (a killed process loses nothing); reaching the disk itself
            // happens just after, off the caller's path.
            flushPending_ = true;
            queue_->async([this] {
                flushPending_ = false;
                file_->flush();
            });
        }
    });
}

ActivityBuffer::Batch ActivityBuffer::takeBuffer() {
    return queue_->syncResult([&] {
        Batch batch{std::move(buffer_), generation_};
        buffer_.clear();
        for (const auto& e : batch.entries) inUpload_.emplace(e.sequence, e.entry);
        return batch;
    });
}

void ActivityBuffer::requeue(std::vector<BufferedEntry> entries, std::uint64_t generation) {
    queue_->sync([&] {
        if (generation != generation_) return;
        for (const auto& e : entries) inUpload_.erase(e.sequence);
        std::vector<BufferedEntry> merged;
        merged.reserve(entries.size() + buffer_.size());
        std::merge(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()),
                   std::make_move_iterator(buffer_.begin()), std::make_move_iterator(buffer_.end()),
                   std::back_inserter(merged), bySequence);
        buffer_ = std::move(merged);
        enforceCapacity();
    });
}

void ActivityBuffer::settle(const std::vector<std::uint64_t>& sequences, std::uint64_t generation) {
    queue_->sync([&] {
        if (generation != generation_) return;
        for (auto s : sequences) inUpload_.erase(s);
        if (!file_) return;
        file_->remove(sequences);
        compactIfWorthIt();
    });
}

std::size_t ActivityBuffer::discardAll() {
    const auto count = queue_->syncResult([&] {
        const std::size_t count = buffer_.size() + inUpload_.size();
        buffer_.clear();
        inUpload_.clear();
        ++generation_;
        if (file_) file_->rewrite({});
        return count;
    });
    platform::logLine(platform::format(kDiscardedLog, {count}));
    return count;
}

void ActivityBuffer::discard(const std::vector<std::uint64_t>& sequences, std::uint64_t generation) {
    if (!isCurrentGeneration(generation)) return;
    settle(sequences, generation);
    platform::logLine(platform::format(kDiscardedLog, {sequences.size()}));
}

bool ActivityBuffer::isCurrentGeneration(std::uint64_t generation) const {
    return queue_->syncResult([&] { return generation == generation_; });
}

std::vector<BufferedEntry> ActivityBuffer::entries() const {
    return queue_->syncResult([&] { return buffer_; });
}

std::size_t ActivityBuffer::count() const {
    return queue_->syncResult([&] { return buffer_.size(); });
}

void ActivityBuffer::flush() {
    queue_->sync([&] {
        if (file_) file_->flush();
    });
}

void ActivityBuffer::enforceCapacity() {
    if (buffer_.size() <= capacity_) return;
    const auto excess = static_cast<std::ptrdiff_t>(buffer_.size() - capacity_);
    if (file_) {
        std::vector<std::uint64_t> gone;
        gone.reserve(static_cast<std::size_t>(excess));
        for (auto it = buffer_.begin(); it != buffer_.begin() + excess; ++it) gone.push_back(it->sequence);
        file_->remove(gone);
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + excess);
    compactIfWorthIt();
}

std::vector<BufferedEntry> ActivityBuffer::liveEntries() const {
    std::vector<BufferedEntry> live;
    live.reserve(inUpload_.size() + buffer_.size());
    for (const auto& [seq, entry] : inUpload_) live.push_back(BufferedEntry{seq, entry});
    std::vector<BufferedEntry> merged;
    merged.reserve(live.size() + buffer_.size());
    std::merge(live.begin(), live.end(), buffer_.begin(), buffer_.end(), std::back_inserter(merged),
               bySequence);
    return merged;
}

void ActivityBuffer::compactIfWorthIt() {
    if (!file_) return;
    const auto live = inUpload_.size() + buffer_.size();
    if (file_->deadLines() <= live + kCompactionSlack) return;
    // Off the caller's path: the queue runs it next, before any later buffer operation.
    queue_->async([this] {
        if (file_->deadLines() > inUpload_.size() + buffer_.size() + kCompactionSlack)
            file_->rewrite(liveEntries());
    });
}

}  // namespace brisko::app
