// The attestation backend protocol: token and challenge parsing, request headers and hooks, status
// validation and network failures, against a local server.
#include <nlohmann/json.hpp>

#include "attestation/AppVouchAPIService.hpp"
#include "attestation/AppVouchEndpointServices.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/Bundle.hpp"
#include "tests/attestation/AttestationTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/attestation-backend/AttestationBackend.hpp"

using namespace brisko::attestation;
using namespace brisko::attestation::testing;
using brisko::platform::Data;
using brisko::platform::toData;
using brisko::testing::AttestationBackend;
using brisko::testing::HttpTestServer;

namespace {

std::optional<Error> parseError(const Resolution<AppVouchToken>& r) {
    auto copy = r;
    if (auto* e = std::get_if<Error>(&copy.get())) return *e;
    return std::nullopt;
}

}  // namespace

TEST_CASE("a ttl must be a finite positive number of seconds: 's' is dropped, nothing else is forgiven") {
    const Date requested = brisko::platform::dateFromTimeIntervalSince1970(1000);
    struct Row {
        std::string ttl;
        std::optional<double> seconds;
    };
    const Row rows[] = {
        {"3600s", 3600},        {"1.5s", 1.5},           {"10", 10},
        {"1e3s", 1000},         {"s", std::nullopt},     {"0s", std::nullopt},
        {"", std::nullopt},     {"-5s", std::nullopt},   {"nan", std::nullopt},
        {"infs", std::nullopt}, {"12abc", std::nullopt}, {"1e999s", std::nullopt},
        {"2e9s", std::nullopt}, {" 5s", std::nullopt},
    };
    for (const auto& row : rows) {
        CAPTURE(row.ttl);
        auto body = nlohmann::json{{"token", "abc"}, {"ttl", row.ttl}}.dump();
        auto parsed = AppVouchToken::initWithTokenExchangeResponse(toData(body), requested);
        if (row.seconds) {
            auto token = std::get<AppVouchToken>(parsed.get());
            CHECK(token.token == "abc");
            CHECK(token.receivedAtDate == requested);
            CHECK(std::chrono::duration<double>(token.expirationDate - requested).count() ==
                  doctest::Approx(*row.seconds));
        } else {
            REQUIRE(parseError(parsed));
            CHECK(parseError(parsed)->localizedFailureReason() ==
                  "Unexpected app check token response format. Field `ttl` is missing.");
        }
    }
}

TEST_CASE("token replies: empty, not an object, wrong field types") {
    const Date now = brisko::platform::now();
    struct Row {
        std::string body;
        std::string reason;
        bool parserError;
    };
    const Row rows[] = {
        {"", "Empty server response body.", false},
        {"[1,2]", "JSON serialization error.", false},
        {"{not json", "JSON serialization error.", true},
        {R"({"token":"t","ttl":"1s","extra":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}",
         "JSON serialization error.", true},
        {R"({"token":5,"ttl":"1s"})", "Unexpected app check token response format. Field `token` is missing.", false},
        {R"({"ttl":"1s"})", "Unexpected app check token response format. Field `token` is missing.", false},
        {R"({"token":"t","ttl":60})", "Unexpected app check token response format. Field `ttl` is missing.", false},
    };
    for (const auto& row : rows) {
        CAPTURE(row.body);
        auto error = parseError(AppVouchToken::initWithTokenExchangeResponse(toData(row.body), now));
        REQUIRE(error);
        CHECK(error->code() == 0);
        CHECK(error->localizedFailureReason() == row.reason);
        CHECK((error->underlyingError() != nullptr) == row.parserError);
    }
}

