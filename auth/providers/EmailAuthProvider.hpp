// The e-mail provider: its identifier and the factories of its credentials.
#pragma once

#include <memory>
#include <string>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/EmailAuthCredential.hpp"

namespace brisko::auth {

class EmailAuthProvider {
  public:
    static constexpr std::string_view id = kEmailProviderID;

    static std::shared_ptr<EmailAuthCredential> credential(std::string email, std::string password) {
        return std::make_shared<EmailAuthCredential>(std::move(email),
                                                     EmailAuthCredential::Password{std::move(password)});
    }
    static std::shared_ptr<EmailAuthCredential> credentialWithLink(std::string email, std::string link) {
        return std::make_shared<EmailAuthCredential>(std::move(email), EmailAuthCredential::Link{std::move(link)});
    }
};

}  // namespace brisko::auth
