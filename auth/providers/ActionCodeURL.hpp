// An e-mail action link taken apart: API key, operation, out-of-band code, continue URL and language.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "auth/providers/ActionCodeOperation.hpp"
#include "auth/providers/AuthWebUtils.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

inline constexpr std::string_view kActionCodeAPIKeyKey = "apiKey";
inline constexpr std::string_view kActionCodeModeKey = "mode";
inline constexpr std::string_view kActionCodeOOBCodeKey = "oobCode";
inline constexpr std::string_view kActionCodeContinueURLKey = "continueUrl";
inline constexpr std::string_view kActionCodeLanguageKey = "lang";

class ActionCodeURL {
public:
    // The link's parts; nothing when its query (or, failing that, the link carried whole in its query)
    // holds no parameter.
    static std::shared_ptr<ActionCodeURL> actionCodeURLWithLink(std::string_view link);

    // The query of a link as pairs: split at "&" and after each piece's key at its first run of "="
    // ("mode==signIn" gives "signIn"; "oobCode=ab==" keeps "ab=="), then decoded once; pieces with an
    // empty key or value, or that do not decode, are skipped.
    static AuthWebUtils::Query parseQuery(std::string_view link);

    const std::optional<std::string>& apiKey() const { return apiKey_; }
    ActionCodeOperation operation() const { return operation_; }
    const std::optional<std::string>& code() const { return code_; }
    // The link's "continueUrl" as it came, whatever its scheme ("javascript:", "file:" and the like
    // included): a caller that opens it checks the scheme first.
    const std::optional<platform::URL>& continueURL() const { return continueURL_; }
    const std::optional<std::string>& languageCode() const { return languageCode_; }

private:
    std::optional<std::string> apiKey_;
    ActionCodeOperation operation_ = ActionCodeOperation::unknown;
    std::optional<std::string> code_;
    std::optional<platform::URL> continueURL_;
    std::optional<std::string> languageCode_;
};

}  // namespace brisko::auth
