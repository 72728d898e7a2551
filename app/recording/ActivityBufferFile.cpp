// The buffer journal: appends, removal and claim records, atomic rewrites and a tolerant reader.
#include "app/recording/ActivityBufferFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/base/Error.hpp"
#include "platform/base/JSON.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/FileSystem.hpp"

namespace brisko::app {

namespace {
constexpr const char* kWriteFailedLog = "[ActivityTracking] Buffer file not written (%@): %@";
constexpr const char* kWriteRecoveredLog = "[ActivityTracking] Buffer file written again: %@";
constexpr const char* kDamagedLog =
    "[ActivityTracking] Buffer file damaged: kept %d entries, %d unreadable lines set aside as %@";
constexpr const char* kRepairedLog = "[ActivityTracking] Buffer file damaged: kept %d entries, %d unreadable "
                                     "lines set aside as %@; %d sequence numbers repaired";
constexpr const char* kNotAFileLog = "[ActivityTracking] Buffer file is not a regular file; set aside as %@";
constexpr const char* kUnreadableLog = "[ActivityTracking] Buffer file not read (%@): %@; set aside as %@";

std::string entryLine(const BufferedEntry& e) {
    std::string line = "{\"seq\":" + std::to_string(e.sequence) + ",";
    if (e.uid) line += "\"uid\":" + nlohmann::json(*e.uid).dump() + ",";
    std::string json = e.entry.toJSON();
    line.append(json, 1, std::string::npos);  // the entry's members after its opening brace
    line += '\n';
    return line;
}

// Sequences as inclusive ranges: [[1,500],[733,733]].
std::string rangesText(std::span<const std::uint64_t> sequences) {
    std::vector<std::uint64_t> sorted(sequences.begin(), sequences.end());
    std::sort(sorted.begin(), sorted.end());
    std::string text = "[";
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] <= sorted[j] + 1) ++j;
        if (i) text += ',';
        text += '[' + std::to_string(sorted[i]) + ',' + std::to_string(sorted[j]) + ']';
        i = j + 1;
    }
    return text + "]";
}

// Inclusive ranges of a "removed" or "claimed" line; none when the member is not a list of pairs.
std::optional<std::vector<std::pair<std::uint64_t, std::uint64_t>>> rangesOf(const nlohmann::json& member) {
    if (!member.is_array()) return std::nullopt;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (const auto& r : member) {
        if (!r.is_array() || r.size() != 2 || !r[0].is_number_unsigned() || !r[1].is_number_unsigned())
            return std::nullopt;
        ranges.emplace_back(r[0].get<std::uint64_t>(), r[1].get<std::uint64_t>());
    }
    return ranges;
}

