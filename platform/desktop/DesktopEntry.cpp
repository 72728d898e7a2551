// Reads the [Desktop Entry] group of a desktop-entry file.
#include "platform/desktop/DesktopEntry.hpp"

#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/FileSystem.hpp"

namespace brisko::platform {

namespace {
// Far larger than any desktop entry: a planted or damaged file must not take the process's memory.
constexpr std::uint64_t kMostDesktopEntryBytes = 1024 * 1024;
}  // namespace

std::vector<std::pair<std::string, std::string>> readDesktopEntry(const std::filesystem::path& path) {
    std::vector<std::pair<std::string, std::string>> out;
    std::string text;
    try {
        auto bytes = FileSystem::readFile(path, kMostDesktopEntryBytes);
        text.assign(bytes.begin(), bytes.end());
    } catch (const ErrorException&) {
        return out;  // unreadable: no entry, as before
    }
    bool inEntry = false;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto end = rest.find('\n');
        std::string line(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (inEntry) break;
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        auto eq = line.find('=');
        if (!inEntry || eq == std::string::npos) continue;
        out.emplace_back(trimWhitespaceAndNewlines(line.substr(0, eq)), trimWhitespaceAndNewlines(line.substr(eq + 1)));
    }
    return out;
}

}  // namespace brisko::platform
