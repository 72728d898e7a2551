// The attestation backend's five methods: URLs, JSON bodies and reply parsing.
#include "attestation/AppVouchEndpointServices.hpp"

#include <nlohmann/json.hpp>

#include "attestation/promises/Promises.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::attestation {

namespace {

using platform::Data;

Resolution<Data> HTTPBodyWithJSONObject(const nlohmann::json& object) {
    std::string text = object.dump();
    return Data(text.begin(), text.end());
}

HTTPHeaderMap JSONHeaders() {
    return {{std::string(kContentTypeHeader), std::string(kJSONContentType)}};
}

// A base URL or resource name that makes no URL is refused before anything is sent.
constexpr std::string_view kInvalidURLFormat = "Invalid attestation backend URL: %@";

std::optional<platform::URL> parseURL(const std::string& text) {
    return platform::URL::parse(text);
}

Error invalidURLError(const std::string& url) {
    return AppVouchErrorUtil::errorWithFailureReason(platform::format(kInvalidURLFormat, {url}));
}

// Sends a JSON body built on the queue to the URL; an error from building rejects without a request.
Promise<URLSessionDataResponse> postJSON(const std::shared_ptr<AppVouchAPIServiceProtocol>& api, const Queue& queue,
                                         std::string url, std::function<Resolution<Data>()> buildBody) {
    return Promise<Data>::do_(queue, std::move(buildBody)).then([api, url = std::move(url)](const Data& body) {
        auto parsed = parseURL(url);
        if (!parsed) {
            return Promise<URLSessionDataResponse>::resolvedWith(invalidURLError(url));
        }
        return api->sendRequestWithURL(*parsed, kHTTPMethodPost, body, JSONHeaders());
    });
}

}  // namespace

Resolution<AppAttestAttestationResponse> AppAttestAttestationResponse::initWithResponseData(const Data& body,
                                                                                            Date requestDate) {
    if (body.empty()) return AppVouchErrorUtil::errorWithFailureReason(kEmptyHandshakeResponseReason);
    auto parsed = JSONObjectFromBody(body);
    if (auto* error = std::get_if<Error>(&parsed.get())) return *error;
    const auto& dict = std::get<nlohmann::json>(parsed.get());
    auto artifactField = dict.find(kFieldArtifact);
    std::optional<Data> artifact;
    if (artifactField != dict.end() && artifactField->is_string()) {
        artifact = platform::crypto::base64Decode(artifactField->get_ref<const std::string&>());
    }
    if (!artifact) return AppVouchErrorUtil::appAttestAttestationResponseErrorWithMissingField(kFieldArtifact);
    auto tokenField = dict.find(kFieldAppVouchToken);
    if (tokenField == dict.end() || !tokenField->is_object()) {
        return AppVouchErrorUtil::appAttestAttestationResponseErrorWithMissingField(kFieldAppVouchToken);
    }
    auto token = AppVouchToken::initWithResponseDict(*tokenField, requestDate);
    if (auto* error = std::get_if<Error>(&token.get())) return *error;
    return AppAttestAttestationResponse{std::move(*artifact), std::get<AppVouchToken>(token.get())};
}

// MARK: - App Attest

AppAttestAPIService::AppAttestAPIService(std::shared_ptr<AppVouchAPIServiceProtocol> APIService,
                                         std::string resourceName)
    : APIService_(std::move(APIService)), resourceName_(std::move(resourceName)) {}

std::string AppAttestAPIService::URLWithBaseURL(std::string_view baseURL, std::string_view resourceName) {
    return platform::format(kResourceURLFormat, {baseURL, resourceName});
}

std::string AppAttestAPIService::URLForEndpoint(std::string_view endpoint) const {
    return platform::format(kEndpointURLFormat, {URLWithBaseURL(APIService_->baseURL(), resourceName_), endpoint});
}

Resolution<Data> AppAttestAPIService::randomChallengeFromResponseBody(const Data& body) {
    if (body.empty()) return AppVouchErrorUtil::errorWithFailureReason(kEmptyResponseBodyReason);
    auto parsed = JSONObjectFromBody(body);
    if (auto* error = std::get_if<Error>(&parsed.get())) return *error;
    const auto& dict = std::get<nlohmann::json>(parsed.get());
    auto field = dict.find(kFieldChallenge);
    if (field == dict.end() || !field->is_string()) {
        return AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(kFieldChallenge);
    }
    // Text that is not Base64 is no challenge: refused like a missing one rather than taken as empty.
    auto challenge = platform::crypto::base64Decode(field->get_ref<const std::string&>());
    if (!challenge) return AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(kFieldChallenge);
    return std::move(*challenge);
}

