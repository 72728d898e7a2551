// The GNOME Shell workspace: the extension's focused window, named through the desktop entries.
#include "platform/desktop/gnome/GnomeShellWorkspace.hpp"

#include "platform/desktop/ApplicationIndex.hpp"

namespace brisko::platform {

GnomeShellWorkspace::GnomeShellWorkspace(std::shared_ptr<GnomeShellExtension> extension)
    : GnomeShellWorkspace(std::move(extension), Options{}) {}

GnomeShellWorkspace::GnomeShellWorkspace(std::shared_ptr<GnomeShellExtension> extension, Options options)
    : extension_(std::move(extension)),
      index_(std::make_unique<ApplicationIndex>(std::move(options.applicationDirs),
                                                options.languages.value_or(ApplicationIndex::preferredLanguages()))) {}

GnomeShellWorkspace::~GnomeShellWorkspace() = default;

std::optional<RunningApplication> GnomeShellWorkspace::frontmostApplication() {
    auto window = extension_->focusedWindow();
    if (!window) return std::nullopt;
    // On Wayland the WM class is the app_id, which names the desktop entry ("org.gnome.Nautilus").
    return index_->applicationFor({.pid = window->pid > 0 ? std::optional<std::int64_t>(window->pid) : std::nullopt,
                                   .instanceName = window->wmClassInstance,
                                   .className = window->wmClass});
}

bool GnomeShellWorkspace::openURL(std::string_view url) {
    return launchURLOpener(url);
}

}  // namespace brisko::platform
