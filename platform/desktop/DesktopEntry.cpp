// Reads the [Desktop Entry] group of a desktop-entry file.
#include "platform/desktop/DesktopEntry.hpp"

#include <fstream>

#include "platform/base/Text.hpp"

namespace brisko::platform {

std::vector<std::pair<std::string, std::string>> readDesktopEntry(const std::filesystem::path& path) {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(path);
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            if (inEntry) break;
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        auto eq = line.find('=');
        if (!inEntry || eq == std::string::npos) continue;
        out.emplace_back(trimWhitespaceAndNewlines(line.substr(0, eq)),
                         trimWhitespaceAndNewlines(line.substr(eq + 1)));
    }
    return out;
}

}  // namespace brisko::platform
