// Worker queues, file helpers, the session-identifier map and the fetcher's user defaults.
#include "fetcher/internal/FetcherEnvironment.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <mutex>

#include "platform/storage/FileSystem.hpp"

namespace brisko::fetcher::internal {

std::shared_ptr<platform::DispatchQueue> globalQueue() {
    return platform::DispatchQueue::make("com.ezevar.ETMSessionFetcher.global");
}

platform::Error fileError(int err, const std::string& path, bool writing) {
    return platform::FileSystem::fileError(err, path, writing);
}

std::optional<platform::Error> writeDataAtomically(const platform::Data& data, const std::string& path) {
    try {
        platform::FileSystem::WriteOptions options;
        options.createDirectories = true;
        options.mode = 0644;
        platform::FileSystem::writeFileAtomically(path, data, options);
        return std::nullopt;
    } catch (const platform::ErrorException& e) {
        return e.error();
    }
}

std::optional<platform::Error> moveFile(const std::string& from, const std::string& to) {
    std::error_code ec;
    auto parent = std::filesystem::path(to).parent_path();
    if (!parent.empty()) {
        std::filesystem::create_directories(parent, ec);
        if (ec) return fileError(ec.value(), parent.string(), true);
    }
    std::filesystem::rename(from, to, ec);
    if (ec == std::errc::cross_device_link) {
        ec.clear();
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    }
    if (ec) return fileError(ec.value(), to, true);
    return std::nullopt;
}

std::optional<platform::Data> readFile(const std::string& path) {
    try {
        return platform::FileSystem::readFile(path);
    } catch (const platform::ErrorException&) {
        return std::nullopt;
    }
}

std::optional<platform::Data> readFileRange(const std::string& path, std::int64_t offset, std::int64_t length) {
    if (offset < 0 || length < 0) return std::nullopt;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    platform::Data bytes(static_cast<std::size_t>(length));
    std::int64_t done = 0;
    while (done < length) {
        auto n = ::pread(fd, bytes.data() + done, static_cast<std::size_t>(length - done), offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    ::close(fd);
    if (done != length) return std::nullopt;
    return bytes;
}

namespace {
struct IdentifierMap {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<SessionFetcher>, std::less<>> fetchers;
};
IdentifierMap& identifierMap() {
    static IdentifierMap map;
    return map;
}

struct DefaultsOverride {
    std::mutex mutex;
    std::shared_ptr<platform::UserDefaults> defaults;
};
DefaultsOverride& defaultsOverride() {
    static DefaultsOverride o;
    return o;
}
}  // namespace

void registerSessionIdentifier(const std::string& identifier, std::weak_ptr<SessionFetcher> fetcher) {
    auto& map = identifierMap();
    std::lock_guard lock(map.mutex);
    map.fetchers[identifier] = std::move(fetcher);
}

void forgetSessionIdentifier(const std::string& identifier, const SessionFetcher* fetcher) {
    auto& map = identifierMap();
    std::lock_guard lock(map.mutex);
    auto it = map.fetchers.find(identifier);
    if (it == map.fetchers.end()) return;
    auto current = it->second.lock();
    // A fetcher being destroyed can no longer be locked; its entry is expired then.
    if (!fetcher || !current || current.get() == fetcher) map.fetchers.erase(it);
}

std::shared_ptr<SessionFetcher> fetcherForSessionIdentifier(const std::string& identifier) {
    auto& map = identifierMap();
    std::lock_guard lock(map.mutex);
    auto it = map.fetchers.find(identifier);
    return it == map.fetchers.end() ? nullptr : it->second.lock();
}

std::shared_ptr<platform::UserDefaults> fetcherUserDefaults() {
    auto& o = defaultsOverride();
    std::lock_guard lock(o.mutex);
    return o.defaults ? o.defaults : platform::UserDefaults::standard();
}

void setFetcherUserDefaults(std::shared_ptr<platform::UserDefaults> defaults) {
    auto& o = defaultsOverride();
    std::lock_guard lock(o.mutex);
    o.defaults = std::move(defaults);
}

}  // namespace brisko::fetcher::internal
