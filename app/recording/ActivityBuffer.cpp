// The bounded, ordered, persisted sample buffer with each sample's account.
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
    const bool trimmed = buffer_.size() > capacity_;
    if (trimmed) {
        const auto dropped = buffer_.size() - capacity_;
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(dropped));
        platform::logLine(platform::format(kOverflowLog, {dropped}));
    }
    if (trimmed || file_->deadLines() > 0 || file_->needsRewrite()) file_->rewrite(buffer_);
}

ActivityBuffer::~ActivityBuffer() {
    // Let queued disk work finish before the file goes away.
    queue_->sync([] {});
}

void ActivityBuffer::appendEntry(ActivityEntry entry, std::optional<std::string> uid) {
    queue_->sync([&] {
        BufferedEntry buffered{nextSequence_++, std::move(entry), std::move(uid)};
        if (file_) file_->append(buffered);
        buffer_.push_back(std::move(buffered));
        if (const auto dropped = enforceCapacity())
            platform::logLine(platform::format(kOverflowLog, {dropped}));
        mendFileIfNeeded();
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

ActivityBuffer::Batch ActivityBuffer::takeBuffer(const std::string& uid) {
    return queue_->syncResult([&] {
        claimUnowned(uid);
        Batch batch{{}, uid};
        std::vector<BufferedEntry> others;
        for (auto& e : buffer_) {
            if (e.uid == uid) {
                inUpload_.emplace(e.sequence, e);
                batch.entries.push_back(std::move(e));
            } else {
                others.push_back(std::move(e));
            }
        }
        buffer_ = std::move(others);
        mendFileIfNeeded();
        return batch;
    });
}

void ActivityBuffer::requeue(std::vector<BufferedEntry> entries) {
    queue_->sync([&] {
        // Only what an upload still holds comes back: the rest was discarded or evicted meanwhile.
        std::erase_if(entries, [&](const BufferedEntry& e) { return inUpload_.erase(e.sequence) == 0; });
        std::vector<BufferedEntry> merged;
        merged.reserve(entries.size() + buffer_.size());
        std::merge(std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()),
                   std::make_move_iterator(buffer_.begin()), std::make_move_iterator(buffer_.end()),
                   std::back_inserter(merged), bySequence);
        buffer_ = std::move(merged);
        enforceCapacity();
        mendFileIfNeeded();
    });
}

void ActivityBuffer::settle(const std::vector<std::uint64_t>& sequences) {
    queue_->sync([&] {
        std::vector<std::uint64_t> gone;
        gone.reserve(sequences.size());
        for (auto s : sequences) {
            if (inUpload_.erase(s)) gone.push_back(s);
        }
        persistRemoval(gone);
        mendFileIfNeeded();
    });
}

std::size_t ActivityBuffer::adoptAccount(const std::string& uid) {
    const auto discarded = queue_->syncResult([&] {
        const auto count =
            discardWhere([&](const std::optional<std::string>& owner) { return owner && *owner != uid; });
        claimUnowned(uid);
        mendFileIfNeeded();
        return count;
    });
    if (discarded > 0) platform::logLine(platform::format(kDiscardedLog, {discarded}));
    return discarded;
}

std::size_t ActivityBuffer::discardAccountEntries() {
    const auto discarded = queue_->syncResult([&] {
        const auto count = discardWhere([](const std::optional<std::string>& owner) { return owner.has_value(); });
        mendFileIfNeeded();
        return count;
    });
    platform::logLine(platform::format(kDiscardedLog, {discarded}));
    return discarded;
}

bool ActivityBuffer::holdsAny(const std::vector<std::uint64_t>& sequences) const {
    return queue_->syncResult([&] {
        return std::any_of(sequences.begin(), sequences.end(), [&](auto s) { return inUpload_.contains(s); });
    });
}

std::vector<BufferedEntry> ActivityBuffer::entries() const {
    return queue_->syncResult([&] { return buffer_; });
}

std::size_t ActivityBuffer::count() const {
    return queue_->syncResult([&] { return buffer_.size(); });
}

std::size_t ActivityBuffer::liveCount() const {
    return queue_->syncResult([&] { return buffer_.size() + inUpload_.size(); });
}

void ActivityBuffer::flush() {
    queue_->sync([&] {
        if (file_) file_->flush();
    });
}

std::size_t ActivityBuffer::enforceCapacity() {
    std::size_t live = buffer_.size() + inUpload_.size();
    if (live <= capacity_) return 0;
    // The oldest go first, whether waiting or held by an upload (which then puts nothing back of them).
    std::vector<std::uint64_t> gone;
    std::size_t fromBuffer = 0;
    while (live > capacity_) {
        const bool takeWaiting =
            fromBuffer < buffer_.size() &&
            (inUpload_.empty() || buffer_[fromBuffer].sequence < inUpload_.begin()->first);
        if (takeWaiting) {
            gone.push_back(buffer_[fromBuffer++].sequence);
        } else {
            gone.push_back(inUpload_.begin()->first);
            inUpload_.erase(inUpload_.begin());
        }
        --live;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(fromBuffer));
    persistRemoval(gone);
    return gone.size();
}

void ActivityBuffer::claimUnowned(const std::string& uid) {
    std::vector<std::uint64_t> claimed;
    for (auto& e : buffer_) {
        if (!e.uid) {
            e.uid = uid;
            claimed.push_back(e.sequence);
        }
    }
    if (file_) file_->claim(claimed, uid);
}

std::size_t ActivityBuffer::discardWhere(const std::function<bool(const std::optional<std::string>&)>& doomed) {
    const std::size_t before = buffer_.size() + inUpload_.size();
    std::erase_if(buffer_, [&](const BufferedEntry& e) { return doomed(e.uid); });
    std::erase_if(inUpload_, [&](const auto& held) { return doomed(held.second.uid); });
    const std::size_t count = before - buffer_.size() - inUpload_.size();
    // Rewritten rather than marked: the window titles of an account that left must not stay on disk.
    if (count > 0 && file_) file_->rewrite(liveEntries());
    return count;
}

void ActivityBuffer::persistRemoval(const std::vector<std::uint64_t>& sequences) {
    if (!file_ || sequences.empty()) return;
    file_->remove(sequences);
    compactIfWorthIt();
}

void ActivityBuffer::mendFileIfNeeded() {
    // After a failed write (a full disk) the file no longer holds what the buffer holds: each later
    // operation tries to bring it back in one atomic rewrite.
    if (file_ && file_->needsRewrite()) file_->rewrite(liveEntries());
}

std::vector<BufferedEntry> ActivityBuffer::liveEntries() const {
    std::vector<BufferedEntry> held;
    held.reserve(inUpload_.size());
    for (const auto& [seq, entry] : inUpload_) held.push_back(entry);
    std::vector<BufferedEntry> merged;
    merged.reserve(held.size() + buffer_.size());
    std::merge(held.begin(), held.end(), buffer_.begin(), buffer_.end(), std::back_inserter(merged),
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
