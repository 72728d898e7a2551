// The local identity service: accounts, tokens, second factors, request recording and faults.
#include "tests/support/identity-service/IdentityService.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include <httplib.h>

#include "tests/support/PortSockets.hpp"

namespace brisko::testing {

using nlohmann::json;

namespace {

constexpr std::string_view kToolkitPrefix = "/identitytoolkit/v3/relyingparty/";
constexpr std::string_view kPlatformPrefix = "/v2/";
constexpr std::string_view kTokenPath = "/v1/token";
constexpr std::int64_t kTOTPPeriod = 30;

std::string base64URL(std::string_view bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (unsigned char c : bytes) {
        buffer = (buffer << 8) | c;
        bits += 8;
        while (bits >= 6) {
            out += alphabet[(buffer >> (bits - 6)) & 63];
            bits -= 6;
        }
    }
    if (bits > 0) out += alphabet[(buffer << (6 - bits)) & 63];
    return out;
}

std::optional<std::string> base64URLDecode(std::string_view text) {
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '-' || c == '+')
            v = 62;
        else if (c == '_' || c == '/')
            v = 63;
        else if (c == '=')
            break;
        else
            return std::nullopt;
        buffer = (buffer << 6) | static_cast<std::uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            out += static_cast<char>((buffer >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    }
    return out;
}

std::string base32(const unsigned char* bytes, std::size_t n) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        buffer = (buffer << 8) | bytes[i];
        bits += 8;
        while (bits >= 5) {
            out += alphabet[(buffer >> (bits - 5)) & 31];
            bits -= 5;
        }
    }
    if (bits > 0) out += alphabet[(buffer << (5 - bits)) & 31];
    return out;
}

std::string base32Decode(std::string_view text) {
    std::string out;
    std::uint32_t buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= '2' && c <= '7')
            v = c - '2' + 26;
        else
            continue;
        buffer = (buffer << 5) | static_cast<std::uint32_t>(v);
        bits += 5;
        if (bits >= 8) {
            out += static_cast<char>((buffer >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    }
    return out;
}

std::string randomToken(std::size_t bytes) {
    std::string raw(bytes, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes));
    return base64URL(raw);
}

std::string text(const json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool flag(const json& body, const char* key) {
    auto it = body.find(key);
    return it != body.end() && it->is_boolean() && it->get<bool>();
}

// Form-decodes one query text ("a=1&b=2") into its pairs.
std::map<std::string, std::string> parseQuery(const std::string& query) {
    std::map<std::string, std::string> out;
    std::size_t start = 0;
    while (start <= query.size()) {
        auto end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        auto piece = query.substr(start, end - start);
        auto eq = piece.find('=');
        if (eq != std::string::npos) {
            out[httplib::detail::decode_url(piece.substr(0, eq), true)] =
                httplib::detail::decode_url(piece.substr(eq + 1), true);
        }
        start = end + 1;
    }
    return out;
}

json errorBody(int status, const std::string& message) {
    return {{"error",
             {{"code", status},
              {"message", message},
              {"errors", json::array({{{"message", message}, {"domain", "global"}, {"reason", "invalid"}}})}}}};
}

bool validEmail(const std::string& email) {
    auto at = email.find('@');
    return at != std::string::npos && at > 0 && at + 1 < email.size() && email.find(' ') == std::string::npos;
}

}  // namespace

