// The log sink: one line per message to stderr and, when the journal socket exists, to the journal.
#include "platform/base/Log.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {

std::mutex gMutex;
LogCapture* gCapture = nullptr;

// Sends one entry over the journal's native datagram protocol; silently does nothing without journald.
void sendToJournal(LogLevel level, std::string_view category, std::string_view message) {
    static int fd = [] {
        if (::access("/run/systemd/journal/socket", W_OK) != 0) return -1;
        return ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }();
    if (fd < 0) return;
    if (message.find('\n') != std::string_view::npos) return;  // the simple form carries single lines only
    std::string entry = "MESSAGE=" + std::string(message) + "\nPRIORITY=" + std::to_string(static_cast<int>(level)) +
                        "\nSYSLOG_IDENTIFIER=brisko-desktop\nBRISKO_CATEGORY=" + std::string(category) + "\n";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/run/systemd/journal/socket", sizeof(addr.sun_path) - 1);
    ::sendto(fd, entry.data(), entry.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
}

}  // namespace

void log(LogLevel level, std::string_view category, std::string_view rawMessage) {
    std::string message = sanitizeUTF8(rawMessage);
    std::lock_guard lock(gMutex);
    if (gCapture) {
        gCapture->add(LogRecord{level, std::string(category), message});
        if (!gCapture->echo_) return;
    }
    std::string line = message;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    sendToJournal(level, category, message);
}

LogCapture::LogCapture(bool echo) : echo_(echo) {
    std::lock_guard lock(gMutex);
    gCapture = this;
}

LogCapture::~LogCapture() {
    std::lock_guard lock(gMutex);
    if (gCapture == this) gCapture = nullptr;
}

void LogCapture::add(LogRecord r) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(r));
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> LogCapture::messages() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    out.reserve(records_.size());
    for (auto& r : records_) out.push_back(r.message);
    return out;
}

bool LogCapture::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    for (auto& r : records_)
        if (r.message.find(text) != std::string::npos) return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

}  // namespace brisko::platform
