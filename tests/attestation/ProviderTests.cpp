// The providers against the local attestation backend: the debug provider end to end, DeviceCheck and
// App Attest through stand-ins of the platform services (and what Linux answers), and App Attest storage.
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "attestation/AppAttestProvider.hpp"
#include "attestation/AppVouchDebugProvider.hpp"
#include "attestation/DeviceCheckProvider.hpp"
#include "core/UserDefaults.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/Crypto.hpp"
#include "tests/attestation/AttestationTestSupport.hpp"
#include "tests/support/attestation-backend/AttestationBackend.hpp"

using namespace brisko::attestation;
using namespace brisko::attestation::testing;
using namespace std::chrono_literals;
using brisko::platform::Data;
using brisko::platform::LogCapture;
using brisko::platform::toData;
using brisko::testing::AttestationBackend;
using Method = AttestationBackend::Method;
using Fault = AttestationBackend::Fault;

namespace {

// Sets (or unsets, for nothing) an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value) {
            setenv(name, value->c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (previous_) {
            setenv(name_, previous_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> previous_;
};

struct DebugLogLevel {
    DebugLogLevel() { AppVouchLogger::setLogLevel(1); }
    ~DebugLogLevel() { AppVouchLogger::setLogLevel(3); }
};

TokenOutcome* request(AppVouchProvider& provider, TokenOutcome& outcome, bool limitedUse = false) {
    if (limitedUse) {
        provider.getLimitedUseTokenWithCompletion(outcome.completion());
    } else {
        provider.getTokenWithCompletion(outcome.completion());
    }
    REQUIRE(outcome.wait());
    return &outcome;
}

}  // namespace

// MARK: - Debug provider

TEST_CASE("the debug provider exchanges its environment token with the backend, limited use or not") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    ScopedEnv primary("AppVouchDebugToken", std::string("env-debug-token"));
    ScopedEnv fallback("ZIRAAppVouchDebugToken", std::nullopt);
    auto provider = AppVouchDebugProvider::initWithServiceName("svc", backend.resourceName(), backend.baseURL(),
                                                               std::string("api-key"));
    CHECK(provider->currentDebugToken() == "env-debug-token");
    TokenOutcome standard, limited;
    request(*provider, standard);
    request(*provider, limited, true);
    REQUIRE(standard.token);
    CHECK(standard.token->token == backend.issuedTokens().at(0));
    CHECK(std::chrono::duration<double>(standard.token->expirationDate - standard.token->receivedAtDate).count() ==
          3600);
    auto requests = backend.requestsTo(Method::exchangeDebug);
    REQUIRE(requests.size() == 2);
    auto first = nlohmann::json::parse(requests[0].body);
    CHECK(first["debug_token"] == "env-debug-token");
    CHECK(first["limited_use"] == false);
    CHECK(nlohmann::json::parse(requests[1].body)["limited_use"] == true);
    CHECK(requests[0].header("X-Ezev-Api-Key") == "api-key");

    // Through the client: the token is cached in the keychain and served again without a call.
    auto client = AppVouch::initWithServiceName("svc", backend.resourceName(), provider,
                                                std::make_shared<AppVouchSettings>(), {}, std::nullopt);
    for (int i = 0; i < 2; ++i) {
        std::optional<AppVouchTokenResult> result;
        client->tokenForcingRefresh(false, [&](const AppVouchTokenResult& r) { result = r; });
        REQUIRE(runUntil([&] { return result.has_value(); }));
        CHECK_FALSE(result->error());
    }
    CHECK(backend.requestsTo(Method::exchangeDebug).size() == 3);
}

TEST_CASE("the debug token comes from the environment variables in order, else a local token kept in defaults") {
    AttestationTestEnvironment env;
    auto api = std::make_shared<AppVouchDebugProviderAPIService>(
        std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::string("http://127.0.0.1:9/v1"),
                                             std::nullopt),
        "r");
    struct Row {
        std::optional<std::string> primary;
        std::optional<std::string> fallback;
        std::optional<std::string> chosen;  // nothing: the local token
        std::string warning;                // a Warning line, when one is written
    };
    const Row rows[] = {
        {"A", "F", "A",
         "The environment variables AppVouchDebugToken and ZIRAAppVouchDebugToken are both set; using the debug "
         "token specified in AppVouchDebugToken and ignoring the value of ZIRAAppVouchDebugToken."},
        {"A", "", "A", "both set"},
        {"A", std::nullopt, "A", ""},
        {"", "F", "F", ""},
        {std::nullopt, "", "", ""},
        {std::nullopt, std::nullopt, std::nullopt, "App Vouch debug token: '"},
        {"", std::nullopt, std::nullopt, "App Vouch debug token: '"},
    };
    for (const auto& row : rows) {
        CAPTURE(row.primary.value_or("(unset)"));
        CAPTURE(row.fallback.value_or("(unset)"));
        brisko::platform::UserDefaults::Store::setShared(brisko::platform::UserDefaults::Store::inMemory());
        ScopedEnv primary("AppVouchDebugToken", row.primary);
        ScopedEnv fallback("ZIRAAppVouchDebugToken", row.fallback);
        LogCapture capture;
        AppVouchDebugProvider provider(api);
        CHECK(provider.debugTokenEnvValue() == row.chosen);
        const auto stored = brisko::core::UserDefaults::standardUserDefaults()->stringForKey("EAVAppVouchDebugToken");
        CHECK(stored.has_value() == !row.chosen.has_value());
        if (!row.warning.empty()) CHECK(capture.contains(row.warning));
        if (row.warning.empty()) CHECK(capture.messages().empty());
        if (!row.chosen) {
            CHECK(stored->size() == 36);
            CHECK(capture.contains("App Vouch debug token: '" + *stored + "'."));
            // The local token survives restarts: a second provider prints the same value.
            LogCapture again;
            AppVouchDebugProvider second(api);
            CHECK(second.currentDebugToken() == *stored);
            CHECK(again.contains("App Vouch debug token: '" + *stored + "'."));
        }
    }
}

