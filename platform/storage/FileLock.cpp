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

namespace {
// The lock file opened without following a link (a planted one is removed once), when it is a regular
// file of this user; -1 otherwise.
int openLockFile(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == ELOOP && ::unlink(path.c_str()) == 0)
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        ::close(fd);
        return -1;
    }
    ::fchmod(fd, 0600);
    return fd;
}
}  // namespace

std::optional<FileLock> FileLock::tryLock(const std::filesystem::path& path) {
    const int fd = openLockFile(path);
    if (fd < 0) return std::nullopt;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return std::nullopt;
    }
    return FileLock(path, fd);
}

std::optional<FileLock> FileLock::lock(const std::filesystem::path& path) {
    const int fd = openLockFile(path);
    if (fd < 0) return std::nullopt;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd);
            return std::nullopt;
        }
    }
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
