// Verifying the app.
#include "auth/backend/VerifyClientRequest.hpp"

#include <cstdlib>

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

VerifyClientResponse VerifyClientResponse::initFromJSON(const nlohmann::json& object) {
    VerifyClientResponse r;
    r.receipt = readText(object, "receipt");
    // Unlike "expiresIn", the timeout text must be a decimal number as a whole.
    if (auto timeout = readText(object, "suggestedTimeout"); timeout && isWholeDecimalNumber(*timeout)) {
        r.suggestedTimeOutDate = dateAfterSeconds(std::strtod(timeout->c_str(), nullptr));
    }
    return r;
}

VerifyClientRequest::VerifyClientRequest(std::optional<std::string> token, bool sandbox,
                                         std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("verifyClient", std::move(configuration)), appToken(std::move(token)), isSandbox(sandbox) {
}

std::optional<JSONBody> VerifyClientRequest::jsonBody() const {
    JSONBody body = JSONBody::object();
    if (appToken) body["appToken"] = *appToken;
    if (isSandbox) body["isSandbox"] = true;
    return body;
}

}  // namespace brisko::auth
