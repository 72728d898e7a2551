// Reading and atomically replacing the heartbeat file.
#include "core/internal/FileStorage.hpp"

#include <algorithm>

#include "platform/storage/FileSystem.hpp"

namespace brisko::core::internal {

std::shared_ptr<FileStorage> FileStorage::storage(const std::string& id) {
    std::string name = std::string(kHeartbeatFilePrefix) + id;
    std::replace(name.begin(), name.end(), ':', '_');
    // An identifier comes from the options file: a '/' in it must not lead out of the folder.
    std::replace(name.begin(), name.end(), '/', '_');
    // The path is composed without touching the disk: storage objects are made under a lock.
    const auto directory =
        platform::FileSystem::dataHome() / platform::FileSystem::kAppFolderName / kHeartbeatDirectoryName;
    return std::make_shared<FileStorage>(directory / name);
}

platform::Data FileStorage::read() {
    try {
        return platform::FileSystem::readFile(url_, kMaxHeartbeatFileBytes);
    } catch (const std::exception&) {
        throw StorageError(StorageError::Kind::readError);
    }
}

void FileStorage::write(const std::optional<platform::Data>& data) {
    try {
        static const platform::Data kNothing;
        platform::FileSystem::writeFileAtomically(url_, data ? *data : kNothing,
                                                  {.mode = 0600, .createDirectories = true});
    } catch (const std::exception&) {
        throw StorageError(StorageError::Kind::writeError);
    }
}

}  // namespace brisko::core::internal