TEST_CASE("a refused debug token reaches the completion after the Debug line 4004") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    backend.allowDebugTokens({"the-allowed-one"});
    ScopedEnv primary("AppVouchDebugToken", std::string("not-allowed"));
    DebugLogLevel level;
    LogCapture capture;
    auto provider =
        AppVouchDebugProvider::initWithServiceName("svc", backend.resourceName(), backend.baseURL(), std::nullopt);
    TokenOutcome outcome;
    request(*provider, outcome);
    REQUIRE(outcome.error);
    CHECK(AppVouchHTTPError::from(*outcome.error)->HTTPResponse()->statusCode() == 403);
    CHECK(capture.contains("<Debug> [AppVouchCore][I-EAV004004] Failed to exchange debug token to app check token: "));
}

// MARK: - DeviceCheck

namespace {

class StandInDeviceCheck : public DeviceCheckTokenGenerator {
public:
    bool supported = true;
    std::optional<Error> failWith;
    std::atomic<int> generated{0};
    bool isSupported() const override { return supported; }
    void generateTokenWithCompletionHandler(TokenCompletion completion) override {
        ++generated;
        if (failWith) return completion(std::nullopt, failWith);
        completion(toData("device-token-bytes"), std::nullopt);
    }
};

}  // namespace

TEST_CASE("DeviceCheck: a device token is exchanged; Linux reports the provider unsupported without blocking") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    auto api = std::make_shared<DeviceCheckAPIService>(
        std::make_shared<AppVouchAPIService>(makeEphemeralSession(), backend.baseURL(), std::nullopt),
        backend.resourceName());
    auto device = std::make_shared<StandInDeviceCheck>();
    auto provider = std::make_shared<DeviceCheckProvider>(api, device, std::make_shared<AppVouchBackoffWrapper>());
    TokenOutcome ok;
    request(*provider, ok, true);
    REQUIRE(ok.token);
    auto body = nlohmann::json::parse(backend.requestsTo(Method::exchangeDeviceCheck).at(0).body);
    CHECK(body["device_token"] == "ZGV2aWNlLXRva2VuLWJ5dGVz");
    CHECK(body["limited_use"] == true);

    device->failWith = Error(std::string(kDeviceCheckErrorDomain), kDCErrorServerUnavailable);
    TokenOutcome failed;
    request(*provider, failed);
    CHECK(*failed.error == *device->failWith);  // platform errors pass unchanged

    auto linux = std::make_shared<DeviceCheckProvider>(api);
    for (int i = 0; i < 2; ++i) {
        TokenOutcome unsupported;
        request(*linux, unsupported);
        REQUIRE(unsupported.error);
        CHECK(unsupported.error->code() == 4);
        CHECK(unsupported.error->localizedFailureReason() ==
              "The attestation provider DeviceCheckProvider is not supported on current platform and OS version.");
    }
    CHECK(backend.requestsTo(Method::exchangeDeviceCheck).size() == 1);
}