TEST_CASE("challenge and attestation replies: invalid Base64 is refused, not taken as empty") {
    auto challenge = [](std::string body) {
        return AppAttestAPIService::randomChallengeFromResponseBody(toData(body));
    };
    auto ok = challenge(R"({"challenge":"AAEC"})");
    CHECK(std::get<Data>(ok.get()) == Data{0, 1, 2});
    for (std::string body : {R"({"challenge":"%%%"})", R"({"challenge":7})", R"({})"}) {
        CAPTURE(body);
        auto r = challenge(body);
        REQUIRE(std::holds_alternative<Error>(r.get()));
        CHECK(std::get<Error>(r.get()).localizedFailureReason() ==
              "Unexpected app check token response format. Field `challenge` is missing.");
    }

    const Date now = brisko::platform::now();
    auto attestation = [&](std::string body) {
        return AppAttestAttestationResponse::initWithResponseData(toData(body), now);
    };
    auto good = attestation(R"({"artifact":"AQI=","appVouchToken":{"token":"t","ttl":"60s"}})");
    REQUIRE(std::holds_alternative<AppAttestAttestationResponse>(good.get()));
    CHECK(std::get<AppAttestAttestationResponse>(good.get()).artifact == Data{1, 2});
    struct Row {
        std::string body;
        std::string reason;
    };
    const Row rows[] = {
        {"", "Failed to parse the initial handshake response. Empty server response body."},
        {R"({"artifact":"%%","appVouchToken":{}})",
         "Unexpected attestation response format. Field `artifact` is missing."},
        {R"({"artifact":"AQI="})", "Unexpected attestation response format. Field `appVouchToken` is missing."},
        {R"({"artifact":"AQI=","appVouchToken":{"token":"t"}})",
         "Unexpected app check token response format. Field `ttl` is missing."},
    };
    for (const auto& row : rows) {
        CAPTURE(row.body);
        auto r = attestation(row.body);
        REQUIRE(std::holds_alternative<Error>(r.get()));
        CHECK(std::get<Error>(r.get()).localizedFailureReason() == row.reason);
    }
    CHECK(AppVouchTokenResult(AppVouchErrorUtil::cachedTokenExpired()).token().token.size() == 36);
    CHECK(AppVouchTokenResult(AppVouchErrorUtil::cachedTokenExpired()).token().expirationDate <
          brisko::platform::now());
}

TEST_CASE("requests carry the API key, the bundle identifier and extra headers, and hooks run last") {
    AttestationTestEnvironment env;
    HttpTestServer server;
    server.on("POST", "/v1/x", HttpTestServer::json(200, R"({"token":"t","ttl":"60s"})"));
    auto hook = [](brisko::platform::URLRequest& request) { request.setValue("from-hook", "X-Extra"); };
    auto withKey = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), server.baseURL() + "/v1",
                                                        std::string("key-1"), std::vector<RequestHook>{hook});
    auto sent =
        withKey->sendRequestWithURL(server.url("/v1/x"), "POST", toData("{}"),
                                    HTTPHeaderMap{{"X-Extra", "from-map"}, {"Content-Type", "application/json"}});
    REQUIRE(settles(sent));
    REQUIRE(sent.isFulfilled());
    auto withoutKey = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::nullopt, std::nullopt);
    CHECK(withoutKey->baseURL() == "https://appvouch.ezevarapis.com/v1");
    REQUIRE(settles(withoutKey->sendRequestWithURL(server.url("/v1/x"), "POST", std::nullopt, std::nullopt)));

    auto requests = server.requestsTo("/v1/x");
    REQUIRE(requests.size() == 2);
    CHECK(requests[0].header("X-Ezev-Api-Key") == "key-1");
    CHECK(requests[0].header("X-Extra") == "from-hook");
    CHECK(requests[0].header("Content-Type") == "application/json");
    CHECK(requests[0].body == "{}");
    CHECK_FALSE(requests[1].header("X-Ezev-Api-Key"));
    auto bundleID =
        brisko::platform::Bundle::main() ? brisko::platform::Bundle::main()->bundleIdentifier() : std::nullopt;
    CHECK(requests[0].header("X-Ios-Bundle-Identifier") == bundleID);
}

