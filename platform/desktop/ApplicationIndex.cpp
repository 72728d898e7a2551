// Reads .desktop files (the [Desktop Entry] group only) and matches them to window classes.
#include "platform/desktop/ApplicationIndex.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <unistd.h>

#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"
#include "platform/desktop/DesktopEntry.hpp"
#include "platform/storage/FileSystem.hpp"

namespace brisko::platform {

namespace fs = std::filesystem;

namespace {

std::string envOr(const char* name, std::string fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::move(fallback);
}

std::vector<std::string> split(std::string_view s, char sep) {
    std::vector<std::string> out;
    while (true) {
        auto pos = s.find(sep);
        if (!s.substr(0, pos).empty()) out.emplace_back(s.substr(0, pos));
        if (pos == std::string_view::npos) break;
        s.remove_prefix(pos + 1);
    }
    return out;
}

// The program of an Exec line: its first word without quotes, as a base name; "env VAR=x prog"
// and "flatpak run" launchers are looked through.
std::string execProgram(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    for (char c : exec) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ' ' && !quoted) {
            if (!word.empty()) words.push_back(std::move(word));
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty()) words.push_back(std::move(word));
    std::size_t i = 0;
    if (i < words.size() && fs::path(words[i]).filename() == "env") {
        ++i;
        while (i < words.size() && words[i].find('=') != std::string::npos) ++i;
    }
    if (i >= words.size()) return {};
    return asciiLowercase(fs::path(words[i]).filename().string());
}

// The executable's base name of a local process; the kernel's short name when the executable
// cannot be read (another user's process).
std::optional<std::string> processName(std::int64_t pid) {
    std::error_code ec;
    auto proc = fs::path("/proc") / std::to_string(pid);
    auto exe = fs::read_symlink(proc / "exe", ec);
    if (!ec && !exe.filename().empty()) {
        std::string name = exe.filename().string();
        // A replaced binary reads "name (deleted)".
        if (hasSuffix(name, " (deleted)")) name.resize(name.size() - 10);
        return sanitizeUTF8(name);
    }
    try {
        auto bytes = FileSystem::readFile(proc / "comm", 4096);
        std::string name(bytes.begin(), bytes.end());
        name.resize(std::min(name.size(), name.find('\n')));
        if (!name.empty()) return sanitizeUTF8(name);
    } catch (const ErrorException&) {
    }
    return std::nullopt;
}

std::string lastDottedPart(const std::string& id) {
    auto dot = id.rfind('.');
    return dot == std::string::npos ? id : id.substr(dot + 1);
}

}  // namespace

ApplicationIndex::ApplicationIndex(std::vector<fs::path> folders, std::vector<std::string> languages)
    : folders_(folders.empty() ? defaultFolders() : std::move(folders)), languages_(std::move(languages)) {}

std::vector<fs::path> ApplicationIndex::defaultFolders() {
    std::vector<fs::path> out;
    out.push_back(FileSystem::dataHome() / "applications");
    for (const auto& dir : split(envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':')) {
        out.push_back(fs::path(dir) / "applications");
    }
    return out;
}

std::vector<std::string> ApplicationIndex::preferredLanguages() {
    std::string lang = envOr("LC_ALL", envOr("LC_MESSAGES", envOr("LANG", "")));
    std::vector<std::string> out;
    // "ja_JP.UTF-8@mod" -> "ja_JP", "ja"
    lang = lang.substr(0, lang.find_first_of(".@"));
    if (lang.empty() || lang == "C" || lang == "POSIX") return out;
    out.push_back(lang);
    if (auto us = lang.find('_'); us != std::string::npos) out.push_back(lang.substr(0, us));
    return out;
}

void ApplicationIndex::refreshIfChanged() {
    std::vector<fs::file_time_type> stamps;
    stamps.reserve(folders_.size());
    for (const auto& folder : folders_) {
        std::error_code ec;
        stamps.push_back(fs::last_write_time(folder, ec));
    }
    if (built_ && stamps == stamps_) return;
    stamps_ = std::move(stamps);
    rebuild();
}

