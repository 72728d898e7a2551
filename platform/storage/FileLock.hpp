// An exclusive advisory lock (flock) on a file, held for as long as the object lives, with a short note
// in the file that tells other processes about the holder.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brisko::platform {

class FileLock {
  public:
    // The lock, or nothing when another process (or another open of the file) holds it or the file
    // cannot be opened. The file is made with mode 0600; a symbolic link planted in its place is never
    // followed: it is removed and a file of our own is made.
    static std::optional<FileLock> tryLock(const std::filesystem::path& path);
    // The same, waiting for the holder to release it.
    static std::optional<FileLock> lock(const std::filesystem::path& path);

    // The note the holder left (at most 4 KiB), nothing when none or unreadable.
    static std::optional<std::string> readNote(const std::filesystem::path& path);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // Replaces the note; false when it could not be written.
    bool writeNote(std::string_view note);
    const std::filesystem::path& path() const { return path_; }

  private:
    FileLock(std::filesystem::path path, int fd) : path_(std::move(path)), fd_(fd) {}
    std::filesystem::path path_;
    int fd_ = -1;
};

}  // namespace brisko::platform
