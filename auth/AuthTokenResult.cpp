// ID-token decoding: the payload's base64url, its claims, and the result's archive.
#include "auth/AuthTokenResult.hpp"

#include <nlohmann/json.hpp>

#include "auth/backend/AuthErrorUtils.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/JSON.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::auth {

namespace {
[[noreturn]] void malformed(std::string_view token, platform::OptionalError underlying = std::nullopt) {
    throw platform::ErrorException(AuthErrorUtils::malformedJWTError(std::string(token), std::move(underlying)));
}

platform::Date requiredDate(const nlohmann::json& payload, const char* key, std::string_view token) {
    auto it = payload.find(key);
    if (it == payload.end() || !it->is_number()) malformed(token);
    return platform::dateFromTimeIntervalSince1970(it->get<double>());
}
}  // namespace

AuthTokenResult::AuthTokenResult(std::string tokenText, const JWT& jwt, platform::Dictionary claimsDictionary)
    : token(std::move(tokenText)), expirationDate(jwt.exp), authDate(jwt.authTime), issuedAtDate(jwt.iat),
      signInProvider(jwt.zudiridi.signInProvider), signInSecondFactor(jwt.zudiridi.signInSecondFactor.value_or("")),
      claims(std::move(claimsDictionary)) {}

platform::Data AuthTokenResult::payloadData(std::string_view token) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const auto dot = token.find('.', start);
        pieces.push_back(token.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (pieces.size() != 3) malformed(token);

    std::string payload(pieces[1]);
    for (auto& c : payload) {
        if (c == '_') c = '/';
    }
    for (auto& c : payload) {
        if (c == '-') c = '+';
    }
    if (payload.size() % 4 != 0) payload.append(4 - payload.size() % 4, '=');
    if (payload.empty()) return {};
    auto bytes = platform::crypto::base64Decode(payload, /*ignoreUnknownCharacters=*/true);
    if (!bytes) malformed(token);
    return *bytes;
}

JWT AuthTokenResult::getJWT(std::string_view token, const platform::Data& payloadBytes) {
    const auto parsed = platform::readJSON(payloadBytes, platform::kMaxReplyJSONDepth);
    if (!parsed || !parsed->is_object()) malformed(token);
    const auto& payload = *parsed;
    JWT jwt;
    jwt.exp = requiredDate(payload, "exp", token);
    jwt.authTime = requiredDate(payload, "auth_time", token);
    jwt.iat = requiredDate(payload, "iat", token);
    auto zudiridi = payload.find("zudiridi");
    if (zudiridi == payload.end() || !zudiridi->is_object()) malformed(token);
    auto provider = zudiridi->find("sign_in_provider");
    if (provider == zudiridi->end() || !provider->is_string()) malformed(token);
    jwt.zudiridi.signInProvider = provider->get<std::string>();
    if (auto second = zudiridi->find("sign_in_second_factor"); second != zudiridi->end() && !second->is_null()) {
        if (!second->is_string()) malformed(token);
        jwt.zudiridi.signInSecondFactor = second->get<std::string>();
    }
    return jwt;
}

AuthTokenResult AuthTokenResult::tokenResult(const std::string& token) {
    const auto bytes = payloadData(token);
    platform::Dictionary claims;
    try {
        const auto parsed = platform::parseJSON(bytes, platform::kMaxReplyJSONDepth);
        if (parsed.is_object()) {
            auto value = platform::Value::fromJSON(parsed);
            if (auto* dictionary = value.dictionary()) claims = std::move(*dictionary);
        }
    } catch (const nlohmann::json::exception& e) {
        malformed(token, platform::Error(std::string(platform::kCocoaErrorDomain), 3840,
                                         {{std::string(platform::kLocalizedDescriptionKey), std::string(e.what())}}));
    }
    return AuthTokenResult(token, getJWT(token, bytes), std::move(claims));
}

void AuthTokenResult::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(token), kTokenKey);
}

std::shared_ptr<AuthTokenResult> AuthTokenResult::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto token = coder.decodeObjectOfClass<std::string>(kTokenKey);
    if (!token) return nullptr;
    try {
        return std::make_shared<AuthTokenResult>(tokenResult(*token));
    } catch (const platform::ErrorException&) {
        return nullptr;
    }
}

}  // namespace brisko::auth
