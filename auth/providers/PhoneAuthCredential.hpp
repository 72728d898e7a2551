// The phone provider's credential: a phone number with a temporary proof, or a verification ID with the
// code the user received.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "auth/providers/AuthCredential.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

class PhoneAuthCredential final : public AuthCredential {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRPhoneAuthCredential";
    static constexpr std::string_view kPhoneNumberKey = "phoneNumber";
    static constexpr std::string_view kTemporaryProofKey = "temporaryProof";
    static constexpr std::string_view kVerificationIDKey = "verificationID";
    static constexpr std::string_view kVerificationCodeKey = "verificationCode";

    struct PhoneNumber {
        std::string phoneNumber;
        std::string temporaryProof;
        bool operator==(const PhoneNumber&) const = default;
    };
    struct Verification {
        std::string verificationID;
        std::string verificationCode;
        bool operator==(const Verification&) const = default;
    };
    using CredentialKind = std::variant<PhoneNumber, Verification>;

    explicit PhoneAuthCredential(CredentialKind kind);

    const CredentialKind& credentialKind() const { return kind_; }
    // The verification ID and code, when the credential is of that kind.
    const Verification* verification() const { return std::get_if<Verification>(&kind_); }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // The verification kind when "verificationID" and "verificationCode" both hold texts, else the
    // phone-number kind when "temporaryProof" and "phoneNumber" do, else nothing.
    static std::shared_ptr<PhoneAuthCredential> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    const CredentialKind kind_;
};

}  // namespace brisko::auth
