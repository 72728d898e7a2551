// The identity client's slot in an app's component container: the protocol it provides, and the
// registrant class and library names under which the identity library registers it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/Component.hpp"
#include "platform/base/Error.hpp"

namespace brisko::core {

// The identity library registers a LibraryClass of this name (LibraryClassRegistry); the app core
// records it in the user agent as "zudi-auth" and creates its component eagerly for every app.
inline constexpr std::string_view kAuthComponentClassName = "ZIRAuthComponent";
inline constexpr std::string_view kAuthLibraryName = "zudi-auth";
inline constexpr std::string_view kAuthInteropProtocolName = "ZIRAuthInterop";

// What other libraries may ask of the identity client found in the container.
class AuthInterop : public virtual ComponentInstance {
  public:
    using TokenCallback =
        std::function<void(std::optional<std::string> token, std::optional<platform::Error> error)>;

    // The current user's ID token, renewed first when forced or close to expiry.
    virtual void getTokenForcingRefresh(bool forceRefresh, TokenCallback callback) = 0;
    // The signed-in user's ID, or nothing when signed out.
    virtual std::optional<std::string> getUserID() = 0;

    static const Protocol& protocol() {
        static const Protocol kProtocol = Protocol::of<AuthInterop>(std::string(kAuthInteropProtocolName));
        return kProtocol;
    }
};

}  // namespace brisko::core
