// The upload's error values.
#include "app/recording/ActivityTrackingError.hpp"

#include <string>

namespace brisko::app {

namespace {
constexpr const char* kHTTPErrorPrefix = "送信エラー: HTTP ";
constexpr const char* kInvalidURLMessage = "送信先URLが不正です";
}  // namespace

platform::Error ActivityTrackingError::httpError(int status) {
    return platform::Error(
        std::string(kDomain), static_cast<std::int64_t>(Code::httpError),
        {{std::string(platform::kLocalizedDescriptionKey), kHTTPErrorPrefix + std::to_string(status)},
         {std::string(kStatusCodeKey), status}});
}

platform::Error ActivityTrackingError::invalidURL() {
    return platform::Error(std::string(kDomain), static_cast<std::int64_t>(Code::invalidURL),
                           {{std::string(platform::kLocalizedDescriptionKey), kInvalidURLMessage}});
}

std::optional<int> ActivityTrackingError::httpStatus(const platform::Error& error) {
    if (error.domain() != kDomain || error.code() != static_cast<std::int64_t>(Code::httpError))
        return std::nullopt;
    auto* v = error.userInfoValue(kStatusCodeKey);
    if (!v || !v->integer()) return std::nullopt;
    return static_cast<int>(*v->integer());
}

}  // namespace brisko::app
