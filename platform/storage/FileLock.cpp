// The advisory lock file: open without following links, flock, and the holder's note.
#include "platform/storage/FileLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace brisko::platform {
namespace {
constexpr std::size_t kMaxNoteBytes = 4096;
}  // namespace

std::optional<FileLock> FileLock::tryLock(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    // Only a regular file of this user is a lock of ours.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    ::fchmod(fd, 0600);
    return FileLock(path, fd);
}

std::optional<std::string> FileLock::readNote(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string note(kMaxNoteBytes, '\0');
    ssize_t n;
    while ((n = ::pread(fd, note.data(), note.size(), 0)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (n <= 0) return std::nullopt;
    note.resize(static_cast<std::size_t>(n));
    return note;
}

FileLock::FileLock(FileLock&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        path_ = std::move(other.path_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::~FileLock() {
    // Closing the last descriptor releases the lock.
    if (fd_ >= 0) ::close(fd_);
}

bool FileLock::writeNote(std::string_view note) {
    if (fd_ < 0 || note.size() > kMaxNoteBytes) return false;
    if (::ftruncate(fd_, 0) != 0) return false;
    std::size_t written = 0;
    while (written < note.size()) {
        ssize_t n = ::pwrite(fd_, note.data() + written, note.size() - written, static_cast<off_t>(written));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace brisko::platform
