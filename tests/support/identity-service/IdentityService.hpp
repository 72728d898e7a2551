// A local stand-in of the identity service for tests and for running the app locally: real HTTP on
// 127.0.0.1, reached through the emulator address form ("http://127.0.0.1:PORT/<service host>/...").
//
// Usage:
//   IdentityService service;                          // a free port, API key "test-api-key"
//   configuration->setEmulatorHostAndPort(service.emulatorHostAndPort());
//   auto uid = service.createAccount("a@b.c", "secret1");
//   service.injectFault("verifyPassword", IdentityService::Fault::status(503));
//   ... calls ...
//   service.requestsTo("verifyPassword").at(0).body;
//
// Accounts live in memory: e-mail and password, anonymous, custom-token and provider (verify-assertion
// with an unsigned OpenID ID token: its claims are read, its signature is not checked) accounts, with
// refresh tokens, profile updates, out-of-band codes, deletion, revocation and a TOTP second factor
// (RFC 6238, SHA-1, 6 digits, 30 s). ID tokens are unsigned JWTs ("alg":"none").
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace brisko::testing {

class IdentityService {
public:
    struct Options {
        std::string apiKey = "test-api-key";
        std::string projectID = "brisko-local";
        std::chrono::seconds idTokenLifetime{3600};
        int port = 0;  // 0: a free port
    };

    // One request as received (header fields as the HTTP parser gives them, grouped by name).
    struct Request {
        std::string method;
        std::string path;      // e.g. "/www.ezevarapis.com/identitytoolkit/v3/relyingparty/verifyPassword"
        std::string endpoint;  // e.g. "verifyPassword", "accounts:revokeToken", "token"
        std::string query;
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
        // When the request arrived and when its reply was made, as steps of one count of the service's
        // events: a request sent after another's reply came has `arrived` above that one's `answered`.
        std::uint64_t arrived = 0;
        std::uint64_t answered = 0;  // 0 while its reply is being made
        std::optional<std::string> header(std::string_view name) const;
        nlohmann::json json() const;  // the body parsed (null when it is not JSON)
    };

    // A fault answered by one endpoint in place of its normal reply.
    struct Fault {
        enum class Kind {
            status,              // `status` with an empty body
            emptyBody,           // 200 with an empty body
            emptyArray,          // 200 "[]"
            bareNumber,          // 200 "5"
            notJSON,             // `status` with a non-JSON body
            errorText,           // `status` with {"error":"x"}
            errorMessageNumber,  // `status` with {"error":{"message":5}}
            serverError,         // `status` with {"error":{"message": `message`}}
            body,                // `status` with `body` as it is
            delay,               // the normal reply after `delay`
            closeConnection,     // the connection closes after the status line, before the body
        };
        Kind kind = Kind::status;
        int status = 400;
        std::string message;
        std::string body;
        std::chrono::milliseconds delay{0};
        int times = -1;            // how many requests it answers; -1: until cleared
        std::string bodyContains;  // when set, it answers only requests whose body contains this text

        Fault once() const {
            Fault f = *this;
            f.times = 1;
            return f;
        }
        Fault matching(std::string text) const {
            Fault f = *this;
            f.bodyContains = std::move(text);
            return f;
        }

        static Fault ofKind(Kind kind, int status = 200) {
            Fault f;
            f.kind = kind;
            f.status = status;
            return f;
        }
        static Fault ofStatus(int status) { return ofKind(Kind::status, status); }
        static Fault ofServerError(std::string message, int status = 400) {
            Fault f = ofKind(Kind::serverError, status);
            f.message = std::move(message);
            return f;
        }
        static Fault ofBody(int status, std::string body) {
            Fault f = ofKind(Kind::body, status);
            f.body = std::move(body);
            return f;
        }
        static Fault ofDelay(std::chrono::milliseconds d) {
            Fault f = ofKind(Kind::delay, 200);
            f.delay = d;
            return f;
        }
    };

    struct TOTPEnrollment {
        std::string enrollmentID;
        std::string displayName;
        std::string secret;  // base32
        std::int64_t enrolledAt = 0;
    };

    struct Provider {
        std::string providerID;
        std::string federatedID;
        std::optional<std::string> email;
        std::optional<std::string> displayName;
        std::optional<std::string> photoURL;
    };

    struct Account {
        std::string localID;
        std::optional<std::string> email;
        std::optional<std::string> password;
        std::optional<std::string> displayName;
        std::optional<std::string> photoURL;
        bool emailVerified = false;
        bool disabled = false;
        bool anonymous = false;
        std::int64_t createdAt = 0;    // ms since 1970
        std::int64_t lastLoginAt = 0;  // ms since 1970
        int generation = 0;            // tokens of an earlier generation are refused (revocation)
        std::vector<Provider> providers;
        std::vector<TOTPEnrollment> mfa;
    };

    struct OOBCode {
        std::string code;
        std::string requestType;
        std::string email;
        std::optional<std::string> newEmail;
        std::string localID;
    };

    IdentityService();
    explicit IdentityService(Options options);
    ~IdentityService();
    IdentityService(const IdentityService&) = delete;
    IdentityService& operator=(const IdentityService&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:PORT", the identity client's emulator address.
    std::string emulatorHostAndPort() const;
    std::string baseURL() const;
    const std::string& apiKey() const { return options_.apiKey; }
    void stop();

    // The service's clock, in seconds since 1970 (the system clock unless set).
    void setClock(std::function<std::int64_t()> nowSeconds);
    std::int64_t now() const;
    void setIDTokenLifetime(std::chrono::seconds lifetime);

    // Accounts.
    std::string createAccount(const std::string& email, const std::string& password);
    std::optional<Account> account(const std::string& localID) const;
    std::optional<Account> accountWithEmail(const std::string& email) const;
    void updateAccount(const std::string& localID, const std::function<void(Account&)>& change);
    std::size_t accountCount() const;
    // Refuses every token issued so far (ID tokens and refresh tokens).
    void revokeTokens(const std::string& localID);
    // Deletes an account at the service (as its administrator would), with its refresh tokens.
    void deleteAccount(const std::string& localID);
    // A TOTP second factor enrolled directly; returns its enrollment (with the secret).
    TOTPEnrollment enrollTOTP(const std::string& localID, const std::string& displayName);
    // Tokens for an account, as a sign-in would give them.
    std::string mintIDToken(const std::string& localID);
    std::string mintRefreshToken(const std::string& localID);
    // The out-of-band codes sent so far.
    std::vector<OOBCode> oobCodes() const;

    // An unsigned JWT of the claims (header {"alg":"none","typ":"JWT"}).
    static std::string unsignedJWT(const nlohmann::json& claims);
    // The claims of a JWT, without checking any signature; null when it does not decode.
    static nlohmann::json jwtClaims(const std::string& token);
    // The RFC 6238 code (SHA-1, 30 s, 6 digits unless asked for others) of a base32 secret at a time.
    static std::string totpCode(const std::string& base32Secret, std::int64_t unixSeconds, int digits = 6);
    // The base32 text (RFC 4648, no padding) of bytes, as the service gives TOTP secrets.
    static std::string base32Text(std::string_view bytes);

    // Faults, per endpoint name ("verifyPassword", "token", "accounts/mfaEnrollment:start" ...).
    void injectFault(const std::string& endpoint, Fault fault);
    void clearFaults();

    // Requests received, in arrival order.
    std::vector<Request> requests() const;
    std::vector<Request> requestsTo(const std::string& endpoint) const;
    void clearRequests();

private:
    struct Reply {
        int status = 200;
        nlohmann::json body;
    };
    void widenListenBacklog();
    void handle(const httplib::Request& req, httplib::Response& res);
    std::optional<Fault> takeFault(const std::string& endpoint, const std::string& body);
    Reply route(const std::string& endpoint, const nlohmann::json& body, const Request& request);

    // Endpoints (the state lock is held).
    Reply signUpNewUser(const nlohmann::json& body);
    Reply verifyPassword(const nlohmann::json& body);
    Reply verifyCustomToken(const nlohmann::json& body);
    Reply verifyAssertion(const nlohmann::json& body);
    Reply getAccountInfo(const nlohmann::json& body);
    Reply setAccountInfo(const nlohmann::json& body);
    Reply getOOBConfirmationCode(const nlohmann::json& body);
    Reply resetPassword(const nlohmann::json& body);
    Reply emailLinkSignIn(const nlohmann::json& body);
    Reply createAuthURI(const nlohmann::json& body);
    Reply deleteAccount(const nlohmann::json& body);
    Reply secureToken(const nlohmann::json& body);
    Reply startMFAEnrollment(const nlohmann::json& body);
    Reply finalizeMFAEnrollment(const nlohmann::json& body);
    Reply withdrawMFA(const nlohmann::json& body);
    Reply finalizeMFASignIn(const nlohmann::json& body);

    // Helpers (the state lock is held).
    Account* accountForIDToken(const nlohmann::json& body, std::string& error);
    Account* findByEmail(const std::string& email);
    Account& newAccount();
    nlohmann::json tokensFor(Account& account, const std::string& provider);
    std::string idTokenFor(const Account& account, const std::string& provider);
    std::string refreshTokenFor(const Account& account);
    std::optional<Reply> secondFactorChallenge(Account& account);
    nlohmann::json accountRecord(const Account& account) const;
    std::string newCode();
    bool totpMatches(const std::string& secret, const std::string& code) const;

    Options options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    bool stopped_ = false;

    mutable std::mutex mutex_;
    std::function<std::int64_t()> clock_;
    std::map<std::string, Account> accounts_;                                        // by local ID
    std::map<std::string, std::pair<std::string, int>> refreshTokens_;               // token -> (local ID, generation)
    std::map<std::string, std::string> pendingCredentials_;                          // pending credential -> local ID
    std::map<std::string, std::pair<std::string, std::string>> pendingEnrollments_;  // session -> (local ID, secret)
    std::vector<OOBCode> oobCodes_;
    std::map<std::string, std::vector<Fault>> faults_;
    std::vector<Request> requests_;
    std::uint64_t counter_ = 0;
    std::uint64_t events_ = 0;  // arrivals and replies, counted together
};

}  // namespace brisko::testing
