// The names of the HTTP header fields the fetcher reads or writes itself.
#pragma once

#include <string_view>

namespace brisko::fetcher::internal {

inline constexpr std::string_view kUserAgentField = "User-Agent";
inline constexpr std::string_view kAuthorizationField = "Authorization";
inline constexpr std::string_view kCookieField = "Cookie";
inline constexpr std::string_view kSetCookieField = "Set-Cookie";
inline constexpr std::string_view kContentTypeField = "Content-Type";
inline constexpr std::string_view kContentLengthField = "Content-Length";
inline constexpr std::string_view kRetryAfterField = "Retry-After";
inline constexpr std::string_view kMethodOverrideField = "X-HTTP-Method-Override";

}  // namespace brisko::fetcher::internal
