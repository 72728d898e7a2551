// Reading XDG desktop entries (.desktop files): the keys of their [Desktop Entry] group.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace brisko::platform {

// The key-value lines of the file's [Desktop Entry] group, in order, keys and values trimmed; other
// groups, comments and malformed lines are skipped. Empty when the file cannot be read.
std::vector<std::pair<std::string, std::string>> readDesktopEntry(const std::filesystem::path& path);

}  // namespace brisko::platform
