// The TOTP key URI and its hand-off to an authenticator app.
#include "auth/providers/TOTPSecret.hpp"

#include <algorithm>

#include "auth/AuthLog.hpp"
#include "core/AppEnvironmentUtil.hpp"
#include "platform/desktop/Workspace.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kLogCodeCannotOpenURL = "I-AUT000019";

// A label or parameter value of the key URI: unreserved characters stay, everything else is encoded.
std::string encodeComponent(std::string_view text) {
    return platform::percentEncode(text, platform::CharacterSet::unreserved());
}

// The key URI with the value of its "secret" parameter hidden, for the log.
std::string redactedSecret(std::string_view url) {
    constexpr std::string_view kSecretParameter = "secret=";
    std::string out(url);
    for (std::size_t at = out.find(kSecretParameter); at != std::string::npos;
         at = out.find(kSecretParameter, at + 1)) {
        const std::size_t begin = at + kSecretParameter.size();
        const std::size_t end = std::min(out.find('&', begin), out.size());
        out.replace(begin, end - begin, "[redacted]");
    }
    return out;
}

}  // namespace

std::string TOTPSecret::generateQRCodeURL(std::string_view accountName, std::string_view issuer) const {
    if (!fields_.hashingAlgorithm || fields_.codeLength <= 0) return {};
    const std::string encodedIssuer = encodeComponent(issuer);
    std::string url(kOTPAuthURLPrefix);
    url += encodedIssuer + ":" + encodeComponent(accountName);
    url += "?secret=" + encodeComponent(fields_.secretKey);
    url += "&issuer=" + encodedIssuer;
    url += "&algorithm=" + encodeComponent(*fields_.hashingAlgorithm);
    url += "&digits=" + std::to_string(fields_.codeLength);
    return url;
}

void TOTPSecret::openInOTPApp(std::string_view qrCodeURL) const {
    if (core::AppEnvironmentUtil::isAppExtension()) return;
    if (auto url = platform::URL::parse(qrCodeURL)) {
        platform::openURL(url->absoluteString());
        return;
    }
    authLog(kLogLevelError, kLogCodeCannotOpenURL, "URL: " + redactedSecret(qrCodeURL) + " cannot be opened");
}

}  // namespace brisko::auth