Promise<Data> AppAttestAPIService::getRandomChallenge() {
    const auto text = URLForEndpoint(kGenerateAppAttestChallengeMethod);
    auto url = parseURL(text);
    if (!url) return Promise<Data>::resolvedWith(invalidURLError(text));
    return APIService_->sendRequestWithURL(*url, kHTTPMethodPost, std::nullopt, std::nullopt)
        .then(backgroundQueue(), [](const URLSessionDataResponse& response) {
            return randomChallengeFromResponseBody(response.HTTPBody);
        });
}

Promise<AppAttestAttestationResponse> AppAttestAPIService::attestKeyWithAttestation(const Data& attestation,
                                                                                    const std::string& keyID,
                                                                                    const Data& challenge,
                                                                                    bool limitedUse) {
    auto body = [=]() -> Resolution<Data> {
        if (attestation.empty() || keyID.empty() || challenge.empty()) {
            return AppVouchErrorUtil::errorWithFailureReason(kMissingRequestParameterReason);
        }
        return HTTPBodyWithJSONObject({{kFieldKeyID, keyID},
                                       {kFieldAttestationStatement, platform::crypto::base64Encode(attestation)},
                                       {kFieldChallenge, platform::crypto::base64Encode(challenge)},
                                       {kFieldLimitedUse, limitedUse}});
    };
    return postJSON(APIService_, backgroundQueue(), URLForEndpoint(kExchangeAppAttestAttestationMethod), body)
        .then(backgroundQueue(), [](const URLSessionDataResponse& response) {
            return AppAttestAttestationResponse::initWithResponseData(response.HTTPBody, platform::now());
        });
}

Promise<AppVouchToken> AppAttestAPIService::getAppVouchTokenWithArtifact(const Data& artifact, const Data& challenge,
                                                                         const Data& assertion, bool limitedUse) {
    auto body = [=]() -> Resolution<Data> {
        if (artifact.empty() || challenge.empty() || assertion.empty()) {
            return AppVouchErrorUtil::errorWithFailureReason(kMissingRequestParameterReason);
        }
        return HTTPBodyWithJSONObject({{kFieldArtifact, platform::crypto::base64Encode(artifact)},
                                       {kFieldChallenge, platform::crypto::base64Encode(challenge)},
                                       {kFieldAssertion, platform::crypto::base64Encode(assertion)},
                                       {kFieldLimitedUse, limitedUse}});
    };
    auto api = APIService_;
    return postJSON(api, backgroundQueue(), URLForEndpoint(kExchangeAppAttestAssertionMethod), body)
        .then([api](const URLSessionDataResponse& response) { return api->appVouchTokenWithAPIResponse(response); });
}

// MARK: - DeviceCheck and debug

Promise<AppVouchToken> DeviceCheckAPIService::appVouchTokenWithDeviceToken(const Data& deviceToken, bool limitedUse) {
    auto body = [=]() -> Resolution<Data> {
        if (deviceToken.empty()) return AppVouchErrorUtil::errorWithFailureReason(kEmptyDeviceCheckTokenReason);
        return HTTPBodyWithJSONObject(
            {{kFieldDeviceToken, platform::crypto::base64Encode(deviceToken)}, {kFieldLimitedUse, limitedUse}});
    };
    auto api = APIService_;
    return postJSON(api, backgroundQueue(),
                    platform::format(kExchangeDeviceCheckTokenFormat, {api->baseURL(), resourceName_}), body)
        .then([api](const URLSessionDataResponse& response) { return api->appVouchTokenWithAPIResponse(response); });
}

Promise<AppVouchToken> AppVouchDebugProviderAPIService::appVouchTokenWithDebugToken(const std::string& debugToken,
                                                                                    bool limitedUse) {
    auto body = [=]() -> Resolution<Data> {
        if (debugToken.empty()) return AppVouchErrorUtil::errorWithFailureReason(kEmptyDebugTokenReason);
        return HTTPBodyWithJSONObject({{kFieldDebugToken, debugToken}, {kFieldLimitedUse, limitedUse}});
    };
    auto api = APIService_;
    return postJSON(api, backgroundQueue(),
                    platform::format(kExchangeDebugTokenFormat, {api->baseURL(), resourceName_}), body)
        .then([api](const URLSessionDataResponse& response) { return api->appVouchTokenWithAPIResponse(response); });
}

}  // namespace brisko::attestation
