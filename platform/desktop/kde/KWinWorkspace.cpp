// The KDE Plasma workspace over the KWin script's reports.
#include "platform/desktop/kde/KWinWorkspace.hpp"

#include "platform/desktop/ApplicationIndex.hpp"
#include "platform/desktop/kde/KWinActiveWindow.hpp"

namespace brisko::platform {

namespace {
std::optional<std::string> nonEmpty(const std::string& s) {
    return s.empty() ? std::nullopt : std::optional<std::string>(s);
}
}  // namespace

KWinWorkspace::KWinWorkspace(std::shared_ptr<KWinActiveWindow> activeWindow, Options options)
    : activeWindow_(std::move(activeWindow)),
      index_(std::make_unique<ApplicationIndex>(std::move(options.applicationDirs),
                                                options.languages.value_or(ApplicationIndex::preferredLanguages()))) {}

KWinWorkspace::~KWinWorkspace() = default;

std::optional<RunningApplication> KWinWorkspace::frontmostApplication() {
    auto window = activeWindow_->activeWindow();
    if (!window) return std::nullopt;
    return index_->applicationFor({.pid = window->pid > 0 ? std::optional<std::int64_t>(window->pid) : std::nullopt,
                                   .instanceName = nonEmpty(window->resourceName),
                                   .className = nonEmpty(window->resourceClass)});
}

bool KWinWorkspace::openURL(std::string_view url) {
    return launchURLOpener(url);
}

}  // namespace brisko::platform
