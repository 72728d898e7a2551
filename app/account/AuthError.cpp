// The account service's error values.
#include "app/account/AuthError.hpp"

#include <string>

namespace brisko::app {

namespace {
constexpr const char* kHTTPErrorPrefix = "HTTPエラー: ";
constexpr const char* kMissingClientIDMessage = "ZudiridiのClient IDが見つかりません";
constexpr const char* kNoIdTokenMessage = "認証トークンの取得に失敗しました";
constexpr const char* kNotAuthenticatedMessage = "ログインが必要です";

platform::Error make(AuthError::Code code, std::string message, platform::Dictionary extra = {}) {
    extra.insert_or_assign(std::string(platform::kLocalizedDescriptionKey), std::move(message));
    return platform::Error(std::string(AuthError::kDomain), static_cast<std::int64_t>(code),
                           std::move(extra));
}
}  // namespace

platform::Error AuthError::httpError(int status) {
    return make(Code::httpError, kHTTPErrorPrefix + std::to_string(status),
                {{std::string(kStatusCodeKey), status}});
}
platform::Error AuthError::missingClientID() {
    return make(Code::missingClientID, kMissingClientIDMessage);
}
platform::Error AuthError::noIdToken() {
    return make(Code::noIdToken, kNoIdTokenMessage);
}
platform::Error AuthError::notAuthenticated() {
    return make(Code::notAuthenticated, kNotAuthenticatedMessage);
}

bool AuthError::is(const platform::Error& error, Code code) {
    return error.domain() == kDomain && error.code() == static_cast<std::int64_t>(code);
}

}  // namespace brisko::app
