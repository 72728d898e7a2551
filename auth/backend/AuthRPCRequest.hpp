// What the typed call needs of a request record (URL, JSON body, configuration, response type) and of
// a response record (construction from the reply object), and the capability of a reply to end a
// sign-in with a second-factor challenge.
#pragma once

#include <concepts>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "auth/backend/AuthRequestConfiguration.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

// A request body: a JSON object built key by key, serialised in the order the keys were added.
using JSONBody = nlohmann::ordered_json;

class AuthRPCRequest {
public:
    virtual ~AuthRPCRequest() = default;

    // The request's address for a snapshot of its configuration (one per call, so that the URL, the
    // headers and the fetcher's settings agree).
    virtual platform::URL buildURL(const AuthRequestConfiguration::Snapshot& settings) const = 0;
    // The address with the configuration's current settings.
    platform::URL buildURL() const { return buildURL(requestConfiguration()->snapshot()); }
    // The body, built afresh on each call; nothing makes the request a GET. A record that a caller
    // left without what it must carry throws platform::ErrorException (nothing is sent).
    virtual std::optional<JSONBody> jsonBody() const = 0;
    virtual const std::shared_ptr<AuthRequestConfiguration>& requestConfiguration() const = 0;
};

// A reply that may ask for a second factor: a pending credential and the enrolled factors in place of
// an ID token.
class AuthMFAResponse {
public:
    virtual ~AuthMFAResponse() = default;
    virtual const std::optional<std::string>& mfaPendingCredentialValue() const = 0;
    virtual const std::optional<std::vector<AuthProtoMFAEnrollment>>& mfaInfoValue() const = 0;
    virtual const std::optional<std::string>& idTokenValue() const = 0;
};

// A response record: built from the reply's top-level object; throws platform::ErrorException (the
// unexpected-response error) when the reply does not fit.
template <class R>
concept AuthRPCResponse = requires(const nlohmann::json& object) {
    { R::initFromJSON(object) } -> std::same_as<R>;
};

// A request record with its response type.
template <class Request>
concept AuthRPCRequestRecord =
    std::derived_from<Request, AuthRPCRequest> && AuthRPCResponse<typename Request::Response>;

}  // namespace brisko::auth