TEST_CASE("statuses from 200 to 299 pass; others become the HTTP error, a failed transfer the network error") {
    AttestationTestEnvironment env;
    HttpTestServer server;
    for (int status : {200, 299, 300, 404, 503}) {
        server.on("POST", "/s" + std::to_string(status),
                  HttpTestServer::text(status, "body " + std::to_string(status)));
    }
    server.on("POST", "/drop", server.dropAfter("{\"to", 100));
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), server.baseURL(), std::nullopt);
    brisko::platform::LogCapture capture;
    struct DebugLevel {
        DebugLevel() { AppVouchLogger::setLogLevel(1); }
        ~DebugLevel() { AppVouchLogger::setLogLevel(3); }
    } debugLevel;
    for (int status : {200, 299, 300, 404, 503}) {
        CAPTURE(status);
        auto p = api->sendRequestWithURL(server.url("/s" + std::to_string(status)), "POST", std::nullopt, std::nullopt);
        REQUIRE(settles(p));
        const bool passes = status >= 200 && status <= 299;
        CHECK(p.isFulfilled() == passes);
        if (!passes) {
            auto http = AppVouchHTTPError::from(*p.error());
            REQUIRE(http);
            CHECK(http->HTTPResponse()->statusCode() == status);
            CHECK(brisko::platform::toString(*http->data()) == "body " + std::to_string(status));
        }
    }
    CHECK(capture.contains("[AppVouchCore][I-EAV003001] Unexpected API response: "));
    // An informational status never ends an HTTP exchange on the wire; the check itself refuses it.
    auto informational = std::make_shared<const brisko::platform::HTTPURLResponse>(server.url("/x"), 199, "HTTP/1.1",
                                                                                   brisko::platform::HTTPHeaders{});
    auto refused = api->validateHTTPResponseStatusCode(URLSessionDataResponse{informational, {}});
    CHECK(refused.isRejected());

    auto dropped = api->sendRequestWithURL(server.url("/drop"), "POST", std::nullopt, std::nullopt);
    REQUIRE(settles(dropped));
    CHECK(dropped.error()->code() == 1);
    CHECK(dropped.error()->localizedFailureReason() == "API request error.");
    CHECK(dropped.error()->underlyingError()->domain() == "NSURLErrorDomain");
}

TEST_CASE("the five backend methods send their bodies and parse their replies") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), backend.baseURL(), std::string("k"));
    auto appAttest = std::make_shared<AppAttestAPIService>(api, backend.resourceName());
    DeviceCheckAPIService deviceCheck(api, backend.resourceName());
    AppVouchDebugProviderAPIService debug(api, backend.resourceName());

    auto challenge = appAttest->getRandomChallenge();
    REQUIRE(settles(challenge));
    REQUIRE(challenge.isFulfilled());
    CHECK(challenge.value()->size() == 32);
    CHECK(backend.requestsTo(AttestationBackend::Method::generateChallenge).at(0).body.empty());

    auto attested = appAttest->attestKeyWithAttestation(toData("statement"), "key-1", *challenge.value(), true);
    REQUIRE(settles(attested));
    REQUIRE(attested.isFulfilled());
    auto body = nlohmann::json::parse(backend.requestsTo(AttestationBackend::Method::exchangeAttestation).at(0).body);
    CHECK(body["key_id"] == "key-1");
    CHECK(body["attestation_statement"] == "c3RhdGVtZW50");
    CHECK(body["limited_use"] == true);
    CHECK(backend.requestsTo(AttestationBackend::Method::exchangeAttestation).at(0).header("Content-Type") ==
          "application/json");

    auto second = appAttest->getRandomChallenge();
    REQUIRE(settles(second));
    auto asserted =
        appAttest->getAppVouchTokenWithArtifact(attested.value()->artifact, *second.value(), toData("sig"), false);
    auto device = deviceCheck.appVouchTokenWithDeviceToken(toData("device"), false);
    auto exchanged = debug.appVouchTokenWithDebugToken("debug-token", false);
    for (auto* p : {&asserted, &device, &exchanged}) {
        REQUIRE(settles(*p));
        REQUIRE(p->isFulfilled());
    }
    CHECK(nlohmann::json::parse(
              backend.requestsTo(AttestationBackend::Method::exchangeDebug).at(0).body)["debug_token"] ==
          "debug-token");
    CHECK(backend.issuedTokens().size() == 4);
    CHECK(backend.rejectedChallenges() == 0);

    // Empty inputs are refused before anything is sent.
    const auto before = backend.requestCount();
    auto empties = std::vector<Promise<AppVouchToken>>{
        deviceCheck.appVouchTokenWithDeviceToken({}, false), debug.appVouchTokenWithDebugToken("", false),
        appAttest->getAppVouchTokenWithArtifact({}, toData("c"), toData("a"), false)};
    const char* reasons[] = {"DeviceCheck token must not be empty.", "Debug token must not be empty.",
                             "Missing or empty request parameter."};
    for (std::size_t i = 0; i < empties.size(); ++i) {
        REQUIRE(settles(empties[i]));
        CHECK(empties[i].error()->localizedFailureReason() == reasons[i]);
    }
    CHECK(backend.requestCount() == before);
}

