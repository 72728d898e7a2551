// The buffer journal: appends, removal records, atomic compaction and a tolerant reader.
#include "app/recording/ActivityBufferFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "platform/base/Error.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kWriteFailedLog = "[ActivityTracking] Buffer file not written (%@): %@";

std::string entryLine(const BufferedEntry& e) {
    std::string line = "{\"seq\":" + std::to_string(e.sequence) + ",";
    std::string json = e.entry.toJSON();
    line.append(json, 1, std::string::npos);  // the entry's members after its opening brace
    line += '\n';
    return line;
}

// Sequences as inclusive ranges: [[1,500],[733,733]].
std::string removedLine(std::span<const std::uint64_t> sequences) {
    std::vector<std::uint64_t> sorted(sequences.begin(), sequences.end());
    std::sort(sorted.begin(), sorted.end());
    std::string line = "{\"removed\":[";
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j + 1 < sorted.size() && sorted[j + 1] <= sorted[j] + 1) ++j;
        if (i) line += ',';
        line += '[' + std::to_string(sorted[i]) + ',' + std::to_string(sorted[j]) + ']';
        i = j + 1;
    }
    line += "]}\n";
    return line;
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

std::vector<BufferedEntry> ActivityBufferFile::load() {
    std::ifstream in(path_, std::ios::binary);
    std::map<std::uint64_t, ActivityEntry> entries;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> removed;
    std::size_t lines = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        ++lines;
        auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded() || !json.is_object()) continue;  // a torn or foreign line
        if (auto seq = json.find("seq"); seq != json.end() && seq->is_number_unsigned()) {
            largestSequence_ = std::max(largestSequence_, seq->get<std::uint64_t>());
            try {
                entries.insert_or_assign(seq->get<std::uint64_t>(), ActivityEntry::fromJSON(json));
            } catch (const platform::ErrorException&) {
            }
        } else if (auto ranges = json.find("removed"); ranges != json.end() && ranges->is_array()) {
            for (const auto& r : *ranges) {
                if (r.is_array() && r.size() == 2 && r[0].is_number_unsigned() && r[1].is_number_unsigned()) {
                    removed.emplace_back(r[0].get<std::uint64_t>(), r[1].get<std::uint64_t>());
                    largestSequence_ = std::max(largestSequence_, r[1].get<std::uint64_t>());
                }
            }
        }
    }
    for (auto [from, to] : removed) {
        entries.erase(entries.lower_bound(from), entries.upper_bound(to));
    }
    std::vector<BufferedEntry> live;
    live.reserve(entries.size());
    for (auto& [seq, entry] : entries) live.push_back(BufferedEntry{seq, std::move(entry)});
    deadLines_ = lines - live.size();
    return live;
}

bool ActivityBufferFile::openForAppend() {
    if (fd_ >= 0) return true;
    try {
        platform::FileSystem::createDirectory(path_.parent_path());
    } catch (const platform::ErrorException&) {
        // open() below reports the failure.
    }
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd_ >= 0) ::fchmod(fd_, 0600);
    return fd_ >= 0;
}

void ActivityBufferFile::writeLine(const std::string& line) {
    if (openForAppend() && writeAll(fd_, line)) return;
    reportFailure(platform::FileSystem::fileError(errno, path_, true));
}

void ActivityBufferFile::reportFailure(const platform::Error& error) {
    if (reportedFailure_) return;  // once per run: a full disk would otherwise log every sample
    reportedFailure_ = true;
    platform::logLine(platform::format(kWriteFailedLog, {path_.string(), error.localizedDescription()}));
}

void ActivityBufferFile::append(const BufferedEntry& entry) {
    writeLine(entryLine(entry));
}

void ActivityBufferFile::remove(std::span<const std::uint64_t> sequences) {
    if (sequences.empty()) return;
    writeLine(removedLine(sequences));
    deadLines_ += sequences.size() + 1;
}

void ActivityBufferFile::rewrite(std::span<const BufferedEntry> live) {
    std::string content;
    content.reserve(live.size() * 180);
    for (const auto& e : live) content += entryLine(e);

    try {
        platform::FileSystem::writeFileAtomically(
            path_, std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
            {.mode = 0600, .createDirectories = true});
        closeFile();  // later appends go to the new file
        deadLines_ = 0;
    } catch (const platform::ErrorException& e) {
        reportFailure(e.error());
    }
}

void ActivityBufferFile::flush() {
    if (fd_ >= 0) ::fdatasync(fd_);
}

}  // namespace brisko::app
