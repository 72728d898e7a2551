// The recorder's bounded buffer of samples waiting for upload, guarded by its serial queue
// "com.brisko.activityBuffer" and mirrored on disk.
//
// Rules: at most `capacity` (5760) samples, oldest first; a full buffer drops its oldest; an upload takes
// the whole buffer, and what it could not deliver is put back in capture order ahead of newer samples.
// Samples an upload has taken stay on disk until they are delivered or dropped, so a crash mid-upload
// loses nothing. Discarding (at sign-out) starts a new generation: samples of an older generation that
// an upload still holds are neither put back nor sent.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "app/recording/ActivityBufferFile.hpp"
#include "app/recording/BufferedEntry.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::app {

class ActivityBuffer {
  public:
    static constexpr std::size_t kCapacity = 5760;
    static constexpr std::string_view kQueueLabel = "com.brisko.activityBuffer";

    // What an upload takes: the samples and the generation they belong to.
    struct Batch {
        std::vector<BufferedEntry> entries;
        std::uint64_t generation = 0;
    };

    // Loads the undelivered samples from the file (none: memory only).
    explicit ActivityBuffer(std::unique_ptr<ActivityBufferFile> file, std::size_t capacity = kCapacity);
    ~ActivityBuffer();
    ActivityBuffer(const ActivityBuffer&) = delete;
    ActivityBuffer& operator=(const ActivityBuffer&) = delete;

    // Each operation runs synchronously on the buffer queue; call them from any other thread.
    void appendEntry(ActivityEntry entry);
    Batch takeBuffer();
    // Puts samples an upload could not deliver back, merged in capture order, then keeps the newest
    // `capacity`. Samples of an older generation are dropped silently (already discarded).
    void requeue(std::vector<BufferedEntry> entries, std::uint64_t generation);
    // Forgets samples an upload delivered or dropped for good.
    void settle(const std::vector<std::uint64_t>& sequences, std::uint64_t generation);
    // Drops everything undelivered, in the buffer and in uploads under way; logs and returns how many.
    std::size_t discardAll();
    // Drops samples an upload holds for an account that is no longer signed in (logged); nothing when
    // they were discarded already.
    void discard(const std::vector<std::uint64_t>& sequences, std::uint64_t generation);
    bool isCurrentGeneration(std::uint64_t generation) const;

    std::vector<BufferedEntry> entries() const;
    std::size_t count() const;
    std::size_t capacity() const { return capacity_; }
    // Waits until every sample written so far is on the disk.
    void flush();

  private:
    void enforceCapacity();                          // on the queue
    void compactIfWorthIt();                         // on the queue
    std::vector<BufferedEntry> liveEntries() const;  // on the queue

    std::shared_ptr<platform::DispatchQueue> queue_;
    std::unique_ptr<ActivityBufferFile> file_;
    std::size_t capacity_;
    std::vector<BufferedEntry> buffer_;                // waiting, in capture order
    std::map<std::uint64_t, ActivityEntry> inUpload_;  // taken by uploads, not yet settled
    std::uint64_t nextSequence_ = 1;
    std::uint64_t generation_ = 0;
    bool flushPending_ = false;
};

}  // namespace brisko::app
