// The identity client as the backend protocol sees it, through the weak reference of each request
// configuration: its tenant, and the resolver object of a second-factor challenge.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "platform/base/Value.hpp"

namespace brisko::auth {

class AuthBackendClient {
public:
    virtual ~AuthBackendClient() = default;

    // The tenant the identity client signs users into; read when a request record is made.
    virtual std::optional<std::string> tenantID() const = 0;

    // The resolver of a second-factor challenge, wrapped as an object value, made of the pending
    // credential, the hints (the reply's phone and TOTP enrollments, each with an enrollment ID, in
    // reply order; an entry with both a phone and a TOTP part is a phone factor) and this client, with
    // a session holding only the pending credential.
    virtual platform::Value multiFactorResolver(const std::string& pendingCredential,
                                                const std::vector<AuthProtoMFAEnrollment>& hints) = 0;
};

}  // namespace brisko::auth
