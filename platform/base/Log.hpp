// The one sink for the system's log lines: stderr and, when present, the systemd journal.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {

// Syslog-style levels, as the coded logger numbers them.
enum class LogLevel { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Writes one line. `category` names the writer (for example "app", "core", "fetcher").
void log(LogLevel level, std::string_view category, std::string_view message);
inline void logLine(std::string_view message) { log(LogLevel::notice, "app", message); }

struct LogRecord {
    LogLevel level;
    std::string category;
    std::string message;
};

// Captures every line written while it lives (tests read them); lines still reach stderr only when
// `echo` is true.
class LogCapture {
public:
    explicit LogCapture(bool echo = false);
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> messages() const;
    bool contains(std::string_view text) const;
    void clear();

private:
    friend void log(LogLevel, std::string_view, std::string_view);
    void add(LogRecord r);
    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
    bool echo_;
};

}  // namespace brisko::platform
