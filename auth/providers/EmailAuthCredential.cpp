// The e-mail credential and its archive.
#include "auth/providers/EmailAuthCredential.hpp"

#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

EmailAuthCredential::EmailAuthCredential(std::string email, EmailType emailType)
    : AuthCredential(std::string(kEmailProviderID)), email_(std::move(email)), emailType_(std::move(emailType)) {}

const std::string* EmailAuthCredential::password() const {
    const auto* p = std::get_if<Password>(&emailType_);
    return p ? &p->text : nullptr;
}

const std::string* EmailAuthCredential::link() const {
    const auto* l = std::get_if<Link>(&emailType_);
    return l ? &l->text : nullptr;
}

void EmailAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(email_), kEmailKey);
    if (const auto* p = password()) {
        coder.encodeObject(platform::Value(*p), kPasswordKey);
    } else {
        coder.encodeObject(platform::Value(*link()), kLinkKey);
    }
}

std::shared_ptr<EmailAuthCredential> EmailAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto email = coding::decodeText(coder, kEmailKey);
    if (!email) return nullptr;
    if (auto password = coding::decodeText(coder, kPasswordKey)) {
        return std::make_shared<EmailAuthCredential>(std::move(*email), Password{std::move(*password)});
    }
    if (auto link = coding::decodeText(coder, kLinkKey)) {
        return std::make_shared<EmailAuthCredential>(std::move(*email), Link{std::move(*link)});
    }
    return nullptr;
}

}  // namespace brisko::auth
