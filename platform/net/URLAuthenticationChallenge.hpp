// Authentication challenges of the URL-loading system: server trust, protection spaces, credentials.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.hpp"
#include "platform/net/URLResponse.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

inline constexpr std::string_view kURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";
inline constexpr std::string_view kURLAuthenticationMethodDefault = "NSURLAuthenticationMethodDefault";
inline constexpr std::string_view kURLAuthenticationMethodHTTPBasic = "NSURLAuthenticationMethodHTTPBasic";
inline constexpr std::string_view kURLAuthenticationMethodHTTPDigest = "NSURLAuthenticationMethodHTTPDigest";

// The outcome of evaluating a server's certificate chain, as the platform numbers it.
enum class TrustResult {
    invalid = 0,
    proceed = 1,
    deny = 3,
    unspecified = 4,
    recoverableTrustFailure = 5,
    fatalTrustFailure = 6
};

// A server's certificate chain and the verdict of checking it (against the session's CA store and
// the host name) during the TLS handshake.
class ServerTrust {
  public:
    ServerTrust(std::string host, std::vector<Data> certificateChainDER, bool trusted,
                std::string failureReason);

    const std::string& host() const { return host_; }
    // DER certificates, leaf first.
    const std::vector<Data>& certificateChain() const { return chain_; }
    // SecTrustEvaluateWithError: true when the chain is trusted; otherwise `error` (when given)
    // receives a -1202 error naming the reason.
    bool evaluate(std::optional<Error>* error = nullptr) const;
    // unspecified when trusted (no user setting involved), recoverableTrustFailure otherwise.
    TrustResult result() const {
        return trusted_ ? TrustResult::unspecified : TrustResult::recoverableTrustFailure;
    }
    const std::string& failureReason() const { return failureReason_; }
    // SHA-256 of the leaf certificate's DER: what an accepted untrusted certificate is pinned by.
    Data leafFingerprint() const;

  private:
    std::string host_;
    std::vector<Data> chain_;
    bool trusted_;
    std::string failureReason_;
};

enum class URLCredentialPersistence { none = 0, forSession = 1, permanent = 2 };

// An answer to a challenge: a user and password, or a server trust to accept.
struct URLCredential {
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::shared_ptr<const ServerTrust> serverTrust;
    URLCredentialPersistence persistence = URLCredentialPersistence::forSession;

    static URLCredential forTrust(std::shared_ptr<const ServerTrust> trust) {
        URLCredential c;
        c.serverTrust = std::move(trust);
        return c;
    }
    static URLCredential withUser(std::string user, std::string password,
                                  URLCredentialPersistence p = URLCredentialPersistence::forSession) {
        return URLCredential{std::move(user), std::move(password), nullptr, p};
    }
};

struct URLProtectionSpace {
    std::string host;
    int port = 0;
    std::string protocol;  // the URL scheme ("https")
    std::string authenticationMethod{kURLAuthenticationMethodDefault};
    std::optional<std::string> realm;
    bool isProxy = false;
    std::shared_ptr<const ServerTrust> serverTrust;  // for the server-trust method
};

struct URLAuthenticationChallenge {
    URLProtectionSpace protectionSpace;
    std::optional<URLCredential> proposedCredential;
    int previousFailureCount = 0;
    std::shared_ptr<const HTTPURLResponse> failureResponse;
    std::optional<Error> error;
};

enum class URLSessionAuthChallengeDisposition {
    useCredential = 0,
    performDefaultHandling = 1,
    cancelAuthenticationChallenge = 2,
    rejectProtectionSpace = 3,
};

}  // namespace brisko::platform
