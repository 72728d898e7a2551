// The X11 workspace: the active window's process and class, named through the desktop entries.
#include "platform/desktop/x11/X11Workspace.hpp"

#include <algorithm>
#include <unistd.h>

#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"
#include "platform/desktop/x11/X11ApplicationIndex.hpp"
#include "platform/desktop/x11/X11Connection.hpp"
#include "platform/storage/FileSystem.hpp"

namespace brisko::platform {

namespace fs = std::filesystem;

namespace {

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

}  // namespace

X11Workspace::X11Workspace() : X11Workspace(Options{}) {}

X11Workspace::X11Workspace(Options options)
    : options_(std::move(options)),
      index_(std::make_unique<X11ApplicationIndex>(
          options_.applicationDirs, options_.languages.value_or(X11ApplicationIndex::preferredLanguages()))) {}

X11Workspace::~X11Workspace() = default;

std::shared_ptr<X11Connection> X11Workspace::connection() const {
    return options_.connection ? options_.connection : X11Connection::shared();
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    auto conn = connection();
    if (!conn) return std::nullopt;
    auto window = conn->activeWindow();
    if (!window) return std::nullopt;
    return applicationForWindow(*window);
}

std::optional<RunningApplication> X11Workspace::applicationForWindow(std::uint32_t window) {
    auto conn = connection();
    if (!conn) return std::nullopt;
    auto info = conn->windowInfo(window, false);
    if (!info) return std::nullopt;
    if (info->pid && *info->pid == ::getpid()) return currentApplication();

    RunningApplication app;
    app.processIdentifier = info->pid.value_or(0);
    std::optional<std::string> executable;
    if (info->pid) executable = processName(*info->pid);
    auto entry = index_->lookup(info->instanceName, info->className, executable);
    if (entry && !entry->name.empty()) {
        app.localizedName = entry->name;
    } else if (info->className) {
        app.localizedName = info->className;
    } else {
        app.localizedName = executable;
    }
    if (entry) {
        app.bundleIdentifier = entry->id;
    } else if (executable) {
        app.bundleIdentifier = executable;
    } else {
        app.bundleIdentifier = info->instanceName;
    }
    return app;
}

bool X11Workspace::openURL(std::string_view url) {
    return launchURLOpener(url);
}

}  // namespace brisko::platform