TEST_CASE("DeviceCheck: a 404 blocks every request for a day without contacting anyone") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    backend.fail(Method::exchangeDeviceCheck, Fault::notFound, 1);
    Date now = brisko::platform::now();
    auto wrapper = std::make_shared<AppVouchBackoffWrapper>([&] { return now; });
    auto api = std::make_shared<DeviceCheckAPIService>(
        std::make_shared<AppVouchAPIService>(makeEphemeralSession(), backend.baseURL(), std::nullopt),
        backend.resourceName());
    auto device = std::make_shared<StandInDeviceCheck>();
    auto provider = std::make_shared<DeviceCheckProvider>(api, device, wrapper);
    TokenOutcome first, blocked, later;
    request(*provider, first);
    CHECK(AppVouchHTTPError::from(*first.error)->HTTPResponse()->statusCode() == 404);
    now += 86399s;
    request(*provider, blocked);
    CHECK(blocked.error->localizedFailureReason()->rfind("Too many attempts. Underlying error: ", 0) == 0);
    CHECK(device->generated == 1);
    CHECK(backend.requestsTo(Method::exchangeDeviceCheck).size() == 1);
    now += 1s;
    request(*provider, later);
    CHECK(later.token);
    CHECK(device->generated == 2);
}

// MARK: - App Attest

namespace {

// The platform App Attest service as a script: keys, attestations and assertions, with errors to give.
class StandInAppAttest : public AppAttestService {
public:
    bool supported = true;
    std::atomic<int> keysGenerated{0}, attestations{0}, assertions{0};
    std::vector<Error> assertionErrors;  // given to the next assertions, in order
    std::vector<Error> attestErrors;
    bool holdAttestations = false;

    bool isSupported() const override { return supported; }
    void generateKeyWithCompletionHandler(KeyIDCompletion completion) override {
        completion("key-" + std::to_string(++keysGenerated), std::nullopt);
    }
    void attestKey(const std::string& keyID, const Data& hash, DataCompletion completion) override {
        ++attestations;
        CHECK(hash.size() == 32);
        if (take(attestErrors, completion)) return;
        auto answer = [completion, keyID] { completion(toData("attestation-of-" + keyID), std::nullopt); };
        if (holdAttestations) {
            std::lock_guard lock(mutex_);
            held_.push_back(answer);
            return;
        }
        answer();
    }
    void generateAssertion(const std::string& keyID, const Data& hash, DataCompletion completion) override {
        ++assertions;
        CHECK(hash.size() == 32);
        if (take(assertionErrors, completion)) return;
        completion(toData("assertion-by-" + keyID), std::nullopt);
    }
    void release() {
        std::vector<std::function<void()>> held;
        {
            std::lock_guard lock(mutex_);
            held.swap(held_);
        }
        for (auto& h : held) h();
    }

private:
    bool take(std::vector<Error>& errors, const DataCompletion& completion) {
        std::lock_guard lock(mutex_);
        if (errors.empty()) return false;
        auto e = errors.front();
        errors.erase(errors.begin());
        completion(std::nullopt, e);
        return true;
    }
    std::mutex mutex_;
    std::vector<std::function<void()>> held_;
};

Error dcError(std::int64_t code) {
    return Error(std::string(kDeviceCheckErrorDomain), code);
}

struct AppAttestFixture {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    std::shared_ptr<StandInAppAttest> platformService = std::make_shared<StandInAppAttest>();
    std::string suffix = AppAttestProvider::storageKeySuffixWithServiceName("svc", backend.resourceName());
    std::shared_ptr<AppAttestKeyIDStorage> keyIDs = std::make_shared<AppAttestKeyIDStorage>(suffix);
    std::shared_ptr<AppAttestArtifactStorage> artifacts =
        std::make_shared<AppAttestArtifactStorage>(suffix, std::nullopt);
    Date now = brisko::platform::now();
    std::shared_ptr<AppVouchBackoffWrapper> backoff = std::make_shared<AppVouchBackoffWrapper>([this] { return now; });
    std::shared_ptr<AppAttestProvider> provider = std::make_shared<AppAttestProvider>(
        platformService,
        std::make_shared<AppAttestAPIService>(
            std::make_shared<AppVouchAPIService>(makeEphemeralSession(), backend.baseURL(), std::nullopt),
            backend.resourceName()),
        keyIDs, artifacts, backoff);

