// Background sessions: identifiers carrying the fetch's state, their user-defaults record and reconnection.
#include <random>

#include <nlohmann/json.hpp>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/internal/FetcherEnvironment.hpp"
#include "platform/base/JSON.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

using platform::Dictionary;
using platform::Value;

namespace {
constexpr std::string_view kDestinationURLKey = "_destURL";
constexpr std::string_view kBodyFileURLKey = "_bodyURL";
constexpr std::string_view kClientWillReconnectKey = "_clientWillReconnect";

std::string makeUUIDString() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::uint64_t> distribution;
    std::uint64_t high = distribution(generator), low = distribution(generator);
    high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
    low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

std::vector<std::string> storedIdentifiers() {
    std::vector<std::string> out;
    if (auto array = internal::fetcherUserDefaults()->arrayForKey(kSessionFetcherPersistedDestinationKey)) {
        for (const auto& v : *array) {
            if (const auto* s = v.string()) out.push_back(*s);
        }
    }
    return out;
}

void writeIdentifiers(const std::vector<std::string>& identifiers) {
    auto defaults = internal::fetcherUserDefaults();
    if (identifiers.empty()) {
        defaults->removeObjectForKey(kSessionFetcherPersistedDestinationKey);
    } else {
        platform::Array array(identifiers.begin(), identifiers.end());
        defaults->setObject(Value(std::move(array)), kSessionFetcherPersistedDestinationKey);
    }
    defaults->synchronize();
}

// The record is read, changed and written as one step.
std::mutex& persistedListMutex() {
    static std::mutex m;
    return m;
}

std::optional<std::string> metadataText(const Dictionary& metadata, std::string_view key) {
    auto it = metadata.find(key);
    if (it == metadata.end()) return std::nullopt;
    if (const auto* s = it->second.string()) return *s;
    return std::nullopt;
}
}  // namespace

bool SessionFetcher::useBackgroundSession() const {
    std::lock_guard lock(mutex_);
    return userRequestedBackgroundSession_;
}

void SessionFetcher::setUseBackgroundSession(bool value) {
    std::lock_guard lock(mutex_);
    userRequestedBackgroundSession_ = value;
}

bool SessionFetcher::usingBackgroundSession() const {
    std::lock_guard lock(mutex_);
    return usingBackgroundSession_;
}

std::optional<std::string> SessionFetcher::sessionIdentifier() const {
    std::lock_guard lock(mutex_);
    return sessionIdentifier_;
}

void SessionFetcher::setSessionIdentifier(const std::string& identifier) {
    std::lock_guard lock(mutex_);
    sessionIdentifier_ = identifier;
    usingBackgroundSession_ = true;
    canShareSession_ = false;
    restoreDefaultStateForSessionIdentifierMetadata();
}

std::string SessionFetcher::createSessionIdentifierWithMetadata(const std::optional<Dictionary>& metadata) {
    std::lock_guard lock(mutex_);
    sessionIdentifierUUID_ = makeUUIDString();
    std::string identifier =
        platform::format("%@_%@", {std::string(kSessionIdentifierPrefix), *sessionIdentifierUUID_});
    Dictionary merged = sessionUserInfo_.value_or(Dictionary{});
    if (metadata) {
        for (const auto& [k, v] : *metadata) merged[k] = v;
    }
    if (auto defaults = sessionIdentifierDefaultMetadata()) {
        for (const auto& [k, v] : *defaults) merged[k] = v;
    }
    if (!merged.empty()) {
        std::string json = Value(merged).toJSON().dump();
        if (!json.empty()) identifier += platform::format("_%@", {json});
    }
    sessionIdentifier_ = identifier;
    didCreateSessionIdentifier_ = true;
    return identifier;
}

std::optional<Dictionary> SessionFetcher::sessionIdentifierMetadataUnsynchronized() const {
    if (!sessionIdentifier_) return std::nullopt;
    // "<prefix>_<UUID>_<JSON>": all three parts must be there.
    const std::string& text = *sessionIdentifier_;
    auto first = text.find('_');
    if (first == std::string::npos || first == 0) return std::nullopt;
    auto second = text.find('_', first + 1);
    if (second == std::string::npos || second == first + 1) return std::nullopt;
    auto end = text.find('\n', second + 1);
    std::string json =
        text.substr(second + 1, end == std::string::npos ? std::string::npos : end - second - 1);
    if (json.empty()) return std::nullopt;
    // Identifiers come back from the user defaults at launch, or from a caller: their metadata is read
    // bounded, as generously as a reply (it holds the caller's own dictionary).
    auto parsed = platform::readJSON(json, platform::kMaxReplyJSONDepth);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    auto value = Value::fromJSON(*parsed);
    if (const auto* dict = value.dictionary()) return *dict;
    return std::nullopt;
}

std::optional<Dictionary> SessionFetcher::sessionIdentifierMetadata() const {
    std::lock_guard lock(mutex_);
    return sessionIdentifierMetadataUnsynchronized();
}

std::optional<Dictionary> SessionFetcher::sessionIdentifierDefaultMetadata() const {
    Dictionary metadata;
    if (destinationFileURL_)
        metadata[std::string(kDestinationURLKey)] = destinationFileURL_->absoluteString();
    if (bodyFileURL_) metadata[std::string(kBodyFileURLKey)] = bodyFileURL_->absoluteString();
    if (clientWillReconnectBackgroundSession_) metadata[std::string(kClientWillReconnectKey)] = "YES";
    if (metadata.empty()) return std::nullopt;
    return metadata;
}

