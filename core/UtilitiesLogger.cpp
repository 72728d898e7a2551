// The logging back end: level gate and line format on the caller's thread, writing on the client queue.
#include "core/UtilitiesLogger.hpp"

#include <atomic>
#include <map>
#include <mutex>

#include "core/AppEnvironmentUtil.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Log.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kInvalidLevelCode = "I-COR000023";
constexpr std::string_view kInvalidLevelMessage = "Invalid logger level, %ld";
constexpr std::string_view kLineFormat = "%@ - %@[%@] %@";

// One writer per (subsystem, category): the stand-in for a unified-log handle.
struct LogHandle {
    std::string subsystem;
    std::string category;
    void write(long level, const std::string& line) const {
        const auto logLevel = (level >= kLoggerLevelError && level <= kLoggerLevelDebug)
                                  ? static_cast<platform::LogLevel>(level)
                                  : platform::LogLevel::error;
        platform::log(logLevel, subsystem, line);
    }
};

struct State {
    std::atomic<long> maximumLevel{UtilitiesLogger::kDefaultMaximumLevel};
    std::atomic<bool> debugMode{false};
    std::mutex versionMutex;
    std::string version;
    std::shared_ptr<platform::DispatchQueue> clientQueue;
    // Touched only on the client queue.
    std::map<std::string, std::map<std::string, std::shared_ptr<LogHandle>>> handles;
};

// Never destroyed: lines queued just before exit are still written on the client queue while the
// process tears down its statics.
State& state() {
    static State& s = *new State;
    return s;
}

std::once_flag gSetUpOnce;

void setUp() {
    auto& s = state();
    s.maximumLevel = UtilitiesLogger::kDefaultMaximumLevel;
    if (!s.clientQueue) s.clientQueue = platform::DispatchQueue::make(std::string(kLoggingClientQueueLabel));
}

bool passesGate(long level, bool force) {
    return force || UtilitiesLogger::isDebugMode() || level <= state().maximumLevel.load();
}

void write(long level, std::string_view subsystem, std::string_view category, std::string_view code,
           std::string_view message) {
    auto& s = state();
    std::string version;
    {
        std::lock_guard lock(s.versionMutex);
        version = s.version;
    }
    std::string line = platform::format(kLineFormat, {version, category, code, message});
    s.clientQueue->async([level, subsystem = std::string(subsystem), category = std::string(category),
                          line = std::move(line)] {
        auto& handles = state().handles[subsystem];
        auto& handle = handles[category];
        if (!handle) handle = std::make_shared<LogHandle>(LogHandle{subsystem, category});
        handle->write(level, line);
    });
}

}  // namespace

void UtilitiesLogger::ensureInitialized() {
    std::call_once(gSetUpOnce, setUp);
}

void UtilitiesLogger::setLevel(long level) {
    ensureInitialized();
    if (level < kLoggerLevelError || level > kLoggerLevelDebug) {
        logBasic(kLoggerLevelError, kUtilitiesLoggerSubsystem, kUtilitiesLoggerCategory, true,
                 kInvalidLevelCode, kInvalidLevelMessage, {level});
        return;
    }
    // An app-store build cannot be made more verbose than warning this way.
    if (level <= kLoggerLevelWarning || !AppEnvironmentUtil::isFromAppStore()) state().maximumLevel = level;
}

long UtilitiesLogger::getLevel() {
    ensureInitialized();
    return state().maximumLevel.load();
}

bool UtilitiesLogger::isLoggableLevel(long level) {
    ensureInitialized();
    return isDebugMode() || level <= state().maximumLevel.load();
}

void UtilitiesLogger::forceDebugUnlessAppStore() {
    ensureInitialized();
    if (AppEnvironmentUtil::isFromAppStore()) return;
    state().debugMode = true;
    state().maximumLevel = kLoggerLevelDebug;
}

bool UtilitiesLogger::isDebugMode() {
    return state().debugMode.load();
}

void UtilitiesLogger::setVersion(std::string version) {
    std::lock_guard lock(state().versionMutex);
    state().version = std::move(version);
}

void UtilitiesLogger::logBasic(long level, std::string_view subsystem, std::string_view category, bool force,
                               std::string_view code, std::string_view message) {
    ensureInitialized();
    if (!passesGate(level, force)) return;
    write(level, subsystem, category, code, message);
}

void UtilitiesLogger::logBasic(long level, std::string_view subsystem, std::string_view category, bool force,
                               std::string_view code, std::string_view format,
                               std::initializer_list<platform::FormatArg> args) {
    ensureInitialized();
    if (!passesGate(level, force)) return;
    write(level, subsystem, category, code, platform::format(format, args));
}

void UtilitiesLogger::waitUntilWritten() {
    ensureInitialized();
    if (state().clientQueue->isCurrent()) return;
    state().clientQueue->sync([] {});
}

void UtilitiesLogger::resetForTesting() {
    ensureInitialized();
    waitUntilWritten();
    auto& s = state();
    s.maximumLevel = kDefaultMaximumLevel;
    s.debugMode = false;
    setVersion({});
}

std::size_t UtilitiesLogger::handleCountForTesting() {
    waitUntilWritten();
    return state().clientQueue->syncResult([] {
        std::size_t count = 0;
        for (const auto& [subsystem, categories] : state().handles) count += categories.size();
        return count;
    });
}

}  // namespace brisko::core