    std::optional<std::string> storedKeyID() {
        auto p = keyIDs->getAppAttestKeyID();
        REQUIRE(settles(p));
        return p.value();
    }
    std::optional<Data> storedArtifact(const std::string& keyID) {
        auto p = artifacts->getArtifactForKey(keyID);
        REQUIRE(settles(p));
        return p.value().value_or(std::nullopt);
    }
    std::size_t calls(Method m) { return backend.requestsTo(m).size(); }
};

}  // namespace

TEST_CASE("App Attest: the first run attests a new key; the second asserts with the stored artifact") {
    AppAttestFixture f;
    TokenOutcome first;
    request(*f.provider, first);
    REQUIRE(first.token);
    CHECK(f.platformService->keysGenerated == 1);
    CHECK(f.calls(Method::generateChallenge) == 1);
    CHECK(f.calls(Method::exchangeAttestation) == 1);
    CHECK(f.storedKeyID() == "key-1");
    auto artifact = f.storedArtifact("key-1");
    REQUIRE(artifact);
    auto attestationBody = nlohmann::json::parse(f.backend.requestsTo(Method::exchangeAttestation).at(0).body);
    CHECK(attestationBody["key_id"] == "key-1");

    TokenOutcome second;
    request(*f.provider, second, true);
    REQUIRE(second.token);
    CHECK(f.platformService->keysGenerated == 1);
    CHECK(f.platformService->assertions == 1);
    CHECK(f.calls(Method::generateChallenge) == 2);
    CHECK(f.calls(Method::exchangeAttestation) == 1);
    CHECK(f.calls(Method::exchangeAssertion) == 1);
    auto assertionBody = nlohmann::json::parse(f.backend.requestsTo(Method::exchangeAssertion).at(0).body);
    CHECK(assertionBody["artifact"] == brisko::platform::crypto::base64Encode(*artifact));
    CHECK(assertionBody["limited_use"] == true);
    CHECK(f.backend.rejectedChallenges() == 0);
}

TEST_CASE("App Attest: a 403 on the attestation resets and retries once; a second 403 reaches the caller") {
    AppAttestFixture f;
    f.backend.fail(Method::exchangeAttestation, Fault::forbidden, 1);
    TokenOutcome recovered;
    request(*f.provider, recovered);
    REQUIRE(recovered.token);
    CHECK(f.platformService->keysGenerated == 2);  // the reset dropped key-1
    CHECK(f.storedKeyID() == "key-2");
    CHECK(f.storedArtifact("key-2"));

    AppAttestFixture g;
    g.backend.fail(Method::exchangeAttestation, Fault::forbidden, 2);
    DebugLogLevel level;
    LogCapture capture;
    TokenOutcome rejected;
    request(*g.provider, rejected);
    REQUIRE(rejected.error);
    auto http = AppVouchHTTPError::from(*rejected.error);
    REQUIRE(http);
    CHECK(http->HTTPResponse()->statusCode() == 403);
    CHECK(g.platformService->keysGenerated == 2);
    CHECK_FALSE(g.storedKeyID());
    CHECK(capture.contains("[AppVouchCore][I-EAV007002] App Attest attestation was rejected by backend. The existing "
                           "attestation will be reset."));
}