std::optional<std::string> IdentityService::Request::header(std::string_view name) const {
    for (const auto& [k, v] : headers) {
        if (k.size() == name.size() && std::equal(k.begin(), k.end(), name.begin(),
                                                  [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return v;
    }
    return std::nullopt;
}

json IdentityService::Request::json() const {
    auto parsed = json::parse(body, nullptr, false);
    return parsed.is_discarded() ? nlohmann::json() : parsed;
}

IdentityService::IdentityService() : IdentityService(Options{}) {}

IdentityService::IdentityService(Options options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_timeout(2);
    server_->set_read_timeout(10);
    server_->set_payload_max_length(1 << 20);
    auto any = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server_->Get("/.*", any);
    server_->Post("/.*", any);
    port_ = options_.port > 0 ? (server_->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1)
                              : server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the identity service cannot bind 127.0.0.1");
    widenListenBacklog();
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The HTTP library listens with a backlog of 5: many clients connecting at once would see their
// connections dropped and retried a second later. Listening again on the same socket widens it.
void IdentityService::widenListenBacklog() {
    forEachSocketOnPort(port_, [](int fd) {
        int listening = 0;
        socklen_t length = sizeof(listening);
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening) ::listen(fd, 1024);
    });
}

IdentityService::~IdentityService() {
    stop();
}

void IdentityService::stop() {
    if (stopped_) return;
    stopped_ = true;
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string IdentityService::emulatorHostAndPort() const {
    return "127.0.0.1:" + std::to_string(port_);
}

std::string IdentityService::baseURL() const {
    return "http://" + emulatorHostAndPort();
}

void IdentityService::setClock(std::function<std::int64_t()> nowSeconds) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(nowSeconds);
}

std::int64_t IdentityService::now() const {
    if (clock_) return clock_();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void IdentityService::setIDTokenLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(mutex_);
    options_.idTokenLifetime = lifetime;
}

// ---- JWT and TOTP ----

std::string IdentityService::unsignedJWT(const json& claims) {
    static const std::string header = base64URL(R"({"alg":"none","typ":"JWT"})");
    return header + "." + base64URL(claims.dump()) + ".";
}

json IdentityService::jwtClaims(const std::string& token) {
    auto first = token.find('.');
    if (first == std::string::npos) return nullptr;
    auto second = token.find('.', first + 1);
    if (second == std::string::npos) return nullptr;
    auto payload = base64URLDecode(std::string_view(token).substr(first + 1, second - first - 1));
    if (!payload) return nullptr;
    auto claims = json::parse(*payload, nullptr, false);
    if (claims.is_discarded() || !claims.is_object()) return nullptr;
    return claims;
}

std::string IdentityService::base32Text(std::string_view bytes) {
    return base32(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::string IdentityService::totpCode(const std::string& secret, std::int64_t unixSeconds, int digits) {
    std::string key = base32Decode(secret);
    std::uint64_t counter = static_cast<std::uint64_t>(unixSeconds / kTOTPPeriod);
    unsigned char message[8];
    for (int i = 7; i >= 0; --i) {
        message[i] = static_cast<unsigned char>(counter & 0xFF);
        counter >>= 8;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), message, sizeof(message), digest, &length);
    int offset = digest[length - 1] & 0x0F;
    std::uint32_t binary = (static_cast<std::uint32_t>(digest[offset] & 0x7F) << 24) |
                           (static_cast<std::uint32_t>(digest[offset + 1]) << 16) |
                           (static_cast<std::uint32_t>(digest[offset + 2]) << 8) | digest[offset + 3];
    std::uint32_t modulus = 1;
    for (int i = 0; i < digits; ++i) modulus *= 10;
    std::string code = std::to_string(binary % modulus);
    return std::string(static_cast<std::size_t>(digits) - code.size(), '0') + code;
}

bool IdentityService::totpMatches(const std::string& secret, const std::string& code) const {
    std::int64_t t = now();
    for (int step = -1; step <= 1; ++step) {
        if (totpCode(secret, t + step * kTOTPPeriod) == code) return true;
    }
    return false;
}

// ---- Accounts (public) ----

std::string IdentityService::createAccount(const std::string& email, const std::string& password) {
    std::lock_guard lock(mutex_);
    Account& a = newAccount();
    a.email = email;
    a.password = password;
    return a.localID;
}

std::optional<IdentityService::Account> IdentityService::account(const std::string& localID) const {
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(localID);
    if (it == accounts_.end()) return std::nullopt;
    return it->second;
}

std::optional<IdentityService::Account> IdentityService::accountWithEmail(const std::string& email) const {
    std::lock_guard lock(mutex_);
    for (const auto& [id, a] : accounts_) {
        if (a.email == email) return a;
    }
    return std::nullopt;
}

void IdentityService::updateAccount(const std::string& localID, const std::function<void(Account&)>& change) {
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(localID);
    if (it != accounts_.end()) change(it->second);
}

std::size_t IdentityService::accountCount() const {
    std::lock_guard lock(mutex_);
    return accounts_.size();
}

void IdentityService::deleteAccount(const std::string& localID) {
    std::lock_guard lock(mutex_);
    std::erase_if(refreshTokens_, [&](const auto& entry) { return entry.second.first == localID; });
    accounts_.erase(localID);
}

void IdentityService::revokeTokens(const std::string& localID) {
    std::lock_guard lock(mutex_);
    auto it = accounts_.find(localID);
    if (it == accounts_.end()) return;
    ++it->second.generation;
}

IdentityService::TOTPEnrollment IdentityService::enrollTOTP(const std::string& localID,
                                                            const std::string& displayName) {
    std::lock_guard lock(mutex_);
    auto& a = accounts_.at(localID);
    unsigned char raw[20];
    RAND_bytes(raw, sizeof(raw));
    TOTPEnrollment e{"totp-" + std::to_string(++counter_), displayName, base32(raw, sizeof(raw)), now()};
    a.mfa.push_back(e);
    return e;
}

std::string IdentityService::mintIDToken(const std::string& localID) {
    std::lock_guard lock(mutex_);
    return idTokenFor(accounts_.at(localID), "password");
}

std::string IdentityService::mintRefreshToken(const std::string& localID) {
    std::lock_guard lock(mutex_);
    return refreshTokenFor(accounts_.at(localID));
}

std::vector<IdentityService::OOBCode> IdentityService::oobCodes() const {
    std::lock_guard lock(mutex_);
    return oobCodes_;
}

// ---- Faults and recording ----

void IdentityService::injectFault(const std::string& endpoint, Fault fault) {
    std::lock_guard lock(mutex_);
    faults_[endpoint].push_back(std::move(fault));
}

void IdentityService::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::optional<IdentityService::Fault> IdentityService::takeFault(const std::string& endpoint, const std::string& body) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(endpoint);
    if (it == faults_.end()) return std::nullopt;
    auto& faults = it->second;
    // The first fault of the endpoint that answers this request.
    auto fault = std::find_if(faults.begin(), faults.end(), [&](const Fault& f) {
        return f.bodyContains.empty() || body.find(f.bodyContains) != std::string::npos;
    });
    if (fault == faults.end()) return std::nullopt;
    Fault f = *fault;
    if (fault->times > 0 && --fault->times == 0) faults.erase(fault);
    return f;
}

std::vector<IdentityService::Request> IdentityService::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<IdentityService::Request> IdentityService::requestsTo(const std::string& endpoint) const {
    std::lock_guard lock(mutex_);
    std::vector<Request> out;
    for (const auto& r : requests_) {
        if (r.endpoint == endpoint) out.push_back(r);
    }
    return out;
}

void IdentityService::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

// ---- HTTP ----

void IdentityService::handle(const httplib::Request& req, httplib::Response& res) {
    Request recorded;
    recorded.method = req.method;
    recorded.path = req.path;
    auto question = req.target.find('?');
    if (question != std::string::npos) recorded.query = req.target.substr(question + 1);
    for (const auto& [k, v] : req.headers) {
        if (k != "REMOTE_ADDR" && k != "REMOTE_PORT" && k != "LOCAL_ADDR" && k != "LOCAL_PORT")
            recorded.headers.emplace_back(k, v);
    }
    recorded.body = req.body;

    // "/<service host>" then the API's own path.
    std::string rest;
    if (req.path.size() > 1) {
        auto slash = req.path.find('/', 1);
        if (slash != std::string::npos) rest = req.path.substr(slash);
    }
    if (rest.starts_with(kToolkitPrefix)) {
        recorded.endpoint = rest.substr(kToolkitPrefix.size());
    } else if (rest.starts_with(kPlatformPrefix)) {
        recorded.endpoint = rest.substr(kPlatformPrefix.size());
    } else if (rest == kTokenPath) {
        recorded.endpoint = "token";
    }
    {
        std::lock_guard lock(mutex_);
        recorded.arrived = ++events_;
        requests_.push_back(recorded);
    }
    // Notes when the reply was made, on every way out of this function.
    struct Answered {
        IdentityService& service;
        std::uint64_t arrived;
        ~Answered() {
            std::lock_guard lock(service.mutex_);
            const auto at = ++service.events_;
            for (auto r = service.requests_.rbegin(); r != service.requests_.rend(); ++r) {
                if (r->arrived == arrived) {
                    r->answered = at;
                    break;
                }
            }
        }
    } answered{*this, recorded.arrived};

    auto respond = [&](int status, const std::string& body, const char* type = "application/json") {
        res.status = status;
        res.set_content(body, type);
    };
    if (auto fault = takeFault(recorded.endpoint, recorded.body)) {
        switch (fault->kind) {
        case Fault::Kind::status:
            return respond(fault->status, "");
        case Fault::Kind::emptyBody:
            return respond(200, "");
        case Fault::Kind::emptyArray:
            return respond(fault->status, "[]");
        case Fault::Kind::bareNumber:
            return respond(fault->status, "5");
        case Fault::Kind::notJSON:
            return respond(fault->status, "<html>Service Unavailable</html>", "text/html");
        case Fault::Kind::errorText:
            return respond(fault->status, R"({"error":"x"})");
        case Fault::Kind::errorMessageNumber:
            return respond(fault->status, R"({"error":{"message":5}})");
        case Fault::Kind::serverError:
            return respond(fault->status, errorBody(fault->status, fault->message).dump());
        case Fault::Kind::body:
            return respond(fault->status, fault->body);
        case Fault::Kind::delay:
            std::this_thread::sleep_for(fault->delay);
            break;
        case Fault::Kind::closeConnection:
            res.status = 200;
            res.set_content_provider(64, "application/json",
                                     [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
            return;
        }
    }

    auto params = parseQuery(recorded.query);
    if (recorded.endpoint.empty()) return respond(404, errorBody(404, "NOT_FOUND").dump());
    if (params["key"] != options_.apiKey) {
        json body = {{"error",
                      {{"code", 400},
                       {"message", "API key not valid. Please pass a valid API key."},
                       {"errors", json::array({{{"message", "API key not valid. Please pass a valid API key."},
                                                {"domain", "global"},
                                                {"reason", "keyInvalid"}}})}}}};
        return respond(400, body.dump());
    }
    json body = json::object();
    if (req.method == "POST") {
        body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object())
            return respond(400, errorBody(400, "INVALID_JSON_PAYLOAD").dump());
    }
    Reply reply = route(recorded.endpoint, body, recorded);
    respond(reply.status, reply.body.dump());
}

IdentityService::Reply IdentityService::route(const std::string& endpoint, const json& body, const Request& request) {
    std::lock_guard lock(mutex_);
    if (endpoint == "signupNewUser") return signUpNewUser(body);
    if (endpoint == "verifyPassword") return verifyPassword(body);
    if (endpoint == "verifyCustomToken") return verifyCustomToken(body);
    if (endpoint == "verifyAssertion") return verifyAssertion(body);
    if (endpoint == "getAccountInfo") return getAccountInfo(body);
    if (endpoint == "setAccountInfo") return setAccountInfo(body);
    if (endpoint == "getOobConfirmationCode") return getOOBConfirmationCode(body);
    if (endpoint == "resetPassword") return resetPassword(body);
    if (endpoint == "emailLinkSignin") return emailLinkSignIn(body);
    if (endpoint == "createAuthUri") return createAuthURI(body);
    if (endpoint == "deleteAccount") return deleteAccount(body);
    if (endpoint == "token") return secureToken(body);
    if (endpoint == "accounts/mfaEnrollment:start") return startMFAEnrollment(body);
    if (endpoint == "accounts/mfaEnrollment:finalize") return finalizeMFAEnrollment(body);
    if (endpoint == "accounts/mfaEnrollment:withdraw") return withdrawMFA(body);
    if (endpoint == "accounts/mfaSignIn:finalize") return finalizeMFASignIn(body);
    if (endpoint == "accounts:revokeToken") {
        std::string error;
        if (!accountForIDToken(body, error)) return {400, errorBody(400, error)};
        return {200, json::object()};
    }
    if (endpoint == "getProjectConfig" && request.method == "GET") {
        return {200,
                {{"projectId", options_.projectID}, {"authorizedDomains", json::array({"localhost", "127.0.0.1"})}}};
    }
    if (endpoint == "recaptchaConfig" && request.method == "GET") {
        return {200, {{"recaptchaKey", "local-site-key"}, {"recaptchaEnforcementState", json::array()}}};
    }
    if (endpoint == "accounts/mfaSignIn:start" || endpoint == "sendVerificationCode" ||
        endpoint == "verifyPhoneNumber" || endpoint == "verifyClient") {
        return {400, errorBody(400, "OPERATION_NOT_ALLOWED : Phone sign-in is not available on this service")};
    }
    return {404, errorBody(404, "NOT_FOUND")};
}

// ---- Helpers ----

IdentityService::Account& IdentityService::newAccount() {
    std::string id = "uid" + std::to_string(++counter_) + randomToken(6);
    Account& a = accounts_[id];
    a.localID = id;
    a.createdAt = a.lastLoginAt = now() * 1000;
    return a;
}

IdentityService::Account* IdentityService::findByEmail(const std::string& email) {
    for (auto& [id, a] : accounts_) {
        if (a.email == email) return &a;
    }
    return nullptr;
}

std::string IdentityService::idTokenFor(const Account& a, const std::string& provider) {
    std::int64_t t = now();
    json identities = json::object();
    if (a.email) identities["email"] = json::array({*a.email});
    for (const auto& p : a.providers) identities[p.providerID] = json::array({p.federatedID});
    json claims = {{"iss", "https://securetoken.ezevar.com/" + options_.projectID},
                   {"aud", options_.projectID},
                   {"auth_time", t},
                   {"user_id", a.localID},
                   {"sub", a.localID},
                   {"iat", t},
                   {"exp", t + options_.idTokenLifetime.count()},
                   {"zudiridi", {{"identities", identities}, {"sign_in_provider", provider}}}};
    if (a.email) claims["email"] = *a.email;
    claims["email_verified"] = a.emailVerified;
    if (a.displayName) claims["name"] = *a.displayName;
    // A counter keeps two tokens minted in the same second apart.
    claims["jti"] = std::to_string(++counter_);
    claims["generation"] = a.generation;
    return unsignedJWT(claims);
}

std::string IdentityService::refreshTokenFor(const Account& a) {
    std::string token = "rt-" + randomToken(24);
    refreshTokens_[token] = {a.localID, a.generation};
    return token;
}

json IdentityService::tokensFor(Account& a, const std::string& provider) {
    a.lastLoginAt = now() * 1000;
    return {{"idToken", idTokenFor(a, provider)},
            {"refreshToken", refreshTokenFor(a)},
            {"expiresIn", std::to_string(options_.idTokenLifetime.count())},
            {"localId", a.localID}};
}

IdentityService::Account* IdentityService::accountForIDToken(const json& body, std::string& error) {
    auto token = text(body, "idToken");
    auto claims = jwtClaims(token);
    if (token.empty() || claims.is_null() || !claims.contains("sub") || !claims["sub"].is_string()) {
        error = "INVALID_ID_TOKEN";
        return nullptr;
    }
    auto it = accounts_.find(claims["sub"].get<std::string>());
    if (it == accounts_.end()) {
        error = "USER_NOT_FOUND";
        return nullptr;
    }
    std::int64_t exp = claims.value("exp", std::int64_t{0});
    if (exp <= now() || claims.value("generation", 0) != it->second.generation) {
        error = "TOKEN_EXPIRED";
        return nullptr;
    }
    if (it->second.disabled) {
        error = "USER_DISABLED";
        return nullptr;
    }
    return &it->second;
}

std::optional<IdentityService::Reply> IdentityService::secondFactorChallenge(Account& a) {
    if (a.mfa.empty()) return std::nullopt;
    std::string pending = "mfa-" + randomToken(18);
    pendingCredentials_[pending] = a.localID;
    json info = json::array();
    for (const auto& e : a.mfa) {
        info.push_back({{"mfaEnrollmentId", e.enrollmentID},
                        {"displayName", e.displayName},
                        {"totpInfo", json::object()},
                        {"enrolledAt", "2026-01-01T00:00:00.000Z"}});
    }
    json reply = {{"localId", a.localID}, {"mfaPendingCredential", pending}, {"mfaInfo", info}};
    if (a.email) reply["email"] = *a.email;
    return Reply{200, reply};
}

json IdentityService::accountRecord(const Account& a) const {
    json user = {{"localId", a.localID},
                 {"emailVerified", a.emailVerified},
                 {"createdAt", std::to_string(a.createdAt)},
                 {"lastLoginAt", std::to_string(a.lastLoginAt)},
                 {"disabled", a.disabled}};
    if (a.email) user["email"] = *a.email;
    if (a.displayName) user["displayName"] = *a.displayName;
    if (a.photoURL) user["photoUrl"] = *a.photoURL;
    if (a.password) user["passwordHash"] = "UkVEQUNURUQ=";
    json providers = json::array();
    if (a.email && a.password) {
        providers.push_back({{"providerId", "password"}, {"federatedId", *a.email}, {"email", *a.email}});
    }
    for (const auto& p : a.providers) {
        json entry = {{"providerId", p.providerID}, {"federatedId", p.federatedID}};
        if (p.email) entry["email"] = *p.email;
        if (p.displayName) entry["displayName"] = *p.displayName;
        if (p.photoURL) entry["photoUrl"] = *p.photoURL;
        providers.push_back(entry);
    }
    user["providerUserInfo"] = providers;
    if (!a.mfa.empty()) {
        json info = json::array();
        for (const auto& e : a.mfa) {
            info.push_back(
                {{"mfaEnrollmentId", e.enrollmentID}, {"displayName", e.displayName}, {"totpInfo", json::object()}});
        }
        user["mfaInfo"] = info;
    }
    return user;
}

std::string IdentityService::newCode() {
    return "oob-" + randomToken(18);
}

// ---- Endpoints ----

IdentityService::Reply IdentityService::signUpNewUser(const json& body) {
    auto email = text(body, "email");
    auto password = text(body, "password");
    if (body.contains("idToken")) {
        // Linking an e-mail and password to the signed-in user.
        std::string error;
        Account* a = accountForIDToken(body, error);
        if (!a) return {400, errorBody(400, error)};
        if (!validEmail(email)) return {400, errorBody(400, "INVALID_EMAIL")};
        if (Account* other = findByEmail(email); other && other != a) return {400, errorBody(400, "EMAIL_EXISTS")};
        if (password.size() < 6)
            return {400, errorBody(400, "WEAK_PASSWORD : Password should be at least 6 characters")};
        a->email = email;
        a->password = password;
        a->anonymous = false;
        json reply = tokensFor(*a, "password");
        reply["email"] = email;
        return {200, reply};
    }
    if (!body.contains("email")) {
        Account& a = newAccount();
        a.anonymous = true;
        return {200, tokensFor(a, "anonymous")};
    }
    if (!validEmail(email)) return {400, errorBody(400, "INVALID_EMAIL")};
    if (findByEmail(email)) return {400, errorBody(400, "EMAIL_EXISTS")};
    if (password.size() < 6) return {400, errorBody(400, "WEAK_PASSWORD : Password should be at least 6 characters")};
    Account& a = newAccount();
    a.email = email;
    a.password = password;
    if (body.contains("displayName")) a.displayName = text(body, "displayName");
    json reply = tokensFor(a, "password");
    reply["email"] = email;
    return {200, reply};
}

IdentityService::Reply IdentityService::verifyPassword(const json& body) {
    auto email = text(body, "email");
    Account* a = findByEmail(email);
    if (!a) return {400, errorBody(400, "EMAIL_NOT_FOUND")};
    if (!a->password || *a->password != text(body, "password")) return {400, errorBody(400, "INVALID_PASSWORD")};
    if (a->disabled) return {400, errorBody(400, "USER_DISABLED")};
    if (auto challenge = secondFactorChallenge(*a)) return *challenge;
    json reply = tokensFor(*a, "password");
    reply["email"] = email;
    reply["registered"] = true;
    if (a->displayName) reply["displayName"] = *a->displayName;
    return {200, reply};
}

IdentityService::Reply IdentityService::verifyCustomToken(const json& body) {
    auto claims = jwtClaims(text(body, "token"));
    if (claims.is_null() || !claims.contains("uid") || !claims["uid"].is_string()) {
        return {400, errorBody(400, "INVALID_CUSTOM_TOKEN")};
    }
    auto uid = claims["uid"].get<std::string>();
    bool isNew = !accounts_.contains(uid);
    Account& a = accounts_[uid];
    if (isNew) {
        a.localID = uid;
        a.createdAt = now() * 1000;
    }
    if (a.disabled) return {400, errorBody(400, "USER_DISABLED")};
    json reply = tokensFor(a, "custom");
    reply["isNewUser"] = isNew;
    return {200, reply};
}

IdentityService::Reply IdentityService::verifyAssertion(const json& body) {
    auto post = parseQuery(text(body, "postBody"));
    auto providerID = post["providerId"];
    if (providerID.empty()) return {400, errorBody(400, "INVALID_IDP_RESPONSE : Missing providerId")};
    json claims;
    if (!post["id_token"].empty()) {
        claims = jwtClaims(post["id_token"]);
        if (claims.is_null()) return {400, errorBody(400, "INVALID_IDP_RESPONSE : Unable to parse id_token")};
    } else if (!post["access_token"].empty()) {
        // An access token alone names the user through its own text.
        claims = {{"sub", "at:" + post["access_token"].substr(0, 32)}};
    } else {
        return {400, errorBody(400, "INVALID_IDP_RESPONSE : Missing id_token and access_token")};
    }
    if (!claims.contains("sub") || !claims["sub"].is_string()) {
        return {400, errorBody(400, "INVALID_IDP_RESPONSE : The id_token has no subject")};
    }
    std::string federatedID = claims["sub"].get<std::string>();
    std::optional<std::string> email, name, picture;
    if (claims.contains("email") && claims["email"].is_string()) email = claims["email"].get<std::string>();
    if (claims.contains("name") && claims["name"].is_string()) name = claims["name"].get<std::string>();
    if (claims.contains("picture") && claims["picture"].is_string()) picture = claims["picture"].get<std::string>();

    Account* owner = nullptr;
    for (auto& [id, a] : accounts_) {
        for (const auto& p : a.providers) {
            if (p.providerID == providerID && p.federatedID == federatedID) owner = &a;
        }
    }
    const bool returnIDP = flag(body, "returnIdpCredential");
    json reply = {{"providerId", providerID}, {"federatedId", federatedID}, {"rawUserInfo", claims.dump()}};
    if (!post["id_token"].empty()) reply["oauthIdToken"] = post["id_token"];
    if (!post["access_token"].empty()) reply["oauthAccessToken"] = post["access_token"];
    if (email) reply["email"] = *email;

    Account* target = nullptr;
    bool isNew = false;
    if (body.contains("idToken")) {
        std::string error;
        Account* user = accountForIDToken(body, error);
        if (!user) return {400, errorBody(400, error)};
        if (owner && owner != user) {
            if (returnIDP) {
                reply["errorMessage"] = "FEDERATED_USER_ID_ALREADY_LINKED";
                return {200, reply};
            }
            return {400, errorBody(400, "FEDERATED_USER_ID_ALREADY_LINKED")};
        }
        if (!owner) user->providers.push_back({providerID, federatedID, email, name, picture});
        target = user;
    } else if (owner) {
        target = owner;
    } else {
        if (!body.contains("autoCreate") || !flag(body, "autoCreate")) return {400, errorBody(400, "USER_NOT_FOUND")};
        if (email && findByEmail(*email)) {
            // Another account already uses this address: the user must confirm with that account.
            reply["needConfirmation"] = true;
            return {200, reply};
        }
        Account& a = newAccount();
        a.email = email;
        a.displayName = name;
        a.photoURL = picture;
        a.emailVerified = claims.value("email_verified", false);
        a.providers.push_back({providerID, federatedID, email, name, picture});
        target = &a;
        isNew = true;
    }
    if (target->disabled) return {400, errorBody(400, "USER_DISABLED")};
    reply["localId"] = target->localID;
    reply["isNewUser"] = isNew;
    reply["emailVerified"] = target->emailVerified;
    if (target->displayName) reply["displayName"] = *target->displayName;
    if (target->photoURL) reply["photoUrl"] = *target->photoURL;
    if (auto challenge = secondFactorChallenge(*target)) {
        challenge->body.update(reply);
        return *challenge;
    }
    reply.update(tokensFor(*target, providerID));
    return {200, reply};
}

IdentityService::Reply IdentityService::getAccountInfo(const json& body) {
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    return {200, {{"kind", "identitytoolkit#GetAccountInfoResponse"}, {"users", json::array({accountRecord(*a)})}}};
}

IdentityService::Reply IdentityService::setAccountInfo(const json& body) {
    if (body.contains("oobCode")) {
        auto code = text(body, "oobCode");
        auto it = std::find_if(oobCodes_.begin(), oobCodes_.end(), [&](const OOBCode& c) { return c.code == code; });
        if (it == oobCodes_.end()) return {400, errorBody(400, "INVALID_OOB_CODE")};
        auto account = accounts_.find(it->localID);
        if (account == accounts_.end()) return {400, errorBody(400, "USER_NOT_FOUND")};
        json reply = {{"localId", account->second.localID}};
        if (it->requestType == "VERIFY_EMAIL") {
            account->second.emailVerified = true;
        } else if (it->requestType == "VERIFY_AND_CHANGE_EMAIL" && it->newEmail) {
            account->second.email = *it->newEmail;
            account->second.emailVerified = true;
        }
        if (account->second.email) reply["email"] = *account->second.email;
        oobCodes_.erase(it);
        return {200, reply};
    }
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    if (body.contains("email")) {
        auto email = text(body, "email");
        if (!validEmail(email)) return {400, errorBody(400, "INVALID_EMAIL")};
        if (Account* other = findByEmail(email); other && other != a) return {400, errorBody(400, "EMAIL_EXISTS")};
        a->email = email;
        a->emailVerified = false;
    }
    if (body.contains("password")) {
        auto password = text(body, "password");
        if (password.size() < 6)
            return {400, errorBody(400, "WEAK_PASSWORD : Password should be at least 6 characters")};
        a->password = password;
    }
    if (body.contains("displayName")) a->displayName = text(body, "displayName");
    if (body.contains("photoUrl")) a->photoURL = text(body, "photoUrl");
    if (auto del = body.find("deleteAttribute"); del != body.end() && del->is_array()) {
        for (const auto& attribute : *del) {
            if (attribute == "DISPLAY_NAME") a->displayName.reset();
            if (attribute == "PHOTO_URL") a->photoURL.reset();
        }
    }
    if (auto del = body.find("deleteProvider"); del != body.end() && del->is_array()) {
        for (const auto& provider : *del) {
            // As at the real service, the password provider takes the account's address with it.
            if (provider == "password") {
                a->password.reset();
                a->email.reset();
                a->emailVerified = false;
            }
            std::erase_if(a->providers, [&](const Provider& p) { return provider == p.providerID; });
        }
    }
    json record = accountRecord(*a);
    json reply = {
        {"localId", a->localID}, {"emailVerified", a->emailVerified}, {"providerUserInfo", record["providerUserInfo"]}};
    if (a->email) reply["email"] = *a->email;
    if (a->displayName) reply["displayName"] = *a->displayName;
    if (a->photoURL) reply["photoUrl"] = *a->photoURL;
    if (flag(body, "returnSecureToken") && (body.contains("email") || body.contains("password"))) {
        reply.update(tokensFor(*a, "password"));
    }
    return {200, reply};
}

IdentityService::Reply IdentityService::getOOBConfirmationCode(const json& body) {
    auto type = text(body, "requestType");
    OOBCode code{newCode(), type, {}, std::nullopt, {}};
    if (type == "PASSWORD_RESET" || type == "EMAIL_SIGNIN") {
        auto email = text(body, "email");
        if (email.empty()) return {400, errorBody(400, "MISSING_EMAIL")};
        if (!validEmail(email)) return {400, errorBody(400, "INVALID_EMAIL")};
        Account* a = findByEmail(email);
        if (type == "PASSWORD_RESET" && !a) return {400, errorBody(400, "EMAIL_NOT_FOUND")};
        if (type == "EMAIL_SIGNIN" && flag(body, "canHandleCodeInApp") == false) {
            return {400, errorBody(400, "MISSING_CONTINUE_URI : canHandleCodeInApp must be true")};
        }
        code.email = email;
        if (a) code.localID = a->localID;
    } else if (type == "VERIFY_EMAIL" || type == "VERIFY_AND_CHANGE_EMAIL") {
        std::string error;
        Account* a = accountForIDToken(body, error);
        if (!a) return {400, errorBody(400, error)};
        code.localID = a->localID;
        code.email = a->email.value_or("");
        if (type == "VERIFY_AND_CHANGE_EMAIL") {
            auto newEmail = text(body, "newEmail");
            if (!validEmail(newEmail)) return {400, errorBody(400, "INVALID_EMAIL")};
            code.newEmail = newEmail;
        }
    } else {
        return {400, errorBody(400, "INVALID_REQ_TYPE : " + type)};
    }
    oobCodes_.push_back(code);
    return {200,
            {{"kind", "identitytoolkit#GetOobConfirmationCodeResponse"},
             {"email", code.newEmail.value_or(code.email)},
             {"oobCode", code.code}}};
}

IdentityService::Reply IdentityService::resetPassword(const json& body) {
    auto code = text(body, "oobCode");
    // Without a new password this checks a code of any kind; with one it resets with a reset code.
    const bool resetting = body.contains("newPassword");
    auto it = std::find_if(oobCodes_.begin(), oobCodes_.end(), [&](const OOBCode& c) {
        return c.code == code && (!resetting || c.requestType == "PASSWORD_RESET");
    });
    if (it == oobCodes_.end()) return {400, errorBody(400, "INVALID_OOB_CODE")};
    json reply = {{"email", it->email}, {"requestType", it->requestType}};
    if (it->newEmail) reply["newEmail"] = *it->newEmail;
    if (resetting) {
        auto password = text(body, "newPassword");
        if (password.size() < 6)
            return {400, errorBody(400, "WEAK_PASSWORD : Password should be at least 6 characters")};
        auto account = accounts_.find(it->localID);
        if (account == accounts_.end()) return {400, errorBody(400, "USER_NOT_FOUND")};
        account->second.password = password;
        oobCodes_.erase(it);
    }
    return {200, reply};
}

IdentityService::Reply IdentityService::emailLinkSignIn(const json& body) {
    auto email = text(body, "email");
    auto code = text(body, "oobCode");
    auto it = std::find_if(oobCodes_.begin(), oobCodes_.end(),
                           [&](const OOBCode& c) { return c.code == code && c.requestType == "EMAIL_SIGNIN"; });
    if (it == oobCodes_.end()) return {400, errorBody(400, "INVALID_OOB_CODE")};
    if (it->email != email) return {400, errorBody(400, "INVALID_EMAIL : The email does not match the link")};
    oobCodes_.erase(it);
    Account* a = nullptr;
    bool isNew = false;
    if (body.contains("idToken")) {
        std::string error;
        a = accountForIDToken(body, error);
        if (!a) return {400, errorBody(400, error)};
        a->email = email;
    } else {
        a = findByEmail(email);
        if (!a) {
            a = &newAccount();
            a->email = email;
            isNew = true;
        }
    }
    a->emailVerified = true;
    if (auto challenge = secondFactorChallenge(*a)) return *challenge;
    json reply = tokensFor(*a, "emailLink");
    reply["email"] = email;
    reply["isNewUser"] = isNew;
    return {200, reply};
}

IdentityService::Reply IdentityService::createAuthURI(const json& body) {
    auto email = text(body, "identifier");
    if (!validEmail(email)) return {400, errorBody(400, "INVALID_IDENTIFIER")};
    json methods = json::array(), providers = json::array();
    if (Account* a = findByEmail(email)) {
        if (a->password) {
            methods.push_back("password");
            providers.push_back("password");
        }
        for (const auto& p : a->providers) {
            methods.push_back(p.providerID);
            providers.push_back(p.providerID);
        }
    }
    return {200,
            {{"kind", "identitytoolkit#CreateAuthUriResponse"},
             {"registered", !methods.empty()},
             {"allProviders", providers},
             {"signinMethods", methods},
             {"sessionId", randomToken(12)}}};
}

IdentityService::Reply IdentityService::deleteAccount(const json& body) {
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    if (body.contains("localId") && text(body, "localId") != a->localID) return {400, errorBody(400, "USER_NOT_FOUND")};
    std::string id = a->localID;
    std::erase_if(refreshTokens_, [&](const auto& entry) { return entry.second.first == id; });
    accounts_.erase(id);
    return {200, {{"kind", "identitytoolkit#DeleteAccountResponse"}}};
}

IdentityService::Reply IdentityService::secureToken(const json& body) {
    if (text(body, "grantType") != "refresh_token") return {400, errorBody(400, "INVALID_GRANT_TYPE")};
    auto it = refreshTokens_.find(text(body, "refreshToken"));
    if (it == refreshTokens_.end()) return {400, errorBody(400, "INVALID_REFRESH_TOKEN")};
    auto account = accounts_.find(it->second.first);
    if (account == accounts_.end()) return {400, errorBody(400, "USER_NOT_FOUND")};
    if (it->second.second != account->second.generation) return {400, errorBody(400, "TOKEN_EXPIRED")};
    if (account->second.disabled) return {400, errorBody(400, "USER_DISABLED")};
    auto idToken = idTokenFor(account->second, "password");
    return {200,
            {{"access_token", idToken},
             {"expires_in", std::to_string(options_.idTokenLifetime.count())},
             {"token_type", "Bearer"},
             {"refresh_token", it->first},
             {"id_token", idToken},
             {"user_id", account->second.localID},
             {"project_id", options_.projectID}}};
}

IdentityService::Reply IdentityService::startMFAEnrollment(const json& body) {
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    if (!body.contains("totpEnrollmentInfo")) {
        return {400, errorBody(400, "OPERATION_NOT_ALLOWED : Only TOTP second factors are available on this service")};
    }
    if (!a->emailVerified)
        return {400, errorBody(400, "UNVERIFIED_EMAIL : Need to verify email first before enrolling second factors.")};
    unsigned char raw[20];
    RAND_bytes(raw, sizeof(raw));
    std::string secret = base32(raw, sizeof(raw));
    std::string session = "totp-session-" + randomToken(12);
    pendingEnrollments_[session] = {a->localID, secret};
    return {200,
            {{"totpSessionInfo",
              {{"sharedSecretKey", secret},
               {"verificationCodeLength", 6},
               {"hashingAlgorithm", "SHA1"},
               {"periodSec", kTOTPPeriod},
               {"sessionInfo", session},
               {"finalizeEnrollmentTime", "2099-01-01T00:00:00.000Z"}}}}};
}

IdentityService::Reply IdentityService::finalizeMFAEnrollment(const json& body) {
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    auto info = body.find("totpVerificationInfo");
    if (info == body.end() || !info->is_object()) return {400, errorBody(400, "MISSING_MFA_ENROLLMENT_ID")};
    auto session = pendingEnrollments_.find(text(*info, "sessionInfo"));
    if (session == pendingEnrollments_.end() || session->second.first != a->localID) {
        return {400, errorBody(400, "INVALID_SESSION_INFO")};
    }
    if (!totpMatches(session->second.second, text(*info, "verificationCode")))
        return {400, errorBody(400, "INVALID_CODE")};
    a->mfa.push_back({"totp-" + std::to_string(++counter_), text(body, "displayName"), session->second.second, now()});
    pendingEnrollments_.erase(session);
    json tokens = tokensFor(*a, "password");
    return {200, {{"idToken", tokens["idToken"]}, {"refreshToken", tokens["refreshToken"]}}};
}

IdentityService::Reply IdentityService::withdrawMFA(const json& body) {
    std::string error;
    Account* a = accountForIDToken(body, error);
    if (!a) return {400, errorBody(400, error)};
    auto id = text(body, "mfaEnrollmentId");
    auto before = a->mfa.size();
    std::erase_if(a->mfa, [&](const TOTPEnrollment& e) { return e.enrollmentID == id; });
    if (a->mfa.size() == before) return {400, errorBody(400, "MFA_ENROLLMENT_NOT_FOUND")};
    json tokens = tokensFor(*a, "password");
    return {200, {{"idToken", tokens["idToken"]}, {"refreshToken", tokens["refreshToken"]}}};
}

IdentityService::Reply IdentityService::finalizeMFASignIn(const json& body) {
    auto pending = pendingCredentials_.find(text(body, "mfaPendingCredential"));
    if (pending == pendingCredentials_.end()) return {400, errorBody(400, "INVALID_MFA_PENDING_CREDENTIAL")};
    auto account = accounts_.find(pending->second);
    if (account == accounts_.end()) return {400, errorBody(400, "USER_NOT_FOUND")};
    auto info = body.find("totpVerificationInfo");
    if (info == body.end() || !info->is_object()) {
        return {400, errorBody(400, "OPERATION_NOT_ALLOWED : Only TOTP second factors are available on this service")};
    }
    auto id = text(body, "mfaEnrollmentId");
    if (id.empty()) return {400, errorBody(400, "MISSING_MFA_ENROLLMENT_ID")};
    auto& mfa = account->second.mfa;
    auto e = std::find_if(mfa.begin(), mfa.end(), [&](const TOTPEnrollment& x) { return x.enrollmentID == id; });
    if (e == mfa.end()) return {400, errorBody(400, "MFA_ENROLLMENT_NOT_FOUND")};
    if (!totpMatches(e->secret, text(*info, "verificationCode"))) return {400, errorBody(400, "INVALID_CODE")};
    pendingCredentials_.erase(pending);
    json tokens = tokensFor(account->second, "password");
    return {200, {{"idToken", tokens["idToken"]}, {"refreshToken", tokens["refreshToken"]}}};
}

}  // namespace brisko::testing