// The sequence number of an entry line. One that is not written as a non-negative integer was damaged:
// a decimal text still gives its number; anything else gives none, and the entry is kept by its place.
struct WrittenSequence {
    std::optional<std::uint64_t> number;
    bool damaged = false;
};
WrittenSequence sequenceOf(const nlohmann::json& seq) {
    if (seq.is_number_unsigned()) return {seq.get<std::uint64_t>(), false};
    if (seq.is_string()) {
        const auto& text = seq.get_ref<const std::string&>();
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (!text.empty() && error == std::errc() && end == text.data() + text.size()) return {number, true};
    }
    return {std::nullopt, true};
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

ActivityBufferFile::ActivityBufferFile(std::filesystem::path path) : path_(std::move(path)) {}

ActivityBufferFile::~ActivityBufferFile() {
    closeFile();
}

void ActivityBufferFile::closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void ActivityBufferFile::removeStaleTemporaryFiles() {
    // The atomic rewrite's temporary files are ".<name>.XXXXXX"; one left by a killed process was never
    // renamed into place, so the journal still holds everything it held.
    const std::string prefix = "." + path_.filename().string() + ".";
    std::error_code ec;
    for (std::filesystem::directory_iterator it(path_.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) ::unlink(it->path().c_str());
    }
}

void ActivityBufferFile::setAside(std::size_t kept, std::size_t unreadable, std::size_t repaired) {
    auto aside = platform::FileSystem::setAsideDamagedFile(path_);
    const std::string asideText = aside ? aside->string() : std::string("(not moved)");
    platform::logLine(repaired == 0 ? platform::format(kDamagedLog, {kept, unreadable, asideText})
                                    : platform::format(kRepairedLog, {kept, unreadable, asideText, repaired}));
}

std::vector<BufferedEntry> ActivityBufferFile::load() {
    removeStaleTemporaryFiles();
    // Never through a symbolic link, and never blocking on a planted pipe.
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT) return {};
        // Kept aside rather than overwritten: a link is not ours to follow, and an unreadable file may
        // become readable again.
        auto aside = platform::FileSystem::setAsideDamagedFile(path_);
        const std::string asideText = aside ? aside->string() : std::string("(not moved)");
        if (err == ELOOP) {
            platform::logLine(platform::format(kNotAFileLog, {asideText}));
        } else {
            platform::logLine(platform::format(
                kUnreadableLog,
                {path_.string(), platform::FileSystem::fileError(err, path_, false).localizedDescription(),
                 asideText}));
        }
        needsRewrite_ = true;
        return {};
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        auto aside = platform::FileSystem::setAsideDamagedFile(path_);
        platform::logLine(platform::format(kNotAFileLog, {aside ? aside->string() : std::string("(not moved)")}));
        needsRewrite_ = true;
        return {};
    }
    std::string content;
    content.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);

    std::map<std::uint64_t, BufferedEntry> entries;
    // Entries whose sequence number was lost, each after the numbered entry line that preceded it.
    std::vector<std::pair<std::uint64_t, BufferedEntry>> unnumbered;
    std::uint64_t lastNumbered = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> removed;
    std::vector<std::pair<std::vector<std::pair<std::uint64_t, std::uint64_t>>, std::string>> claims;
    std::size_t lines = 0;
    std::size_t unreadable = 0;
    std::size_t repaired = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        // A line ends at its newline, or where a block of zero bytes (a crash's unwritten blocks) begins:
        // what follows the block is read as the next line.
        const auto stop = content.find_first_of(std::string_view("\n\0", 2), start);
        std::string_view line(content.data() + start, (stop == std::string::npos ? content.size() : stop) - start);
        bool atEnd = stop == std::string::npos;
        start = atEnd ? content.size() : stop + 1;
        if (!atEnd && content[stop] == '\0') {
            const auto after = content.find_first_not_of('\0', stop);
            atEnd = after == std::string::npos;
            start = atEnd ? content.size() : after;
            needsRewrite_ = true;
            // Zeros with lines after them may stand where lines were; zeros at the end are a torn append.
            if (!atEnd) {
                ++lines;
                ++unreadable;
            }
        }
        if (line.empty()) continue;
        ++lines;
        // A last line without its newline must not have the next append glued onto it.
        if (atEnd) needsRewrite_ = true;

        bool readable = false;
        const auto document = platform::readJSON(line, platform::kMaxStoredJSONDepth);
        if (document && document->is_object()) {
            const auto& json = *document;
            if (auto seq = json.find("seq"); seq != json.end()) {
                auto uid = json.find("uid");
                if (uid == json.end() || uid->is_string()) {
                    try {
                        const auto written = sequenceOf(*seq);
                        BufferedEntry e{written.number.value_or(0), ActivityEntry::fromJSON(json), std::nullopt};
                        if (uid != json.end()) e.uid = uid->get<std::string>();
                        if (written.number) {
                            lastNumbered = e.sequence;
                            largestSequence_ = std::max(largestSequence_, e.sequence);
                            entries.insert_or_assign(e.sequence, std::move(e));
                        } else {
                            unnumbered.emplace_back(lastNumbered, std::move(e));
                        }
                        if (written.damaged) ++repaired;
                        readable = true;
                    } catch (const platform::ErrorException&) {
                    }
                }
            } else if (auto ranges = json.find("removed"); ranges != json.end()) {
                if (auto parsed = rangesOf(*ranges)) {
                    for (auto r : *parsed) largestSequence_ = std::max(largestSequence_, r.second);
                    removed.insert(removed.end(), parsed->begin(), parsed->end());
                    readable = true;
                }
            } else if (auto claimed = json.find("claimed"); claimed != json.end()) {
                auto uid = json.find("uid");
                auto parsed = rangesOf(*claimed);
                if (parsed && uid != json.end() && uid->is_string()) {
                    claims.emplace_back(std::move(*parsed), uid->get<std::string>());
                    readable = true;
                }
            }
        }
        // A torn last line is what a power loss mid-write leaves: not damage.
        if (!readable && !atEnd) ++unreadable;
    }
    for (auto [from, to] : removed) entries.erase(entries.lower_bound(from), entries.upper_bound(to));
    for (const auto& [ranges, uid] : claims) {
        for (auto [from, to] : ranges) {
            for (auto it = entries.lower_bound(from); it != entries.end() && it->first <= to; ++it) {
                if (!it->second.uid) it->second.uid = uid;
            }
        }
    }
    // No removal record can name an entry without its number, so it stays (at worst sent twice, never
    // lost), in its place among the others.
    std::stable_sort(unnumbered.begin(), unnumbered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<BufferedEntry> live;
    live.reserve(entries.size() + unnumbered.size());
    auto next = unnumbered.begin();
    for (auto& [seq, entry] : entries) {
        for (; next != unnumbered.end() && next->first < seq; ++next) live.push_back(std::move(next->second));
        live.push_back(std::move(entry));
    }
    for (; next != unnumbered.end(); ++next) live.push_back(std::move(next->second));
    deadLines_ = lines - std::min(lines, live.size());

    if (unreadable > 0 || repaired > 0) {
        setAside(live.size(), unreadable, repaired);
        needsRewrite_ = true;
    }
    if (!unnumbered.empty() || largestSequence_ >= kRenumberThreshold) {
        std::uint64_t number = 0;
        for (auto& e : live) e.sequence = ++number;
        largestSequence_ = number;
        needsRewrite_ = true;
    }
    return live;
}

