// The undelivered samples on disk: a journal of JSON lines under the app's data folder (mode 0600),
// so that a quit, a crash or a power loss loses nothing that was sampled.
//
// Each sample is appended as one line the moment it is buffered, with the account it belongs to;
// delivered, dropped or evicted samples are recorded as "removed" lines, and samples given to an account
// after they were taken as "claimed" lines. The file is rewritten atomically (temporary file, fsync,
// rename) when it holds more dead lines than live ones, when the buffer is discarded, and whenever a
// write failed: a failed write never leaves a fragment for the next line to be glued onto, and nothing
// is appended again until a rewrite has brought the file back in line with the buffer.
//
// Reading tolerates a torn last line (power loss mid-write, perhaps padded with zeros); any other
// unreadable line, a block of zeros between lines or a damaged sequence number makes the file damaged:
// it is set aside beside the journal and every sample that could be read is kept, both logged.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "app/recording/BufferedEntry.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app {

class ActivityBufferFile {
public:
    // Sequence numbers above this are renumbered from 1 at load, long before they could wrap.
    static constexpr std::uint64_t kRenumberThreshold = std::uint64_t{1} << 62;

    explicit ActivityBufferFile(std::filesystem::path path);
    ~ActivityBufferFile();
    ActivityBufferFile(const ActivityBufferFile&) = delete;
    ActivityBufferFile& operator=(const ActivityBufferFile&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // The live samples in capture order; a missing file counts as empty. Also removes the temporary
    // files of a rewrite that a killed process left behind (they hold samples).
    std::vector<BufferedEntry> load();

    // Appends one sample. Written to the file (so it survives the process) before returning.
    void append(const BufferedEntry& entry);
    // Records that these samples are gone (delivered, dropped for good, or evicted by the cap).
    void remove(std::span<const std::uint64_t> sequences);
    // Records that these samples (taken while nobody was signed in) belong to the account `uid`.
    void claim(std::span<const std::uint64_t> sequences, const std::string& uid);
    // Replaces the whole file with these samples, atomically.
    void rewrite(std::span<const BufferedEntry> live);
    // Flushes appended lines to the disk (fdatasync).
    void flush();

    // True when the file no longer holds what the buffer holds (a failed write, a damaged or renumbered
    // file): only rewrite() mends it, and appends wait for it.
    bool needsRewrite() const { return needsRewrite_; }
    // Lines in the file that no longer carry a live sample.
    std::size_t deadLines() const { return deadLines_; }
    // The largest sequence number the file has named, live or removed (0 when none): new samples are
    // numbered above it so that an old removal record can never match them.
    std::uint64_t largestSequence() const { return largestSequence_; }

private:
    bool openForAppend();
    bool writeLine(const std::string& line);
    void closeFile();
    void reportFailure(const platform::Error& error);
    void removeStaleTemporaryFiles();
    void setAside(std::size_t kept, std::size_t unreadable, std::size_t repaired);

    std::filesystem::path path_;
    int fd_ = -1;
    std::size_t deadLines_ = 0;
    std::uint64_t largestSequence_ = 0;
    bool needsRewrite_ = false;
    bool reportedFailure_ = false;
};

}  // namespace brisko::app
