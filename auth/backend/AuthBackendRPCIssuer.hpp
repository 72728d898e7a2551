// The object that performs the HTTP leg of each identity call: one fetcher of its own fetcher service
// per post, with the identity service's headers.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "auth/backend/AuthRPCRequest.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "platform/base/Async.hpp"

namespace brisko::auth {

// The pair a post yields, exactly as the fetcher completed: the reply bytes or nothing, an error or
// nothing.
struct AuthRPCPostResult {
    std::optional<platform::Data> data;
    std::optional<platform::Error> error;
};

class AuthBackendRPCIssuerProtocol {
public:
    virtual ~AuthBackendRPCIssuerProtocol() = default;
    // Never fails. The request must outlive the wait.
    virtual platform::Task<AuthRPCPostResult> post(const AuthRPCRequest& request, std::optional<platform::Data> body,
                                                   std::string contentType) = 0;
};

class AuthBackendRPCIssuer : public AuthBackendRPCIssuerProtocol {
public:
    // A fetcher service with the backend's user agent, the network queue as session delegate queue, the
    // identity client's work queue as callback queue, no session reuse and no retries.
    AuthBackendRPCIssuer();

    const std::shared_ptr<fetcher::SessionFetcherService>& fetcherService() const { return fetcherService_; }

    // URL (for one snapshot of the configuration), method ("POST" with a body, "GET" without), the
    // headers of AuthBackend::makeURLRequest, then one fetch; an emulator address lets the fetcher
    // reach the local host over http.
    platform::Task<AuthRPCPostResult> post(const AuthRPCRequest& request, std::optional<platform::Data> body,
                                           std::string contentType) override;

private:
    std::shared_ptr<fetcher::SessionFetcherService> fetcherService_;
};

}  // namespace brisko::auth