void SessionFetcher::restoreDefaultStateForSessionIdentifierMetadata() {
    auto metadata = sessionIdentifierMetadataUnsynchronized();
    if (!metadata) return;
    if (auto text = metadataText(*metadata, kDestinationURLKey))
        destinationFileURL_ = platform::URL::parse(*text);
    if (auto text = metadataText(*metadata, kBodyFileURLKey)) bodyFileURL_ = platform::URL::parse(*text);
    if (auto text = metadataText(*metadata, kClientWillReconnectKey)) {
        clientWillReconnectBackgroundSession_ = platform::equalsIgnoringASCIICase(*text, "YES") ||
                                                *text == "1" ||
                                                platform::equalsIgnoringASCIICase(*text, "true");
    }
}

std::optional<Dictionary> SessionFetcher::sessionUserInfo() const {
    std::lock_guard lock(mutex_);
    if (sessionUserInfo_) return sessionUserInfo_;
    auto metadata = sessionIdentifierMetadataUnsynchronized();
    if (!metadata) return std::nullopt;
    Dictionary info;
    for (const auto& [k, v] : *metadata) {
        if (!platform::hasPrefix(k, "_")) info[k] = v;
    }
    if (info.empty()) return std::nullopt;
    return info;
}

void SessionFetcher::setSessionUserInfo(std::optional<Dictionary> info) {
    std::lock_guard lock(mutex_);
    sessionUserInfo_ = std::move(info);
}

bool SessionFetcher::clientWillReconnectBackgroundSession() const {
    std::lock_guard lock(mutex_);
    return clientWillReconnectBackgroundSession_;
}

void SessionFetcher::setClientWillReconnectBackgroundSession(bool value) {
    std::lock_guard lock(mutex_);
    clientWillReconnectBackgroundSession_ = value;
}

bool SessionFetcher::wasCreatedFromBackgroundSession() const {
    std::lock_guard lock(mutex_);
    return wasCreatedFromBackgroundSession_;
}

void SessionFetcher::forgetSessionIdentifierForFetcher() {
    std::lock_guard lock(mutex_);
    if (sessionIdentifier_) internal::forgetSessionIdentifier(*sessionIdentifier_, this);
    sessionIdentifier_.reset();
    didCreateSessionIdentifier_ = false;
}

std::optional<std::vector<std::string>> SessionFetcher::activePersistedBackgroundSessions() {
    std::vector<std::string> active;
    for (const auto& identifier : storedIdentifiers()) {
        if (internal::fetcherForSessionIdentifier(identifier)) active.push_back(identifier);
    }
    if (active.empty()) return std::nullopt;
    return active;
}

void SessionFetcher::addPersistedBackgroundSessionToDefaults() {
    auto identifier = sessionIdentifier();
    if (!identifier) return;
    std::lock_guard lock(persistedListMutex());
    auto active = activePersistedBackgroundSessions().value_or(std::vector<std::string>{});
    if (std::find(active.begin(), active.end(), *identifier) != active.end()) return;
    active.push_back(*identifier);
    writeIdentifiers(active);
}

void SessionFetcher::removePersistedBackgroundSessionFromDefaults() {
    auto identifier = sessionIdentifier();
    if (!identifier) return;
    std::lock_guard lock(persistedListMutex());
    auto active = activePersistedBackgroundSessions();
    if (!active) return;
    auto it = std::find(active->begin(), active->end(), *identifier);
    if (it == active->end()) return;
    active->erase(it);
    writeIdentifiers(*active);
}

std::shared_ptr<SessionFetcher> SessionFetcher::fetcherWithSessionIdentifier(const std::string& identifier) {
    if (auto live = internal::fetcherForSessionIdentifier(identifier)) return live;
    if (!platform::hasPrefix(identifier, kSessionIdentifierPrefix)) return nullptr;
    auto fetcher = fetcherWithRequest(std::nullopt);
    fetcher->setSessionIdentifier(identifier);
    internal::registerSessionIdentifier(identifier, fetcher);
    {
        std::lock_guard lock(fetcher->mutex_);
        fetcher->wasCreatedFromBackgroundSession_ = true;
    }
    return fetcher;
}

std::vector<std::shared_ptr<SessionFetcher>> SessionFetcher::fetchersForBackgroundSessions() {
    std::vector<std::shared_ptr<SessionFetcher>> fetchers;
    for (const auto& identifier : storedIdentifiers()) {
        auto fetcher = internal::fetcherForSessionIdentifier(identifier);
        if (!fetcher) {
            fetcher = fetcherWithSessionIdentifier(identifier);
            if (!fetcher) continue;
            if (!fetcher->clientWillReconnectBackgroundSession())
                fetcher->beginFetchWithCompletionHandler(nullptr);
        }
        fetchers.push_back(fetcher);
    }
    return fetchers;
}

void SessionFetcher::reconnectFetchersForBackgroundSessionsOnAppLaunch() {
    platform::DispatchQueue::main()->async([] { fetchersForBackgroundSessions(); });
}

}  // namespace brisko::fetcher
