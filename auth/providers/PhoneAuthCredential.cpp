// The phone credential and its archive.
#include "auth/providers/PhoneAuthCredential.hpp"

#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

PhoneAuthCredential::PhoneAuthCredential(CredentialKind kind)
    : AuthCredential(std::string(kPhoneProviderID)), kind_(std::move(kind)) {}

void PhoneAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    if (const auto* v = verification()) {
        coder.encodeObject(platform::Value(v->verificationID), kVerificationIDKey);
        coder.encodeObject(platform::Value(v->verificationCode), kVerificationCodeKey);
    } else {
        const auto& p = std::get<PhoneNumber>(kind_);
        coder.encodeObject(platform::Value(p.phoneNumber), kPhoneNumberKey);
        coder.encodeObject(platform::Value(p.temporaryProof), kTemporaryProofKey);
    }
}

std::shared_ptr<PhoneAuthCredential> PhoneAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto verificationID = coding::decodeText(coder, kVerificationIDKey);
    auto verificationCode = coding::decodeText(coder, kVerificationCodeKey);
    if (verificationID && verificationCode) {
        return std::make_shared<PhoneAuthCredential>(
            Verification{std::move(*verificationID), std::move(*verificationCode)});
    }
    auto temporaryProof = coding::decodeText(coder, kTemporaryProofKey);
    auto phoneNumber = coding::decodeText(coder, kPhoneNumberKey);
    if (temporaryProof && phoneNumber) {
        return std::make_shared<PhoneAuthCredential>(PhoneNumber{std::move(*phoneNumber), std::move(*temporaryProof)});
    }
    return nullptr;
}

}  // namespace brisko::auth
