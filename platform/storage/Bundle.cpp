// Finds the resources folder for this executable and reads its Info.plist with PropertyList.
#include "platform/storage/Bundle.hpp"

#include <algorithm>
#include <cstdlib>

#include "platform/base/Error.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/storage/Locale.hpp"
#include "platform/storage/PropertyList.hpp"

namespace brisko::platform {
namespace {

std::mutex mainMutex;
std::shared_ptr<Bundle> mainBundle;

}  // namespace

Bundle::Bundle(Path resourcePath, std::optional<Path> executablePath)
    : resourcePath_(std::move(resourcePath)),
      executablePath_(executablePath ? *executablePath : currentExecutablePath()) {}

Bundle::Path Bundle::currentExecutablePath() {
    std::error_code ec;
    Path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? Path() : exe;
}

Bundle::Path Bundle::findResourcePath(const Path& executablePath) {
    if (const char* dir = std::getenv(std::string(kResourcesEnvironmentVariable).c_str()); dir && *dir)
        return Path(dir);
    Path exeDir = executablePath.parent_path();
    if (!exeDir.empty()) {
        if (Path beside = exeDir / "resources"; FileSystem::isDirectory(beside)) return beside;
        if (Path installed = exeDir / ".." / "share" / FileSystem::kAppFolderName; FileSystem::isDirectory(installed)) {
            return installed.lexically_normal();
        }
    }
#ifdef BRISKO_SOURCE_RESOURCES_DIR
    if (FileSystem::isDirectory(BRISKO_SOURCE_RESOURCES_DIR)) return Path(BRISKO_SOURCE_RESOURCES_DIR);
#endif
    // Nothing found: the installed place, so look-ups fail plainly rather than reading a stray folder.
    return (exeDir / ".." / "share" / FileSystem::kAppFolderName).lexically_normal();
}

std::shared_ptr<Bundle> Bundle::main() {
    std::lock_guard lock(mainMutex);
    if (!mainBundle) {
        Path exe = currentExecutablePath();
        mainBundle = std::make_shared<Bundle>(findResourcePath(exe), exe);
    }
    return mainBundle;
}

void Bundle::setMain(std::shared_ptr<Bundle> bundle) {
    std::lock_guard lock(mainMutex);
    mainBundle = std::move(bundle);
}

const Dictionary& Bundle::infoDictionary() const {
    std::call_once(infoOnce_, [this] {
        Path path = resourcePath_ / kInfoPlistName;
        if (!FileSystem::fileExists(path)) return;
        try {
            Value v = PropertyList::readFile(path);
            if (auto* d = v.dictionary())
                info_ = std::move(*d);
            else
                log(LogLevel::warning, "platform", "Info.plist at " + path.string() + " is not a dictionary");
        } catch (const ErrorException& e) {
            log(LogLevel::warning, "platform",
                "Info.plist at " + path.string() + " is unreadable: " + e.error().description());
        }
    });
    return info_;
}

const Value* Bundle::objectForInfoDictionaryKey(std::string_view key) const {
    const Dictionary& info = infoDictionary();
    auto it = info.find(key);
    return it == info.end() ? nullptr : &it->second;
}

std::optional<std::string> Bundle::bundleIdentifier() const {
    const Value* v = objectForInfoDictionaryKey(kIdentifierKey);
    if (v && v->string() && !v->string()->empty()) return *v->string();
    return std::nullopt;
}

std::string Bundle::developmentLocalization() const {
    const Value* v = objectForInfoDictionaryKey(kDevelopmentRegionKey);
    if (v && v->string()) {
        if (auto tag = Locale::languageTag(*v->string())) return *tag;
    }
    return std::string(kDefaultDevelopmentLocalization);
}

const std::vector<std::string>& Bundle::preferredLocalizations() const {
    std::call_once(localizationsOnce_, [this] {
        auto add = [this](std::string tag) {
            if (std::find(localizations_.begin(), localizations_.end(), tag) == localizations_.end())
                localizations_.push_back(std::move(tag));
        };
        for (auto& tag : Locale::preferredLanguages()) {
            std::string language = tag.substr(0, tag.find('-'));
            add(std::move(tag));
            add(std::move(language));
        }
        add(developmentLocalization());
    });
    return localizations_;
}

std::optional<Bundle::Path> Bundle::pathForResource(std::string_view name, std::string_view type) const {
    if (type.starts_with('.')) type.remove_prefix(1);
    if (name.empty()) return std::nullopt;
    std::string file(name);
    if (!type.empty()) file += "." + std::string(type);
    Path path = resourcePath_ / file;
    if (!FileSystem::fileExists(path)) return std::nullopt;
    return path;
}

}  // namespace brisko::platform
