// The HTTP leg of each identity call.
#include "auth/backend/AuthBackendRPCIssuer.hpp"

#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/AuthGlobalWorkQueue.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::auth {

AuthBackendRPCIssuer::AuthBackendRPCIssuer() : fetcherService_(fetcher::SessionFetcherService::make()) {
    fetcherService_->setUserAgent(AuthBackend::userAgent());
    fetcherService_->setCallbackQueue(authGlobalWorkQueue());
    // An identity call's fetch writes no file and its delegate events never block: they run on the network
    // thread where the transfer ends, and only the finished reply goes on to the work queue, one thread
    // hop per call instead of two.
    fetcherService_->setSessionDelegateQueue(platform::URLSession::networkQueue());
    // Every fetcher gets a session of its own; the service never retries (one attempt per call).
    fetcherService_->setReuseSession(false);
}

platform::Task<AuthRPCPostResult>
AuthBackendRPCIssuer::post(const AuthRPCRequest& request, std::optional<platform::Data> body, std::string contentType) {
    // One snapshot of the configuration for the whole post: the address, the headers and the
    // fetcher's local-host permission agree even when the identity client changes them meanwhile.
    auto configuration = request.requestConfiguration();
    auto settings = configuration->snapshot();
    auto url = request.buildURL(settings);
    std::string method = body ? "POST" : "GET";
    const bool emulator = settings.emulatorHostAndPort.has_value();
    auto urlRequest = co_await AuthBackend::makeURLRequest(std::move(url), std::move(contentType), std::move(method),
                                                           configuration, std::move(settings));

    auto fetcher = fetcherService_->fetcherWithRequest(std::move(urlRequest));
    if (emulator) {
        fetcher->setAllowLocalhostRequest(true);
        fetcher->setAllowedInsecureSchemes({"http"});
    }
    fetcher->setBodyData(std::move(body));
    co_return co_await platform::withContinuation<AuthRPCPostResult>(
        [fetcher](platform::Continuation<AuthRPCPostResult> continuation) {
            // The handler keeps the fetcher until it completes; the fetcher drops the handler then.
            fetcher->beginFetchWithCompletionHandler(
                [fetcher, continuation](std::optional<platform::Data> data,
                                        std::optional<platform::Error> error) mutable {
                    continuation.resume(AuthRPCPostResult{std::move(data), std::move(error)});
                });
        });
}

}  // namespace brisko::auth