TEST_CASE("App Attest: an invalid key while asserting resets and runs a full handshake") {
    AppAttestFixture f;
    TokenOutcome first;
    request(*f.provider, first);
    REQUIRE(first.token);
    f.platformService->assertionErrors = {dcError(kDCErrorInvalidKey)};
    DebugLogLevel level;
    LogCapture capture;
    TokenOutcome second;
    request(*f.provider, second);
    REQUIRE(second.token);
    CHECK(f.platformService->keysGenerated == 2);
    CHECK(f.calls(Method::exchangeAttestation) == 2);
    CHECK(f.calls(Method::exchangeAssertion) == 0);
    CHECK(f.storedKeyID() == "key-2");
    CHECK(capture.contains("[AppVouchCore][I-EAV007003] App Attest invalid key/input; the existing attestation will be "
                           "reset. DC Error Code: 3."));

    // Other platform errors pass as the converted error, without a reset.
    f.platformService->assertionErrors = {dcError(kDCErrorServerUnavailable)};
    TokenOutcome third;
    request(*f.provider, third);
    REQUIRE(third.error);
    CHECK(third.error->localizedFailureReason()->rfind("Failed to create a block of data that demonstrates", 0) == 0);
    CHECK(*third.error->underlyingError() == dcError(kDCErrorServerUnavailable));
    CHECK(f.storedKeyID() == "key-2");
}

TEST_CASE("App Attest: an invalid key while attesting resets before the retry") {
    AppAttestFixture f;
    f.platformService->attestErrors = {dcError(kDCErrorInvalidInput)};
    TokenOutcome outcome;
    request(*f.provider, outcome);
    REQUIRE(outcome.token);
    CHECK(f.platformService->keysGenerated == 2);
    CHECK(f.platformService->attestations == 2);
}

TEST_CASE("App Attest: while backed off no platform or backend call is made") {
    AppAttestFixture f;
    f.backend.fail(Method::exchangeAttestation, Fault::badRequest, 1);
    TokenOutcome failed;
    request(*f.provider, failed);
    REQUIRE(failed.error);
    const auto requests = f.backend.requestCount();
    const int keys = f.platformService->keysGenerated;
    TokenOutcome refused;
    request(*f.provider, refused);
    CHECK(refused.error->localizedFailureReason()->rfind("Too many attempts. Underlying error: ", 0) == 0);
    CHECK(f.backend.requestCount() == requests);
    CHECK(f.platformService->keysGenerated == keys);
    CHECK(f.platformService->attestations == 1);
}

TEST_CASE("App Attest: Linux has no App Attest; the provider reports it unsupported, unblocked") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    auto provider = AppAttestProvider::initWithServiceName("svc", backend.resourceName(), backend.baseURL(),
                                                           std::nullopt, std::nullopt);
    DebugLogLevel level;
    LogCapture capture;
    for (int i = 0; i < 2; ++i) {
        TokenOutcome outcome;
        request(*provider, outcome);
        REQUIRE(outcome.error);
        CHECK(outcome.error->code() == 4);
        CHECK(outcome.error->localizedFailureReason() ==
              "The attestation provider AppAttestProvider is not supported on current platform and OS version.");
    }
    CHECK(capture.contains("<Debug> [AppVouchCore][I-EAV007001] App Attest is not supported."));
    CHECK(backend.requestCount() == 0);
}

TEST_CASE("App Attest: concurrent standard requests share a sequence; a limited-use one waits and runs its own") {
    AppAttestFixture f;
    f.platformService->holdAttestations = true;
    auto a = f.provider->getTokenWithLimitedUse(false);
    auto b = f.provider->getTokenWithLimitedUse(false);
    auto limited = f.provider->getTokenWithLimitedUse(true);
    REQUIRE(runUntil([&] { return f.platformService->attestations.load() == 1; }));
    f.platformService->holdAttestations = false;
    f.platformService->release();
    for (auto* p : {&a, &b, &limited}) REQUIRE(settles(*p));
    CHECK(*a.value() == *b.value());
    CHECK(f.platformService->keysGenerated == 1);
    CHECK(f.calls(Method::exchangeAttestation) == 1);
    CHECK(f.calls(Method::exchangeAssertion) == 1);  // the limited-use request's own sequence
    CHECK(limited.value()->token != a.value()->token);
}

