// The app's folders and file operations over POSIX calls, with the platform's file error codes.
#include "platform/storage/FileSystem.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/base/Text.hpp"

namespace brisko::platform {
namespace {

using Path = FileSystem::Path;

// A file descriptor closed when it goes out of scope.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result (a failed close can mean lost data).
    int close() {
        int r = ::close(fd_);
        fd_ = -1;
        return r;
    }

  private:
    int fd_;
};

Path xdgBase(const char* variable, std::string_view fallbackUnderHome) {
    // XDG base-directory rules: a relative path in these variables is ignored.
    if (const char* v = std::getenv(variable); v && v[0] == '/') return Path(v);
    return FileSystem::homeDirectory() / fallbackUnderHome;
}

Path appFolder(const Path& base) {
    Path folder = base / FileSystem::kAppFolderName;
    try {
        FileSystem::createDirectory(folder, true, 0700);
    } catch (const ErrorException&) {
        // The folder is still the right answer; the write that needs it reports the failure.
    }
    // A folder that already existed keeps its mode: one of ours that others may enter (0777 left by
    // a careless tool or umask) is closed to them, since it holds samples and credentials.
    struct stat st {};
    if (::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 077) != 0) {
        ::chmod(folder.c_str(), 0700);
    }
    return folder;
}

std::string fileDescription(std::int64_t code, const Path& path) {
    std::string name = path.filename().string();
    switch (static_cast<FileErrorCode>(code)) {
        case FileErrorCode::noSuchFile:
        case FileErrorCode::readNoSuchFile:
            return format("The file \u201c%@\u201d couldn\u2019t be opened because there is no such file.",
                          {name});
        case FileErrorCode::readNoPermission:
            return format(
                "The file \u201c%@\u201d couldn\u2019t be opened because you don\u2019t have permission to "
                "view it.",
                {name});
        case FileErrorCode::writeNoPermission:
            return format("You don\u2019t have permission to save the file \u201c%@\u201d.", {name});
        case FileErrorCode::writeOutOfSpace:
            return format(
                "The file \u201c%@\u201d couldn\u2019t be saved because there isn\u2019t enough space.",
                {name});
        case FileErrorCode::writeVolumeReadOnly:
            return format("The file \u201c%@\u201d couldn\u2019t be saved because the volume is read only.",
                          {name});
        case FileErrorCode::writeFileExists:
            return format(
                "The file \u201c%@\u201d couldn\u2019t be saved because a file with the same name already "
                "exists.",
                {name});
        case FileErrorCode::readTooLarge:
            return format("The file \u201c%@\u201d couldn\u2019t be opened because it is too large.", {name});
        case FileErrorCode::readUnknown:
        case FileErrorCode::readCorruptFile:
            return format("The file \u201c%@\u201d couldn\u2019t be opened.", {name});
        default:
            return format("The file \u201c%@\u201d couldn\u2019t be saved.", {name});
    }
}

[[noreturn]] void fail(int err, const Path& path, bool writing) {
    throw ErrorException(FileSystem::fileError(err, path, writing));
}

void fsyncDirectory(const Path& dir) {
    // Makes the rename itself durable; failure here is not worth failing the write for.
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

Error FileSystem::fileError(int err, const Path& path, bool writing) {
    FileErrorCode code;
    if (writing) {
        switch (err) {
            case ENOENT:
                code = FileErrorCode::noSuchFile;
                break;
            case EACCES:
            case EPERM:
                code = FileErrorCode::writeNoPermission;
                break;
            case ENOSPC:
            case EDQUOT:
                code = FileErrorCode::writeOutOfSpace;
                break;
            case EROFS:
                code = FileErrorCode::writeVolumeReadOnly;
                break;
            case EEXIST:
                code = FileErrorCode::writeFileExists;
                break;
            case ENAMETOOLONG:
                code = FileErrorCode::writeInvalidFileName;
                break;
            default:
                code = FileErrorCode::writeUnknown;
                break;
        }
    } else {
        switch (err) {
            case ENOENT:
            case ENOTDIR:
                code = FileErrorCode::readNoSuchFile;
                break;
            case EACCES:
            case EPERM:
                code = FileErrorCode::readNoPermission;
                break;
            case EFBIG:
            case EOVERFLOW:
                code = FileErrorCode::readTooLarge;
                break;
            default:
                code = FileErrorCode::readUnknown;
                break;
        }
    }
    auto c = static_cast<std::int64_t>(code);
    return Error(std::string(kCocoaErrorDomain), c,
                 {{std::string(kLocalizedDescriptionKey), fileDescription(c, path)},
                  {std::string(kFilePathErrorKey), path.string()},
                  {std::string(kUnderlyingErrorKey), Value(Error::posix(err))}});
}

Path FileSystem::homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return Path(home);
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return Path(pw->pw_dir);
    return Path("/");
}