bool ActivityBufferFile::openForAppend() {
    if (fd_ >= 0) return true;
    try {
        platform::FileSystem::createDirectory(path_.parent_path());
    } catch (const platform::ErrorException&) {
        // open() below reports the failure.
    }
    // A symbolic link planted at the journal's place is refused (and replaced by the next rewrite).
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::fchmod(fd_, 0600);
    return fd_ >= 0;
}

bool ActivityBufferFile::writeLine(const std::string& line) {
    if (needsRewrite_) return false;
    if (!openForAppend()) {
        needsRewrite_ = true;
        reportFailure(platform::FileSystem::fileError(errno, path_, true));
        return false;
    }
    struct stat st {};
    const off_t before = ::fstat(fd_, &st) == 0 ? st.st_size : -1;
    if (writeAll(fd_, line)) return true;
    const int err = errno;
    // Cut off what part of the line got written; when even that fails, the rewrite replaces the file.
    if (before >= 0 && ::ftruncate(fd_, before) != 0) {
    }
    closeFile();
    needsRewrite_ = true;
    reportFailure(platform::FileSystem::fileError(err, path_, true));
    return false;
}

void ActivityBufferFile::reportFailure(const platform::Error& error) {
    if (reportedFailure_) return;  // once until writing works again: a full disk would log every sample
    reportedFailure_ = true;
    platform::logLine(platform::format(kWriteFailedLog, {path_.string(), error.localizedDescription()}));
}

void ActivityBufferFile::append(const BufferedEntry& entry) {
    writeLine(entryLine(entry));
}

void ActivityBufferFile::remove(std::span<const std::uint64_t> sequences) {
    if (sequences.empty()) return;
    if (writeLine("{\"removed\":" + rangesText(sequences) + "}\n")) deadLines_ += sequences.size() + 1;
}

void ActivityBufferFile::claim(std::span<const std::uint64_t> sequences, const std::string& uid) {
    if (sequences.empty()) return;
    if (writeLine("{\"claimed\":" + rangesText(sequences) + ",\"uid\":" + nlohmann::json(uid).dump() + "}\n"))
        ++deadLines_;
}

void ActivityBufferFile::rewrite(std::span<const BufferedEntry> live) {
    std::string content;
    content.reserve(live.size() * 200);
    for (const auto& e : live) content += entryLine(e);

    try {
        platform::FileSystem::writeFileAtomically(
            path_, std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
            {.mode = 0600, .createDirectories = true});
        closeFile();  // later appends go to the new file
        deadLines_ = 0;
        needsRewrite_ = false;
        if (reportedFailure_) {
            reportedFailure_ = false;
            platform::logLine(platform::format(kWriteRecoveredLog, {path_.string()}));
        }
    } catch (const platform::ErrorException& e) {
        needsRewrite_ = true;
        reportFailure(e.error());
    }
}

void ActivityBufferFile::flush() {
    if (fd_ >= 0) ::fdatasync(fd_);
}

}  // namespace brisko::app