TEST_CASE("App Attest: an artifact of another key sends the stored key to attestation again") {
    AppAttestFixture f;
    REQUIRE(settles(f.keyIDs->setAppAttestKeyID(std::string("key-A"))));
    REQUIRE(settles(f.artifacts->setArtifact(toData("artifact-of-B"), "key-B")));
    TokenOutcome outcome;
    request(*f.provider, outcome);
    REQUIRE(outcome.token);
    CHECK(f.platformService->keysGenerated == 0);
    CHECK(nlohmann::json::parse(f.backend.requestsTo(Method::exchangeAttestation).at(0).body)["key_id"] == "key-A");
}

TEST_CASE("App Attest storage: artifacts belong to their key, removal ignores the key, suffixes stay apart") {
    AttestationTestEnvironment env;
    AppAttestArtifactStorage one("svc.one", std::nullopt);
    AppAttestArtifactStorage two("svc.two", std::nullopt);
    REQUIRE(settles(one.setArtifact(toData("a"), "key-A")));
    auto mismatch = one.getArtifactForKey("key-B");
    REQUIRE(settles(mismatch));
    CHECK_FALSE(*mismatch.value());
    auto other = two.getArtifactForKey("key-A");
    REQUIRE(settles(other));
    CHECK_FALSE(*other.value());
    REQUIRE(settles(one.setArtifact(std::nullopt, "")));
    auto removed = one.getArtifactForKey("key-A");
    REQUIRE(settles(removed));
    CHECK_FALSE(*removed.value());

    AppAttestKeyIDStorage ids1("svc.one"), ids2("svc.two");
    REQUIRE(settles(ids1.setAppAttestKeyID(std::string("k1"))));
    auto missing = ids2.getAppAttestKeyID();
    REQUIRE(settles(missing));
    CHECK(missing.error()->localizedFailureReason() == "App attest key ID not found.");
    CHECK(ids1.keyIDStorageKey() == "app_attest_keyID.svc.one");
    CHECK(one.artifactKey() == "app_vouch_app_attest_artifact.svc.one");

    // A record with an empty artifact does not decode: it reads as no artifact (a keychain error here).
    auto record = std::make_shared<AppAttestStoredArtifact>("key-A", Data{});
    std::atomic<bool> written{false};
    one.keychainStorage()->setObject(record, one.artifactKey(), std::nullopt,
                                     [&](brisko::platform::Value, std::optional<Error>) { written = true; });
    REQUIRE(runUntil([&] { return written.load(); }));
    one.keychainStorage()->resetInMemoryCache();
    auto empty = one.getArtifactForKey("key-A");
    REQUIRE(settles(empty));
    CHECK((empty.isRejected() || !*empty.value()));
}

TEST_CASE("a slow backend: requests made meanwhile share the client's one exchange") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    backend.delay(Method::exchangeDebug, 200ms);
    ScopedEnv primary("AppVouchDebugToken", std::string("slow-token"));
    auto provider =
        AppVouchDebugProvider::initWithServiceName("svc", backend.resourceName(), backend.baseURL(), std::nullopt);
    auto client = AppVouch::initWithServiceName("svc", backend.resourceName(), provider,
                                                std::make_shared<AppVouchSettings>(), {}, std::nullopt);
    std::vector<AppVouchTokenResult> results;
    for (int i = 0; i < 3; ++i) {
        client->tokenForcingRefresh(i == 2, [&](const AppVouchTokenResult& r) { results.push_back(r); });
    }
    REQUIRE(runUntil([&] { return results.size() == 3; }));
    CHECK(backend.requestsTo(Method::exchangeDebug).size() == 1);
    for (const auto& r : results) {
        CHECK_FALSE(r.error());
        CHECK(r.token().token == backend.issuedTokens().at(0));
    }
}
