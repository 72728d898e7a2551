// The interceptor registry, its switches and log lines, and event delivery to interceptors.
#include "core/AppDelegateSwizzler.hpp"

#include <atomic>
#include <cstdint>

#include "core/AppEnvironmentUtil.hpp"
#include "core/Library.hpp"
#include "core/NumberValue.hpp"
#include "core/UtilitiesLogger.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kCategory = "[EzevarUtilities/AppDelegateSwizzler]";
constexpr std::string_view kCodeFormat = "I-SWZ%06ld";
constexpr std::string_view kInterceptorPrefix = "EUL_";
constexpr std::string_view kCoreClassName = "ZIRCore";

constexpr long kNilInterceptorCode = 1000;
constexpr long kCannotCreateIDCode = 1002;
constexpr long kEmptyIDCode = 1003;
constexpr long kNotRegisteredCode = 1004;
constexpr long kProxyCreatedCode = 1008;
constexpr long kInterceptorGoneCode = 1010;
constexpr long kProxyDisabledCode = 1011;

constexpr std::string_view kNilInterceptorMessage = "AppDelegateProxy cannot add nil interceptor.";
constexpr std::string_view kCannotCreateIDMessage = "AppDelegateProxy cannot create Interceptor ID.";
constexpr std::string_view kEmptyIDMessage = "AppDelegateProxy cannot unregister empty interceptor ID.";
constexpr std::string_view kNotRegisteredMessage =
    "AppDelegateProxy cannot unregister interceptor that was not registered. Interceptor ID %@";
constexpr std::string_view kProxyCreatedMessage =
    "Successfully created App Delegate Proxy automatically. To disable the proxy, set the flag %@ to NO "
    "(Boolean) in "
    "the Info.plist";
constexpr std::string_view kInterceptorGoneMessage =
    "AppDelegateProxy cannot find interceptor with ID %@. Removing the interceptor.";
constexpr std::string_view kProxyDisabledMessage = "App Delegate Proxy is disabled. %@";
constexpr std::string_view kAlternativeHint =
    "To log deep link campaigns manually, call the methods in ZIRAnalytics+AppDelegate.h.";

void logSwizzler(long level, long code, std::string_view message,
                 std::initializer_list<platform::FormatArg> args = {}) {
    UtilitiesLogger::logCoded(level, kCategory, kCodeFormat, code, message, args);
}

std::atomic<bool> gProxying{false};

bool switchIsOn(std::string_view key) {
    return booleanOfNumber(platform::Bundle::main()->objectForInfoDictionaryKey(key)).value_or(true);
}

}  // namespace

AppDelegateSwizzler::Interceptors& AppDelegateSwizzler::interceptors() {
    static auto* kInterceptors = new Interceptors();
    return *kInterceptors;
}

bool AppDelegateSwizzler::isAppDelegateProxyEnabled() {
    return switchIsOn(kAppDelegateProxyEnabledCoreKey) && switchIsOn(kAppDelegateProxyEnabledUtilitiesKey);
}

std::optional<std::string> AppDelegateSwizzler::registerAppDelegateInterceptor(
    const std::shared_ptr<ApplicationDelegate>& interceptor) {
    if (!interceptor) {
        logSwizzler(kLoggerLevelError, kNilInterceptorCode, kNilInterceptorMessage);
        return std::nullopt;
    }
    const std::string interceptorID =
        std::string(kInterceptorPrefix) +
        platform::format("0x%lx",
                         {static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(interceptor.get()))});
    if (interceptorID.size() <= kInterceptorPrefix.size()) {
        logSwizzler(kLoggerLevelError, kCannotCreateIDCode, kCannotCreateIDMessage);
        return std::nullopt;
    }
    interceptors().setObject(interceptor, interceptorID);
    return interceptorID;
}

void AppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(std::string_view interceptorID) {
    if (interceptorID.empty()) {
        logSwizzler(kLoggerLevelError, kEmptyIDCode, kEmptyIDMessage);
        return;
    }
    const std::string key(interceptorID);
    auto entry = interceptors().objectForKey(key);
    if (!entry || entry->expired()) {
        logSwizzler(kLoggerLevelError, kNotRegisteredCode, kNotRegisteredMessage, {key});
        return;
    }
    interceptors().removeObjectForKey(key);
}

void AppDelegateSwizzler::clearInterceptors() {
    interceptors().removeAllObjects();
}

void AppDelegateSwizzler::proxyOriginalDelegate() {
    if (AppEnvironmentUtil::isAppExtension()) return;
    if (!isAppDelegateProxyEnabled()) {
        logSwizzler(kLoggerLevelNotice, kProxyDisabledCode, kProxyDisabledMessage,
                    {correctAlternativeWhenAppDelegateProxyNotCreated()});
        return;
    }
    bool expected = false;
    if (gProxying.compare_exchange_strong(expected, true)) {
        logSwizzler(kLoggerLevelDebug, kProxyCreatedCode, kProxyCreatedMessage,
                    {correctAppDelegateProxyKey()});
    }
}

void AppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods() {
    proxyOriginalDelegate();
}

void AppDelegateSwizzler::resetProxyOriginalDelegateOnceToken() {
    gProxying = false;
}

bool AppDelegateSwizzler::isProxying() {
    return gProxying.load();
}

void AppDelegateSwizzler::notifyInterceptors(const std::function<void(ApplicationDelegate&)>& callback) {
    if (!callback) return;
    for (const auto& [interceptorID, weak] : interceptors().dictionary()) {
        auto interceptor = weak.lock();
        if (!interceptor) {
            logSwizzler(kLoggerLevelWarning, kInterceptorGoneCode, kInterceptorGoneMessage, {interceptorID});
            interceptors().removeObjectForKey(interceptorID);
            continue;
        }
        callback(*interceptor);
    }
}

bool AppDelegateSwizzler::applicationOpenURLs(const std::vector<std::string>& urls) {
    if (!isProxying()) return false;
    bool handled = false;
    notifyInterceptors([&](ApplicationDelegate& interceptor) {
        if (interceptor.applicationOpenURLs(urls).value_or(false)) handled = true;
    });
    return handled;
}

std::string AppDelegateSwizzler::correctAppDelegateProxyKey() {
    return std::string(LibraryClassRegistry::classNamed(kCoreClassName)
                           ? kAppDelegateProxyEnabledCoreKey
                           : kAppDelegateProxyEnabledUtilitiesKey);
}

std::string AppDelegateSwizzler::correctAlternativeWhenAppDelegateProxyNotCreated() {
    return LibraryClassRegistry::classNamed(kCoreClassName) ? std::string(kAlternativeHint) : std::string();
}

}  // namespace brisko::core
