// The shared secret the identity service issues for a TOTP enrolment, its key URI and hand-off to an
// authenticator app.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::auth {

inline constexpr std::string_view kOTPAuthURLPrefix = "otpauth://totp/";

class TOTPSecret {
  public:
    struct Fields {
        std::string secretKey;
        std::optional<std::string> hashingAlgorithm;
        std::int64_t codeLength = 0;
        std::int64_t codeIntervalSeconds = 0;
        std::optional<platform::Date> enrollmentCompletionDeadline;
        std::optional<std::string> sessionInfo;
        bool operator==(const Fields&) const = default;
    };

    explicit TOTPSecret(Fields fields) : fields_(std::move(fields)) {}

    const std::string& sharedSecretKey() const { return fields_.secretKey; }
    const std::optional<std::string>& hashingAlgorithm() const { return fields_.hashingAlgorithm; }
    std::int64_t codeLength() const { return fields_.codeLength; }
    std::int64_t codeIntervalSeconds() const { return fields_.codeIntervalSeconds; }
    const std::optional<platform::Date>& enrollmentCompletionDeadline() const {
        return fields_.enrollmentCompletionDeadline;
    }
    const std::optional<std::string>& sessionInfo() const { return fields_.sessionInfo; }

    // "otpauth://totp/<issuer>:<account>?secret=...&issuer=...&algorithm=...&digits=..." with the issuer
    // and account percent-encoded (a ":", "&", "?" or blank in them can't change the URI's meaning);
    // the empty text when the algorithm is missing or the code length is not positive.
    std::string generateQRCodeURL(std::string_view accountName, std::string_view issuer) const;
    // Hands the URI to the desktop's handler of otpauth links; an invalid URI is logged, not opened.
    void openInOTPApp(std::string_view qrCodeURL) const;

  private:
    Fields fields_;
};

}  // namespace brisko::auth
