// Process and machine facts from /proc, /etc/os-release, /etc/machine-info, DMI and uname.
#include "platform/storage/ProcessInfo.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/storage/FileSystem.hpp"
#include "platform/base/Text.hpp"

extern char** environ;

namespace brisko::platform {
namespace {

std::string readText(const char* path) {
    try {
        return toString(FileSystem::readFile(path));
    } catch (const ErrorException&) {
        return {};
    }
}

utsname systemName() {
    utsname u{};
    ::uname(&u);
    return u;
}

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        char quote = v.front();
        v = v.substr(1, v.size() - 2);
        if (quote == '\'') return std::string(v);
        std::string out;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '\\' && i + 1 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
    static ProcessInfo info;
    return info;
}

std::vector<std::string> ProcessInfo::arguments() const {
    {
        std::lock_guard lock(mutex_);
        if (arguments_) return *arguments_;
    }
    std::vector<std::string> args;
    std::string cmdline = readText("/proc/self/cmdline");
    std::size_t start = 0;
    while (start < cmdline.size()) {
        std::size_t end = cmdline.find('\0', start);
        if (end == std::string::npos) end = cmdline.size();
        args.emplace_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
}

std::optional<std::string> ProcessInfo::environmentValue(std::string_view name) const {
    if (const char* v = std::getenv(std::string(name).c_str())) return std::string(v);
    return std::nullopt;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
    std::map<std::string, std::string> out;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry = *e;
        std::size_t eq = entry.find('=');
        if (eq != std::string_view::npos) out.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return out;
}

std::map<std::string, std::string> ProcessInfo::parseKeyValueFile(std::string_view text) {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line = trimWhitespaceAndNewlines(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == '#') continue;
        std::size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        out[line.substr(0, eq)] = unquote(std::string_view(line).substr(eq + 1));
    }
    return out;
}

OperatingSystemVersion ProcessInfo::parseVersion(std::string_view text) {
    std::int64_t parts[3] = {0, 0, 0};
    std::size_t i = 0;
    for (int part = 0; part < 3; ++part) {
        if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) break;
        std::int64_t n = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            if (n < (INT64_MAX - 9) / 10) n = n * 10 + (text[i] - '0');
            ++i;
        }
        parts[part] = n;
        if (i >= text.size() || text[i] != '.') break;
        ++i;
    }
    return {parts[0], parts[1], parts[2]};
}

std::optional<std::string> ProcessInfo::computerNameFrom(std::string_view machineInfo,
                                                         std::string_view hostName) {
    auto fields = parseKeyValueFile(machineInfo);
    if (auto it = fields.find("PRETTY_HOSTNAME"); it != fields.end() && !it->second.empty())
        return it->second;
    if (!hostName.empty()) return std::string(hostName);
    return std::nullopt;
}

std::map<std::string, std::string> ProcessInfo::osRelease() const {
    // os-release(5): /etc first, the vendor copy under /usr/lib otherwise.
    std::string text = readText("/etc/os-release");
    if (text.empty()) text = readText("/usr/lib/os-release");
    return parseKeyValueFile(text);
}

std::string ProcessInfo::operatingSystemName() const {
    auto os = osRelease();
    if (auto it = os.find("NAME"); it != os.end() && !it->second.empty()) return it->second;
    return systemName().sysname;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
    auto os = osRelease();
    if (auto it = os.find("VERSION_ID");
        it != os.end() && !it->second.empty() && std::isdigit(static_cast<unsigned char>(it->second[0]))) {
        return parseVersion(it->second);
    }
    return parseVersion(kernelVersion());
}

std::string ProcessInfo::operatingSystemVersionString() const {
    auto os = osRelease();
    if (auto it = os.find("PRETTY_NAME"); it != os.end() && !it->second.empty()) return it->second;
    utsname u = systemName();
    return std::string(u.sysname) + " " + u.release;
}

std::string ProcessInfo::kernelVersion() const {
    return systemName().release;
}

std::string ProcessInfo::machineModel() const {
    std::string model = trimWhitespaceAndNewlines(readText("/sys/devices/virtual/dmi/id/product_name"));
    return model.empty() ? architecture() : model;
}

std::string ProcessInfo::architecture() const {
    return systemName().machine;
}

std::string ProcessInfo::hostName() const {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    return name;
}

std::optional<std::string> ProcessInfo::computerName() const {
    return computerNameFrom(readText("/etc/machine-info"), hostName());
}

int ProcessInfo::processIdentifier() const {
    return static_cast<int>(::getpid());
}

std::string ProcessInfo::processName() const {
    // The kernel's comm is cut at 15 characters; the executable's path has the whole name.
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) return exe.filename().string();
    return trimWhitespaceAndNewlines(readText("/proc/self/comm"));
}

}  // namespace brisko::platform
