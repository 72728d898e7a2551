// The standard User-Agent text: a cleaned application token and the system token.
#include "fetcher/UserAgentProvider.hpp"

#include <map>

#include "platform/storage/Bundle.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

namespace {

constexpr std::string_view kUserAgentIDKey = "ETMUserAgentID";
constexpr std::string_view kUserAgentVersionKey = "ETMUserAgentVersion";
constexpr std::string_view kShortVersionKey = "CFBundleShortVersionString";
constexpr std::string_view kBundleVersionKey = "CFBundleVersion";
constexpr std::string_view kSystemName = "Linux";
constexpr std::string_view kSeparators = "()<>@;:\\\"/[]?={}";

// Decodes one UTF-8 scalar at `i` (advancing it); ill-formed bytes read as themselves.
char32_t decodeUTF8(std::string_view s, std::size_t& i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + extra >= s.size()) {
        ++i;
        return c;
    }
    char32_t value = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) value = (value << 6) | (byte(i + k) & 0x3F);
    i += extra + 1;
    return value;
}

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

std::optional<std::string> infoText(const std::shared_ptr<const platform::Bundle>& bundle,
                                    std::string_view key) {
    const auto* value = bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
    const auto* text = value ? value->string() : nullptr;
    if (!text || text->empty()) return std::nullopt;
    return *text;
}

std::mutex& applicationIdentifierMutex() {
    static std::mutex m;
    return m;
}

std::map<std::string, std::string, std::less<>>& applicationIdentifierCache() {
    static std::map<std::string, std::string, std::less<>> cache;
    return cache;
}

}  // namespace

std::string cleanedUserAgentToken(std::optional<std::string_view> token) {
    if (!token) return "";
    std::string replaced;
    for (char c : *token) replaced += (c == ' ' || c == ',') ? '_' : c;
    std::string out;
    for (std::size_t i = 0; i < replaced.size();) {
        std::size_t start = i;
        char32_t c = decodeUTF8(replaced, i);
        if (isWhitespaceOrNewline(c)) continue;
        if (c < 0x80 && kSeparators.find(static_cast<char>(c)) != std::string_view::npos) continue;
        out.append(replaced, start, i - start);
    }
    return out;
}

std::string systemVersionString() {
    static const std::string token = [] {
        auto version =
            platform::ProcessInfo::parseVersion(platform::ProcessInfo::processInfo().kernelVersion());
        return platform::format("%@/%ld.%ld.%ld", {kSystemName, version.majorVersion, version.minorVersion,
                                                   version.patchVersion});
    }();
    return token;
}

std::string applicationIdentifier(const std::shared_ptr<const platform::Bundle>& givenBundle) {
    std::shared_ptr<const platform::Bundle> bundle = givenBundle ? givenBundle : platform::Bundle::main();
    std::lock_guard lock(applicationIdentifierMutex());
    std::string key = bundle ? bundle->bundleIdentifier().value_or("") : std::string();
    auto& cache = applicationIdentifierCache();
    if (auto it = cache.find(key); it != cache.end()) return it->second;

    std::string name;
    if (auto id = infoText(bundle, kUserAgentIDKey)) {
        name = *id;
    } else if (!key.empty()) {
        name = key;
    } else {
        name = platform::format("proc_%@", {platform::ProcessInfo::processInfo().processName()});
    }
    std::string token = cleanedUserAgentToken(name);
    std::optional<std::string> version = infoText(bundle, kUserAgentVersionKey);
    if (!version) version = infoText(bundle, kShortVersionKey);
    if (!version) version = infoText(bundle, kBundleVersionKey);
    std::string cleanedVersion = cleanedUserAgentToken(version);
    if (!cleanedVersion.empty()) token += platform::format("/%@", {cleanedVersion});
    cache[key] = token;
    return token;
}

std::string standardUserAgentString(const std::shared_ptr<const platform::Bundle>& bundle) {
    return platform::format("%@ %@", {applicationIdentifier(bundle), systemVersionString()});
}

std::string StandardUserAgentProvider::userAgent() {
    if (auto cached = cachedUserAgent()) return *cached;
    std::string computed = standardUserAgentString(bundle_);
    setCachedUserAgent(computed);
    return computed;
}

std::optional<std::string> StandardUserAgentProvider::cachedUserAgent() {
    std::lock_guard lock(mutex_);
    return cachedUserAgent_;
}

void StandardUserAgentProvider::setCachedUserAgent(std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    cachedUserAgent_ = std::move(value);
}

}  // namespace brisko::fetcher
