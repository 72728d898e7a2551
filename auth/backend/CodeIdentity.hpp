// How a phone request proves that it comes from a genuine app: an app credential, a reCAPTCHA token,
// or nothing.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace brisko::auth {

// The app credential of phone verification.
struct AuthAppCredential {
    std::string receipt;
    std::optional<std::string> secret;
    bool operator==(const AuthAppCredential&) const = default;
};

struct CodeIdentity {
    enum class Kind { credential, recaptcha, empty };

    static CodeIdentity credential(AuthAppCredential appCredential) {
        return {Kind::credential, std::move(appCredential), std::nullopt};
    }
    static CodeIdentity recaptcha(std::string token) { return {Kind::recaptcha, std::nullopt, std::move(token)}; }
    static CodeIdentity empty() { return {}; }

    Kind kind = Kind::empty;
    std::optional<AuthAppCredential> appCredential;  // with `credential`
    std::optional<std::string> recaptchaToken;       // with `recaptcha`

    bool operator==(const CodeIdentity&) const = default;

    // "iosReceipt" (and "iosSecret" when the secret is set) for a credential, "recaptchaToken" for a
    // token, nothing for `empty`.
    template <class Object> void addTo(Object& body) const {
        if (kind == Kind::credential && appCredential) {
            body["iosReceipt"] = appCredential->receipt;
            if (appCredential->secret) body["iosSecret"] = *appCredential->secret;
        } else if (kind == Kind::recaptcha && recaptchaToken) {
            body["recaptchaToken"] = *recaptchaToken;
        }
    }
};

}  // namespace brisko::auth