void ApplicationIndex::rebuild() {
    built_ = true;
    records_.clear();
    cache_.clear();
    std::set<std::string> seen;  // an id found in an earlier folder hides later ones
    for (const auto& folder : folders_) {
        std::error_code ec;
        fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const auto& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
            std::string id = path.lexically_relative(folder).replace_extension().string();
            for (auto& ch : id) {
                if (ch == '/') ch = '-';
            }
            if (!seen.insert(id).second) continue;

            std::string name, wmClass, exec, bestLocalised;
            std::size_t bestRank = languages_.size();
            bool hidden = false, isApplication = true;
            for (const auto& [key, value] : readDesktopEntry(path)) {
                if (key == "Name") {
                    name = value;
                } else if (hasPrefix(key, "Name[") && hasSuffix(key, "]")) {
                    std::string lang = key.substr(5, key.size() - 6);
                    for (std::size_t r = 0; r < bestRank; ++r) {
                        if (languages_[r] == lang) {
                            bestRank = r;
                            bestLocalised = value;
                            break;
                        }
                    }
                } else if (key == "StartupWMClass") {
                    wmClass = asciiLowercase(value);
                } else if (key == "Exec") {
                    exec = execProgram(value);
                } else if (key == "Hidden") {
                    hidden = value == "true";
                } else if (key == "Type") {
                    isApplication = value == "Application";
                }
            }
            if (hidden || !isApplication) continue;
            Record rec{{id, sanitizeUTF8(bestLocalised.empty() ? name : bestLocalised)}, wmClass, exec};
            records_.push_back(std::move(rec));
        }
    }
}

std::optional<ApplicationIndex::Entry> ApplicationIndex::lookup(const std::optional<std::string>& instance,
                                                                const std::optional<std::string>& className,
                                                                const std::optional<std::string>& executable) {
    std::lock_guard lock(mutex_);
    refreshIfChanged();
    std::string inst = asciiLowercase(instance.value_or(""));
    std::string klass = asciiLowercase(className.value_or(""));
    std::string exe = asciiLowercase(executable.value_or(""));
    auto key = std::make_tuple(inst, klass, exe);
    if (auto it = cache_.find(key); it != cache_.end()) return it->second;

    auto matches = [](const std::string& a, const std::string& b) { return !a.empty() && a == b; };
    const Record* found = nullptr;
    for (const auto& r : records_) {
        if (matches(r.wmClass, klass) || matches(r.wmClass, inst)) {
            found = &r;
            break;
        }
    }
    for (std::size_t i = 0; !found && i < records_.size(); ++i) {
        std::string id = asciiLowercase(records_[i].entry.id);
        std::string last = lastDottedPart(id);
        if (matches(id, klass) || matches(id, inst) || matches(last, klass) || matches(last, inst)) {
            found = &records_[i];
        }
    }
    for (std::size_t i = 0; !found && i < records_.size(); ++i) {
        if (matches(records_[i].exec, exe) || matches(records_[i].exec, inst)) found = &records_[i];
    }
    std::optional<Entry> result;
    if (found) result = found->entry;
    cache_.emplace(std::move(key), result);
    return result;
}

}  // namespace brisko::platform

namespace brisko::platform {

RunningApplication ApplicationIndex::applicationFor(const WindowOwner& owner) {
    if (owner.pid && *owner.pid == ::getpid()) return Workspace::currentApplication();
    RunningApplication app;
    app.processIdentifier = owner.pid.value_or(0);
    std::optional<std::string> executable;
    if (owner.pid && *owner.pid > 0) executable = processName(*owner.pid);
    auto entry = lookup(owner.instanceName, owner.className, executable);
    if (entry && !entry->name.empty()) {
        app.localizedName = entry->name;
    } else if (owner.className) {
        app.localizedName = owner.className;
    } else {
        app.localizedName = executable ? executable : owner.instanceName;
    }
    if (entry) {
        app.bundleIdentifier = entry->id;
    } else if (executable) {
        app.bundleIdentifier = executable;
    } else {
        app.bundleIdentifier = owner.instanceName ? owner.instanceName : owner.className;
    }
    return app;
}

}  // namespace brisko::platform
