// The installed desktop entries, indexed to name the application behind a window: its X11 class, its
// Wayland app_id or its KWin resource class.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

// What a desktop tells about the owner of a window. On X11: _NET_WM_PID and the two parts of
// WM_CLASS; on Wayland the app_id is the class (and no process is named); KWin names all three.
struct WindowOwner {
    std::optional<std::int64_t> pid;
    std::optional<std::string> instanceName;
    std::optional<std::string> className;
};

class ApplicationIndex {
public:
    struct Entry {
        std::string id;    // the desktop-file id: path under applications/ with '/' as '-', no ".desktop"
        std::string name;  // Name, localised for the user's language when the entry has it
        bool operator==(const Entry&) const = default;
    };

    // Empty folders: $XDG_DATA_HOME/applications, then each $XDG_DATA_DIRS/applications. Names are
    // taken in the first of the languages an entry has.
    explicit ApplicationIndex(std::vector<std::filesystem::path> folders = {},
                              std::vector<std::string> languages = preferredLanguages());

    // The entry for a window: StartupWMClass equal to the class or instance; else an id (or its last
    // dotted part) equal to either; else an Exec program named like the executable or the instance.
    // Case is ignored. The index is re-read when a folder changed.
    std::optional<Entry> lookup(const std::optional<std::string>& instance, const std::optional<std::string>& className,
                                const std::optional<std::string>& executable);

    // The running application owning a window: this process for its own windows (by process id);
    // otherwise named by the matching desktop entry, else the class, else the process name from /proc;
    // identified by the entry's id, else the executable, else the instance or class.
    RunningApplication applicationFor(const WindowOwner& owner);

    static std::vector<std::filesystem::path> defaultFolders();
    // The user's languages for Name[...] keys, most wanted first ("ja_JP", "ja").
    static std::vector<std::string> preferredLanguages();

private:
    struct Record {
        Entry entry;
        std::string wmClass;  // lower case
        std::string exec;     // the program's base name, lower case
    };
    void refreshIfChanged();
    void rebuild();

    std::mutex mutex_;
    std::vector<std::filesystem::path> folders_;
    std::vector<std::string> languages_;
    std::vector<std::filesystem::file_time_type> stamps_;
    bool built_ = false;
    std::vector<Record> records_;
    std::map<std::tuple<std::string, std::string, std::string>, std::optional<Entry>> cache_;
};

}  // namespace brisko::platform
