// The app's folders (XDG data, config and cache) and file operations that report platform errors.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

// File errors in the platform's Cocoa domain (with the path and the POSIX cause as user info).
enum class FileErrorCode : std::int64_t {
    noSuchFile = 4,
    readUnknown = 256,
    readNoPermission = 257,
    readCorruptFile = 259,
    readNoSuchFile = 260,
    readTooLarge = 263,
    writeFileExists = 516,
    writeUnknown = 512,
    writeNoPermission = 513,
    writeInvalidFileName = 514,
    writeOutOfSpace = 640,
    writeVolumeReadOnly = 642,
};

// Every failing call throws ErrorException holding an error of the Cocoa domain (codes above), whose
// user info carries "NSFilePath" and the POSIX error under "NSUnderlyingError".
class FileSystem {
  public:
    using Path = std::filesystem::path;

    // The folder name the app keeps under each XDG base.
    static constexpr std::string_view kAppFolderName = "brisko-desktop";

    static Path homeDirectory();
    // XDG bases: the environment variable when it holds an absolute path, else the standard default.
    static Path dataHome();
    static Path configHome();
    static Path cacheHome();

    // The app's folders under the XDG bases, created with mode 0700 on first use. The data folder stands
    // in for the platform's Application Support folder.
    static Path applicationSupportDirectory();
    static Path configDirectory();
    static Path cacheDirectory();
    // $TMPDIR when set, else /tmp.
    static Path temporaryDirectory();

    static Data readFile(const Path& path);
    // The same, refusing (readTooLarge) a file larger than `maxBytes`: a damaged or planted file must
    // not take the process's memory and time.
    static Data readFile(const Path& path, std::uint64_t maxBytes);

    struct WriteOptions {
        mode_t mode = 0600;
        // Creates missing parent folders (mode 0700) first.
        bool createDirectories = false;
    };
    // Writes a temporary file beside the target, flushes it to disk, then renames it over the target, so
    // readers see the old contents or the new ones, never a part.
    static void writeFileAtomically(const Path& path, std::span<const std::uint8_t> bytes,
                                    WriteOptions options);
    static void writeFileAtomically(const Path& path, std::span<const std::uint8_t> bytes) {
        writeFileAtomically(path, bytes, WriteOptions{});
    }

    static bool fileExists(const Path& path);
    static bool isDirectory(const Path& path);
    static std::uint64_t fileSize(const Path& path);
    // Removes a file, or a folder with its contents.
    static void removeItem(const Path& path);
    // The names in a folder, sorted.
    static std::vector<std::string> contentsOfDirectory(const Path& path);
    static void createDirectory(const Path& path, bool withIntermediateDirectories = true,
                                mode_t mode = 0700);

    // Renames an unreadable file to "<name>.damaged" so that a fresh one can take its place without the
    // old contents being lost; returns the new path, or nothing when the rename failed.
    static std::optional<Path> setAsideDamagedFile(const Path& path);

    // The error thrown for a failed operation with this errno; `writing` picks the write codes.
    static Error fileError(int err, const Path& path, bool writing);
};

}  // namespace brisko::platform
