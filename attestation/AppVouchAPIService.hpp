// The generic HTTP client of the attestation backend: request building with its headers and hooks,
// sending over a URL session, status validation and token-reply parsing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "attestation/AppVouchToken.hpp"
#include "attestation/promises/Promise.hpp"
#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::attestation {

using promises::Promise;
using promises::Queue;

inline constexpr std::string_view kDefaultAppVouchBaseURL = "https://appvouch.ezevarapis.com/v1";
inline constexpr std::string_view kAPIKeyHeader = "X-Ezev-Api-Key";
inline constexpr std::string_view kBundleIdentifierHeader = "X-Ios-Bundle-Identifier";
inline constexpr std::string_view kContentTypeHeader = "Content-Type";
inline constexpr std::string_view kJSONContentType = "application/json";
inline constexpr std::string_view kHTTPMethodPost = "POST";
inline constexpr std::string_view kUnexpectedAPIResponseFormat = "Unexpected API response: %@, body: %@.";

struct URLSessionDataResponse {
    std::shared_ptr<const platform::HTTPURLResponse> HTTPResponse;
    platform::Data HTTPBody;
};

using HTTPHeaderMap = std::map<std::string, std::string>;
// Receives each request before it is sent and may change it.
using RequestHook = std::function<void(platform::URLRequest&)>;

class AppVouchAPIServiceProtocol {
public:
    virtual ~AppVouchAPIServiceProtocol() = default;
    // A 2xx reply, or the network or HTTP error.
    virtual Promise<URLSessionDataResponse> sendRequestWithURL(const platform::URL& url, std::string_view method,
                                                               std::optional<platform::Data> body,
                                                               std::optional<HTTPHeaderMap> additionalHeaders) = 0;
    virtual Promise<AppVouchToken> appVouchTokenWithAPIResponse(const URLSessionDataResponse& response) = 0;
    virtual const std::string& baseURL() const = 0;
};

class AppVouchAPIService : public AppVouchAPIServiceProtocol, public std::enable_shared_from_this<AppVouchAPIService> {
public:
    AppVouchAPIService(std::shared_ptr<platform::URLSession> session, std::optional<std::string> baseURL,
                       std::optional<std::string> APIKey, std::vector<RequestHook> requestHooks = {});

    Promise<URLSessionDataResponse> sendRequestWithURL(const platform::URL& url, std::string_view method,
                                                       std::optional<platform::Data> body,
                                                       std::optional<HTTPHeaderMap> additionalHeaders) override;
    Promise<AppVouchToken> appVouchTokenWithAPIResponse(const URLSessionDataResponse& response) override;
    const std::string& baseURL() const override { return baseURL_; }

    Promise<platform::URLRequest> requestWithURL(const platform::URL& url, std::string_view method,
                                                 std::optional<platform::Data> body,
                                                 std::optional<HTTPHeaderMap> additionalHeaders);
    Promise<URLSessionDataResponse> sendURLRequest(const platform::URLRequest& request);
    Promise<URLSessionDataResponse> validateHTTPResponseStatusCode(const URLSessionDataResponse& response);

    const std::shared_ptr<platform::URLSession>& URLSession() const { return session_; }
    const std::optional<std::string>& APIKey() const { return APIKey_; }
    const std::vector<RequestHook>& requestHooks() const { return requestHooks_; }
    // Request building and token parsing run on the global default-quality queue.
    static Queue defaultQueue() { return Queue::global(); }

private:
    std::shared_ptr<platform::URLSession> session_;
    std::string baseURL_;
    std::optional<std::string> APIKey_;
    std::vector<RequestHook> requestHooks_;
};

// A data task as a promise: the reply and its body, or the task's error.
Promise<URLSessionDataResponse> dataTaskPromiseWithRequest(const std::shared_ptr<platform::URLSession>& session,
                                                           const platform::URLRequest& request);

// A new session from an ephemeral configuration, as the providers make for their services.
std::shared_ptr<platform::URLSession> makeEphemeralSession();

}  // namespace brisko::attestation
