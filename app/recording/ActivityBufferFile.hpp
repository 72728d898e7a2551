// The undelivered samples on disk: a journal of JSON lines under the app's data folder (mode 0600),
// so that a quit, a crash or a power loss loses nothing that was sampled.
//
// Each sample is appended as one line the moment it is buffered; delivered, dropped or evicted samples
// are recorded as "removed" lines; the file is rewritten atomically (temporary file, fsync, rename)
// when it holds more dead lines than live ones, and when the buffer is discarded. A torn last line
// (power loss mid-write) is skipped when the file is read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "app/recording/BufferedEntry.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app {

class ActivityBufferFile {
  public:
    explicit ActivityBufferFile(std::filesystem::path path);
    ~ActivityBufferFile();
    ActivityBufferFile(const ActivityBufferFile&) = delete;
    ActivityBufferFile& operator=(const ActivityBufferFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // The live samples in capture order; an unreadable file counts as empty.
    std::vector<BufferedEntry> load();

    // Appends one sample. Written to the file (so it survives the process) before returning.
    void append(const BufferedEntry& entry);
    // Records that these samples are gone (delivered, dropped for good, or evicted by the cap).
    void remove(std::span<const std::uint64_t> sequences);
    // Replaces the whole file with these samples, atomically.
    void rewrite(std::span<const BufferedEntry> live);
    // Flushes appended lines to the disk (fdatasync).
    void flush();

    // Lines in the file that no longer carry a live sample.
    std::size_t deadLines() const { return deadLines_; }
    // The largest sequence number the file has named, live or removed (0 when none): new samples are
    // numbered above it so that an old removal record can never match them.
    std::uint64_t largestSequence() const { return largestSequence_; }

  private:
    bool openForAppend();
    void writeLine(const std::string& line);
    void closeFile();
    void reportFailure(const platform::Error& error);

    std::filesystem::path path_;
    int fd_ = -1;
    std::size_t deadLines_ = 0;
    std::uint64_t largestSequence_ = 0;
    bool reportedFailure_ = false;
};

}  // namespace brisko::app
