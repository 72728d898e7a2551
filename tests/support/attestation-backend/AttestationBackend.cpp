// The local attestation backend's endpoints and fault injection.
#include "tests/support/attestation-backend/AttestationBackend.hpp"

#include <nlohmann/json.hpp>

#include "platform/storage/Crypto.hpp"

namespace brisko::testing {

namespace {

using nlohmann::json;

constexpr std::pair<AttestationBackend::Method, std::string_view> kMethodNames[] = {
    {AttestationBackend::Method::generateChallenge, "generateAppAttestChallenge"},
    {AttestationBackend::Method::exchangeAttestation, "exchangeAppAttestAttestation"},
    {AttestationBackend::Method::exchangeAssertion, "exchangeAppAttestAssertion"},
    {AttestationBackend::Method::exchangeDeviceCheck, "exchangeDeviceCheckToken"},
    {AttestationBackend::Method::exchangeDebug, "exchangeDebugToken"},
};

void reply(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

void error(httplib::Response& res, int status, std::string_view message) {
    reply(res, status, json{{"error", {{"code", status}, {"message", message}}}});
}

bool isBase64Text(const json& body, std::string_view field) {
    auto it = body.find(field);
    return it != body.end() && it->is_string() && !it->get<std::string>().empty() &&
           platform::crypto::base64Decode(it->get<std::string>()).has_value();
}

}  // namespace

AttestationBackend::AttestationBackend(std::string resourceName) : resourceName_(std::move(resourceName)) {
    for (const auto& [method, name] : kMethodNames) {
        (void)name;
        server_.on("POST", path(method),
                   [this, m = method](const httplib::Request& req, httplib::Response& res) { answer(m, req, res); });
    }
}

std::string AttestationBackend::baseURL() const {
    return server_.baseURL() + "/v1";
}

std::string AttestationBackend::path(Method method) const {
    for (const auto& [m, name] : kMethodNames) {
        if (m == method) return "/v1/" + resourceName_ + ":" + std::string(name);
    }
    return {};
}

void AttestationBackend::fail(Method method, Fault fault, int times) {
    std::lock_guard lock(mutex_);
    faults_[method] = {fault, times};
}

void AttestationBackend::delay(Method method, std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delays_[method] = delay;
}

void AttestationBackend::setTTL(std::string ttl) {
    std::lock_guard lock(mutex_);
    ttl_ = std::move(ttl);
}

void AttestationBackend::allowDebugTokens(std::set<std::string> tokens) {
    std::lock_guard lock(mutex_);
    allowedDebugTokens_ = std::move(tokens);
}

std::vector<RecordedRequest> AttestationBackend::requestsTo(Method method) const {
    return server_.requestsTo(path(method));
}

std::vector<std::string> AttestationBackend::issuedTokens() const {
    std::lock_guard lock(mutex_);
    return issued_;
}

std::size_t AttestationBackend::rejectedChallenges() const {
    std::lock_guard lock(mutex_);
    return rejectedChallenges_;
}

std::optional<AttestationBackend::Fault> AttestationBackend::takeFault(Method method) {
    std::lock_guard lock(mutex_);
    auto it = faults_.find(method);
    if (it == faults_.end() || it->second.first == Fault::none || it->second.second == 0) return std::nullopt;
    if (it->second.second > 0) --it->second.second;
    return it->second.first;
}

std::string AttestationBackend::newToken(Method method) {
    std::lock_guard lock(mutex_);
    std::string token =
        "attestation-token-" + std::to_string(issued_.size() + 1) + "-" + std::to_string(static_cast<int>(method));
    issued_.push_back(token);
    return token;
}

bool AttestationBackend::consumeChallenge(const std::string& base64) {
    std::lock_guard lock(mutex_);
    if (challenges_.erase(base64) == 1) return true;
    ++rejectedChallenges_;
    return false;
}

void AttestationBackend::answer(Method method, const httplib::Request& req, httplib::Response& res) {
    std::chrono::milliseconds pause{0};
    std::string ttl;
    {
        std::lock_guard lock(mutex_);
        if (auto it = delays_.find(method); it != delays_.end()) pause = it->second;
        ttl = ttl_;
    }
    if (pause.count() > 0 && !server_.sleep(pause)) return;

    if (auto fault = takeFault(method)) {
        switch (*fault) {
        case Fault::forbidden:
            return error(res, 403, "attestation rejected");
        case Fault::badRequest:
            return error(res, 400, "bad request");
        case Fault::notFound:
            return error(res, 404, "not found");
        case Fault::unavailable:
            return error(res, 503, "unavailable");
        case Fault::droppedConnection:
            return server_.dropAfter("{\"tok", 200)(req, res);
        case Fault::missingFields:
            return reply(res, 200, json{{"unexpected", true}});
        case Fault::invalidBase64:
            if (method == Method::generateChallenge) return reply(res, 200, json{{"challenge", "***not base64***"}});
            if (method == Method::exchangeAttestation) {
                return reply(res, 200, json{{"artifact", "%%%"}, {"appVouchToken", {{"token", "t"}, {"ttl", ttl}}}});
            }
            return reply(res, 200, json{{"token", "t"}, {"ttl", "not-a-number"}});
        case Fault::notJSON:
            res.status = 200;
            res.set_content("<html>not json</html>", "text/html");
            return;
        case Fault::emptyBody:
            res.status = 200;
            return;
        case Fault::none:
            break;
        }
    }

    json body = json::parse(req.body, nullptr, false);
    if (method == Method::generateChallenge) {
        auto challenge = platform::crypto::base64Encode(platform::crypto::randomBytes(32));
        {
            std::lock_guard lock(mutex_);
            challenges_.insert(challenge);
        }
        return reply(res, 200, json{{"challenge", challenge}, {"ttl", "300s"}});
    }
    if (!body.is_object() || !body.contains("limited_use") || !body["limited_use"].is_boolean()) {
        return error(res, 400, "malformed request");
    }
    // Issued only for a request that is answered with a token.
    auto token = [&] { return json{{"token", newToken(method)}, {"ttl", ttl}}; };
    switch (method) {
    case Method::exchangeAttestation: {
        if (!isBase64Text(body, "attestation_statement") || !body.contains("key_id") ||
            !isBase64Text(body, "challenge")) {
            return error(res, 400, "malformed attestation");
        }
        if (!consumeChallenge(body["challenge"].get<std::string>())) return error(res, 403, "unknown challenge");
        auto artifact = platform::crypto::base64Encode(platform::crypto::randomBytes(24));
        {
            std::lock_guard lock(mutex_);
            artifacts_.insert(artifact);
        }
        return reply(res, 200, json{{"artifact", artifact}, {"appVouchToken", token()}});
    }
    case Method::exchangeAssertion: {
        if (!isBase64Text(body, "artifact") || !isBase64Text(body, "assertion") || !isBase64Text(body, "challenge")) {
            return error(res, 400, "malformed assertion");
        }
        if (!consumeChallenge(body["challenge"].get<std::string>())) return error(res, 403, "unknown challenge");
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            known = artifacts_.count(body["artifact"].get<std::string>()) == 1;
        }
        if (!known) return error(res, 403, "unknown artifact");
        return reply(res, 200, token());
    }
    case Method::exchangeDeviceCheck:
        if (!isBase64Text(body, "device_token")) return error(res, 400, "malformed device token");
        return reply(res, 200, token());
    case Method::exchangeDebug: {
        auto it = body.find("debug_token");
        if (it == body.end() || !it->is_string() || it->get<std::string>().empty()) {
            return error(res, 400, "malformed debug token");
        }
        std::lock_guard lock(mutex_);
        if (!allowedDebugTokens_.empty() && allowedDebugTokens_.count(it->get<std::string>()) == 0) {
            error(res, 403, "debug token not allowed");
            return;
        }
        break;
    }
    default:
        break;
    }
    return reply(res, 200, token());
}

}  // namespace brisko::testing
