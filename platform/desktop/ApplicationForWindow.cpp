// Names the application behind a window through the desktop entries and /proc.
#include "platform/desktop/ApplicationForWindow.hpp"

#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"
#include "platform/desktop/X11ApplicationIndex.hpp"
#include "platform/storage/FileSystem.hpp"

namespace brisko::platform {

namespace fs = std::filesystem;

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

RunningApplication applicationForWindow(X11ApplicationIndex& index, std::int64_t pid,
                                        const std::optional<std::string>& instanceName,
                                        const std::optional<std::string>& className) {
    if (pid > 0 && pid == ::getpid()) return Workspace::currentApplication();

    RunningApplication app;
    app.processIdentifier = std::max<std::int64_t>(pid, 0);
    std::optional<std::string> executable;
    if (pid > 0) executable = processName(pid);
    auto entry = index.lookup(instanceName, className, executable);
    if (entry && !entry->name.empty()) {
        app.localizedName = entry->name;
    } else if (className) {
        app.localizedName = className;
    } else {
        app.localizedName = executable;
    }
    if (entry) {
        app.bundleIdentifier = entry->id;
    } else if (executable) {
        app.bundleIdentifier = executable;
    } else {
        app.bundleIdentifier = instanceName;
    }
    return app;
}

}  // namespace brisko::platform
