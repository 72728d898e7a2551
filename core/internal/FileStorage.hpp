// The heartbeat record as a file under the app's data folder (the Application Support stand-in).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/internal/Storage.hpp"

namespace brisko::core::internal {

inline constexpr std::string_view kHeartbeatDirectoryName = "ezevar-heartbeat-storage";
inline constexpr std::string_view kHeartbeatFilePrefix = "heartbeats-";
// The real file holds at most 30 heartbeats (a few KB); anything far larger is damaged and read as
// unreadable, so it never holds up the identity requests that wait for the header value.
inline constexpr std::uint64_t kMaxHeartbeatFileBytes = 256 * 1024;

class FileStorage final : public Storage {
  public:
    explicit FileStorage(std::filesystem::path url) : url_(std::move(url)) {}

    // The storage of an identifier: "heartbeats-" + the identifier with ':' replaced by '_', in the
    // folder "ezevar-heartbeat-storage" of the app's data folder. Nothing is created on disk yet.
    static std::shared_ptr<FileStorage> storage(const std::string& id);

    const std::filesystem::path& url() const { return url_; }

    platform::Data read() override;
    // Creates the folder when missing, then replaces the file atomically (none writes an empty file).
    void write(const std::optional<platform::Data>& data) override;

  private:
    std::filesystem::path url_;
};

}  // namespace brisko::core::internal
