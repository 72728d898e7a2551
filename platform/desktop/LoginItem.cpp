// The login item as an XDG autostart entry: written atomically, read back for its status, and left
// alone once the user switched it off.
#include "platform/desktop/LoginItem.hpp"

#include "platform/storage/FileSystem.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/desktop/DesktopEntry.hpp"

namespace brisko::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kDisabledByUserMessage =
    "The login item was switched off in the desktop's startup settings; it stays off.";

Error loginItemError(LoginItemError code, std::string description, std::optional<Error> underlying = std::nullopt) {
    Dictionary info;
    info[std::string(kLocalizedDescriptionKey)] = Value(std::move(description));
    if (underlying) info[std::string(kUnderlyingErrorKey)] = Value(*underlying);
    return Error(std::string(kLoginItemErrorDomain), static_cast<std::int64_t>(code), std::move(info));
}

// A value of type string: backslash and control characters escaped.
std::string escapeString(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

// One Exec argument: quoted when it holds a reserved character, '%' doubled (field codes).
std::string quoteExecArgument(std::string_view arg) {
    constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string body;
    for (char c : arg) {
        if (c == '%')
            body += "%%";
        else
            body.push_back(c);
    }
    if (!body.empty() && body.find_first_of(reserved) == std::string::npos) return body;
    std::string quoted = "\"";
    for (char c : body) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return quoted + "\"";
}

std::vector<std::string> defaultCommand() {
    std::error_code ec;
    auto exe = fs::read_symlink("/proc/self/exe", ec);
    return {ec ? std::string(program_invocation_name) : exe.string()};
}

}  // namespace

LoginItem LoginItem::mainAppService() {
    return LoginItem();
}

LoginItem::LoginItem() : LoginItem(Options{}) {}

LoginItem::LoginItem(Options options) : options_(std::move(options)) {
    if (options_.command.empty()) options_.command = defaultCommand();
}

fs::path LoginItem::path() const {
    fs::path config = options_.configHome ? fs::path(*options_.configHome) : FileSystem::configHome();
    return config / "autostart" / options_.fileName;
}

std::string LoginItem::desktopEntry() const {
    std::string exec;
    for (const auto& arg : options_.command) {
        if (!exec.empty()) exec.push_back(' ');
        exec += quoteExecArgument(arg);
    }
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" +
           escapeString(options_.name) + "\nComment=" + escapeString(options_.comment) +
           "\nExec=" + escapeString(exec) + "\nIcon=" + escapeString(options_.icon) +
           "\nTerminal=false\n"
           "X-GNOME-Autostart-enabled=true\n"
           "X-GNOME-Autostart-Delay=" +
           std::to_string(options_.autostartDelaySeconds) + "\nX-KDE-autostart-after=panel\n";
}

LoginItemStatus LoginItem::status() const {
    auto file = path();
    std::error_code ec;
    if (!fs::exists(file, ec)) return LoginItemStatus::notRegistered;
    for (const auto& [key, value] : readDesktopEntry(file)) {
        if ((key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false")) {
            return LoginItemStatus::disabledByUser;
        }
    }
    return LoginItemStatus::enabled;
}

OptionalError LoginItem::registerAndReturnError() const {
    if (status() == LoginItemStatus::disabledByUser) {
        return loginItemError(LoginItemError::disabledByUser, std::string(kDisabledByUserMessage));
    }
    auto file = path();
    std::error_code ec;
    fs::create_directories(file.parent_path(), ec);
    if (ec) {
        return loginItemError(LoginItemError::writeFailed, "Could not create " + file.parent_path().string(),
                              Error::posix(ec.value(), file.parent_path().string()));
    }
    // Written beside the target and renamed over it, so a reader never sees half an entry.
    std::string temp = file.string() + ".XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        int err = errno;
        return loginItemError(LoginItemError::writeFailed, "Could not write " + file.string(), Error::posix(err, temp));
    }
    std::string text = desktopEntry();
    const char* p = text.data();
    std::size_t left = text.size();
    int err = 0;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (!err && ::fchmod(fd, 0644) != 0) err = errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(temp.c_str(), file.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(temp.c_str());
        return loginItemError(LoginItemError::writeFailed, "Could not write " + file.string(),
                              Error::posix(err, file.string()));
    }
    return std::nullopt;
}

OptionalError LoginItem::unregisterAndReturnError() const {
    auto file = path();
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        int err = errno;
        return loginItemError(LoginItemError::removeFailed, "Could not remove " + file.string(),
                              Error::posix(err, file.string()));
    }
    return std::nullopt;
}

}  // namespace brisko::platform
