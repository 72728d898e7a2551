// Building, sending and validating attestation backend requests.
#include "attestation/AppVouchAPIService.hpp"

#include "attestation/promises/Promises.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Bundle.hpp"

namespace brisko::attestation {

AppVouchAPIService::AppVouchAPIService(std::shared_ptr<platform::URLSession> session,
                                       std::optional<std::string> baseURL, std::optional<std::string> APIKey,
                                       std::vector<RequestHook> requestHooks)
    : session_(std::move(session)), baseURL_(baseURL ? std::move(*baseURL) : std::string(kDefaultAppVouchBaseURL)),
      APIKey_(std::move(APIKey)), requestHooks_(std::move(requestHooks)) {}

Promise<platform::URLRequest> AppVouchAPIService::requestWithURL(const platform::URL& url, std::string_view method,
                                                                 std::optional<platform::Data> body,
                                                                 std::optional<HTTPHeaderMap> additionalHeaders) {
    return Promise<platform::URLRequest>::do_(
        defaultQueue(), [url, method = std::string(method), body = std::move(body),
                         headers = std::move(additionalHeaders), APIKey = APIKey_, hooks = requestHooks_]() mutable {
            platform::URLRequest request{url};
            request.setHTTPMethod(method);
            request.setHTTPBody(std::move(body));
            request.setCachePolicy(platform::URLRequestCachePolicy::reloadIgnoringLocalCacheData);
            if (APIKey) request.setValue(*APIKey, kAPIKeyHeader);
            if (auto bundle = platform::Bundle::main()) {
                if (auto identifier = bundle->bundleIdentifier())
                    request.setValue(*identifier, kBundleIdentifierHeader);
            }
            if (headers) {
                for (const auto& [field, value] : *headers) request.setValue(value, field);
            }
            for (auto& hook : hooks) {
                if (hook) hook(request);
            }
            return request;
        });
}

Promise<URLSessionDataResponse> dataTaskPromiseWithRequest(const std::shared_ptr<platform::URLSession>& session,
                                                           const platform::URLRequest& request) {
    using P = Promise<URLSessionDataResponse>;
    return P::async([session, request](const P::Fulfill& fulfill, const P::Reject& reject) {
        auto task = session->dataTaskWithRequest(
            request,
            [fulfill, reject](std::optional<platform::Data> data,
                              std::shared_ptr<const platform::HTTPURLResponse> response, std::optional<Error> error) {
                if (error) {
                    reject(std::move(*error));
                } else {
                    fulfill(URLSessionDataResponse{std::move(response), data ? std::move(*data) : platform::Data{}});
                }
            });
        task->resume();
    });
}

Promise<URLSessionDataResponse> AppVouchAPIService::sendURLRequest(const platform::URLRequest& request) {
    return dataTaskPromiseWithRequest(session_, request)
        .recover([](const Error& error) -> Resolution<URLSessionDataResponse> {
            return AppVouchErrorUtil::APIErrorWithNetworkError(error);
        })
        .then([self = shared_from_this()](const URLSessionDataResponse& response) {
            return self->validateHTTPResponseStatusCode(response);
        });
}

Promise<URLSessionDataResponse>
AppVouchAPIService::validateHTTPResponseStatusCode(const URLSessionDataResponse& response) {
    const int status = response.HTTPResponse ? response.HTTPResponse->statusCode() : 0;
    if (status >= 200 && status <= 299) return Promise<URLSessionDataResponse>::resolvedWith(response);
    appVouchLog(kLogCodeUnexpectedHTTPResponse, AppVouchLogLevel::debug,
                platform::format(kUnexpectedAPIResponseFormat,
                                 {response.HTTPResponse ? response.HTTPResponse->description() : std::string("(null)"),
                                  platform::sanitizeUTF8(platform::toString(response.HTTPBody))}));
    return Promise<URLSessionDataResponse>::resolvedWith(
        AppVouchErrorUtil::APIErrorWithHTTPResponse(response.HTTPResponse, response.HTTPBody));
}

Promise<URLSessionDataResponse> AppVouchAPIService::sendRequestWithURL(const platform::URL& url,
                                                                       std::string_view method,
                                                                       std::optional<platform::Data> body,
                                                                       std::optional<HTTPHeaderMap> additionalHeaders) {
    return requestWithURL(url, method, std::move(body), std::move(additionalHeaders))
        .then(
            [self = shared_from_this()](const platform::URLRequest& request) { return self->sendURLRequest(request); });
}

Promise<AppVouchToken> AppVouchAPIService::appVouchTokenWithAPIResponse(const URLSessionDataResponse& response) {
    return Promise<AppVouchToken>::do_(defaultQueue(), [body = response.HTTPBody] {
        return AppVouchToken::initWithTokenExchangeResponse(body, platform::now());
    });
}

std::shared_ptr<platform::URLSession> makeEphemeralSession() {
    return platform::URLSession::sessionWithConfiguration(
        platform::URLSessionConfiguration::ephemeralSessionConfiguration());
}

}  // namespace brisko::attestation