TEST_CASE("a hostile backend: faults per method reach the caller as the protocol's errors") {
    AttestationTestEnvironment env;
    AttestationBackend backend;
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), backend.baseURL(), std::nullopt);
    auto appAttest = std::make_shared<AppAttestAPIService>(api, backend.resourceName());
    using F = AttestationBackend::Fault;
    struct Row {
        F fault;
        std::int64_t code;
        std::string reasonStart;
    };
    const Row rows[] = {
        {F::unavailable, 0, "The server responded with an error: "},
        {F::droppedConnection, 1, "API request error."},
        {F::missingFields, 0, "Unexpected app check token response format. Field `challenge` is missing."},
        {F::invalidBase64, 0, "Unexpected app check token response format. Field `challenge` is missing."},
        {F::notJSON, 0, "JSON serialization error."},
        {F::emptyBody, 0, "Empty server response body."},
    };
    for (const auto& row : rows) {
        CAPTURE(static_cast<int>(row.fault));
        backend.fail(AttestationBackend::Method::generateChallenge, row.fault, 1);
        auto challenge = appAttest->getRandomChallenge();
        REQUIRE(settles(challenge));
        REQUIRE(challenge.isRejected());
        CHECK(challenge.error()->code() == row.code);
        CHECK(challenge.error()->localizedFailureReason()->rfind(row.reasonStart, 0) == 0);
    }
    // A challenge the backend did not issue is refused there.
    auto forged = appAttest->attestKeyWithAttestation(toData("s"), "key", toData("forged"), false);
    REQUIRE(settles(forged));
    CHECK(AppVouchHTTPError::from(*forged.error())->HTTPResponse()->statusCode() == 403);
    CHECK(backend.rejectedChallenges() == 1);
}

TEST_CASE("a base URL that makes no URL is refused before anything is sent") {
    AttestationTestEnvironment env;
    auto api = std::make_shared<AppVouchAPIService>(makeEphemeralSession(), std::string("not a url"), std::nullopt);
    AppAttestAPIService appAttest(api, "r");
    AppVouchDebugProviderAPIService debug(api, "r");
    auto challenge = appAttest.getRandomChallenge();
    auto exchanged = debug.appVouchTokenWithDebugToken("t", false);
    REQUIRE(settles(challenge));
    REQUIRE(settles(exchanged));
    CHECK(challenge.error()->localizedFailureReason() ==
          "Invalid attestation backend URL: not a url/r:generateAppAttestChallenge");
    CHECK(exchanged.error()->localizedFailureReason()->rfind("Invalid attestation backend URL: ", 0) == 0);
}