Path FileSystem::dataHome() {
    return xdgBase("XDG_DATA_HOME", ".local/share");
}
Path FileSystem::configHome() {
    return xdgBase("XDG_CONFIG_HOME", ".config");
}
Path FileSystem::cacheHome() {
    return xdgBase("XDG_CACHE_HOME", ".cache");
}

Path FileSystem::applicationSupportDirectory() {
    return appFolder(dataHome());
}
Path FileSystem::configDirectory() {
    return appFolder(configHome());
}
Path FileSystem::cacheDirectory() {
    return appFolder(cacheHome());
}

Path FileSystem::temporaryDirectory() {
    if (const char* t = std::getenv("TMPDIR"); t && t[0] == '/') return Path(t);
    return Path("/tmp");
}

Data FileSystem::readFile(const Path& path) {
    return readFile(path, std::numeric_limits<std::uint64_t>::max());
}

Data FileSystem::readFile(const Path& path, std::uint64_t maxBytes) {
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) fail(errno, path, false);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) fail(errno, path, false);
    if (S_ISDIR(st.st_mode)) fail(EISDIR, path, false);
    if (st.st_size > 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes) fail(EFBIG, path, false);
    Data out;
    if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
    std::uint8_t buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, path, false);
        }
        if (n == 0) break;
        // The size can grow while reading (or a special file reports none).
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) fail(EFBIG, path, false);
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

void FileSystem::writeFileAtomically(const Path& path, std::span<const std::uint8_t> bytes,
                                     WriteOptions options) {
    Path dir = path.parent_path();
    if (options.createDirectories && !dir.empty()) createDirectory(dir, true, 0700);
    std::string tmpl = (dir / ("." + path.filename().string() + ".XXXXXX")).string();
    int raw = ::mkstemp(tmpl.data());
    if (raw < 0) fail(errno, path, true);
    FileDescriptor fd(raw);
    Path tmp(tmpl);
    auto failAndClean = [&](int err) {
        ::unlink(tmp.c_str());
        fail(err, path, true);
    };
    if (::fchmod(fd.get(), options.mode) != 0) failAndClean(errno);
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            failAndClean(errno);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) failAndClean(errno);
    if (fd.close() != 0) failAndClean(errno);
    if (::rename(tmp.c_str(), path.c_str()) != 0) failAndClean(errno);
    fsyncDirectory(dir);
}

bool FileSystem::fileExists(const Path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool FileSystem::isDirectory(const Path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::uint64_t FileSystem::fileSize(const Path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(errno, path, false);
    return static_cast<std::uint64_t>(st.st_size);
}

void FileSystem::removeItem(const Path& path) {
    std::error_code ec;
    auto status = std::filesystem::symlink_status(path, ec);
    if (ec || !std::filesystem::exists(status)) fail(ENOENT, path, true);
    std::filesystem::remove_all(path, ec);
    if (ec) fail(ec.value(), path, true);
}

std::vector<std::string> FileSystem::contentsOfDirectory(const Path& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) fail(errno, path, false);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void FileSystem::createDirectory(const Path& path, bool withIntermediateDirectories, mode_t mode) {
    if (withIntermediateDirectories) {
        if (isDirectory(path)) return;
        Path parent = path.parent_path();
        if (!parent.empty() && parent != path) createDirectory(parent, true, mode);
    }
    if (::mkdir(path.c_str(), mode) != 0) {
        int err = errno;
        if (err == EEXIST && withIntermediateDirectories && isDirectory(path)) return;
        fail(err, path, true);
    }
}

std::optional<Path> FileSystem::setAsideDamagedFile(const Path& path) {
    Path aside = path;
    aside += ".damaged";
    if (::rename(path.c_str(), aside.c_str()) != 0) return std::nullopt;
    return aside;
}

}  // namespace brisko::platform
