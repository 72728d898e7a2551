// The e-mail provider's credential: an address with a password or with a sign-in link.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class EmailAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIREmailPasswordAuthCredential";
    static constexpr std::string_view kEmailKey = "email";
    static constexpr std::string_view kPasswordKey = "password";
    static constexpr std::string_view kLinkKey = "link";

    struct Password {
        std::string text;
        bool operator==(const Password&) const = default;
    };
    struct Link {
        std::string text;
        bool operator==(const Link&) const = default;
    };
    using EmailType = std::variant<Password, Link>;

    EmailAuthCredential(std::string email, EmailType emailType);

    const std::string& email() const { return email_; }
    const EmailType& emailType() const { return emailType_; }
    // The password or the link, whichever this credential holds; nullptr for the other.
    const std::string* password() const;
    const std::string* link() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "email" holds a text and "password" (preferred) or "link" does.
    static std::shared_ptr<EmailAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const std::string email_;
    const EmailType emailType_;
};

}  // namespace brisko::auth
