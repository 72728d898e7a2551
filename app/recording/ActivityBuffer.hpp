// The recorder's bounded buffer of samples waiting for upload, guarded by its serial queue
// "com.brisko.activityBuffer" and mirrored on disk.
//
// Rules: at most `capacity` (5760) undelivered samples, counting those an upload holds; a full buffer
// drops its oldest; an upload takes one account's samples, and what it could not deliver is put back in
// capture order ahead of newer samples. Samples an upload has taken stay on disk until they are
// delivered or dropped, so a crash mid-upload loses nothing.
//
// Each sample belongs to an account (its uid): the one signed in when it was taken, or, for a sample
// taken while nobody was, the next account that signs in. Samples never go out under another account:
// when another account signs in, or the account signs out, its undelivered samples are discarded, also
// those an upload holds (whatever that upload later reports about them is then ignored).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
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

    // What an upload takes: the samples of one account.
    struct Batch {
        std::vector<BufferedEntry> entries;
        std::string uid;
    };

    // Loads the undelivered samples from the file (none: memory only).
    explicit ActivityBuffer(std::unique_ptr<ActivityBufferFile> file, std::size_t capacity = kCapacity);
    ~ActivityBuffer();
    ActivityBuffer(const ActivityBuffer&) = delete;
    ActivityBuffer& operator=(const ActivityBuffer&) = delete;

    // Each operation runs synchronously on the buffer queue; call them from any other thread.
    // Appends a sample of the account `uid` (none: nobody is signed in).
    void appendEntry(ActivityEntry entry, std::optional<std::string> uid = std::nullopt);
    // Gives the samples nobody owns to `uid`, then takes every waiting sample of `uid`.
    Batch takeBuffer(const std::string& uid);
    // Puts samples an upload could not deliver back, merged in capture order. Samples discarded or
    // evicted while the upload held them are not put back.
    void requeue(std::vector<BufferedEntry> entries);
    // Forgets samples an upload delivered or dropped for good.
    void settle(const std::vector<std::uint64_t>& sequences);
    // The account `uid` is signed in: the samples of any other account are discarded (logged when there
    // are any) and those nobody owns become its own. Returns how many were discarded.
    std::size_t adoptAccount(const std::string& uid);
    // The signed-in account signed out: every sample owned by an account is discarded, waiting or held
    // by an upload (logged with the count); samples nobody owns stay for the next account.
    std::size_t discardAccountEntries();

    // Whether an upload still holds any of these samples (false once they were discarded).
    bool holdsAny(const std::vector<std::uint64_t>& sequences) const;

    // The samples waiting for an upload.
    std::vector<BufferedEntry> entries() const;
    std::size_t count() const;
    // Waiting samples and those uploads hold: what the cap applies to.
    std::size_t liveCount() const;
    std::size_t capacity() const { return capacity_; }
    // Waits until every sample written so far is on the disk.
    void flush();

  private:
    // All on the queue.
    std::size_t enforceCapacity();
    void claimUnowned(const std::string& uid);
    std::size_t discardWhere(const std::function<bool(const std::optional<std::string>&)>& doomed);
    void persistRemoval(const std::vector<std::uint64_t>& sequences);
    void mendFileIfNeeded();
    void compactIfWorthIt();
    std::vector<BufferedEntry> liveEntries() const;

    std::shared_ptr<platform::DispatchQueue> queue_;
    std::unique_ptr<ActivityBufferFile> file_;
    std::size_t capacity_;
    std::vector<BufferedEntry> buffer_;                // waiting, in capture order
    std::map<std::uint64_t, BufferedEntry> inUpload_;  // taken by uploads, not yet settled
    std::uint64_t nextSequence_ = 1;
    bool flushPending_ = false;
};

}  // namespace brisko::app
