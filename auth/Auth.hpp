// The identity client of the default app: the signed-in user, state listeners, sign-in and sign-out.
// This build has no identity service yet: nobody is ever signed in and sign-in reports that it is not
// available.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "auth/AuthCredential.hpp"
#include "auth/AuthDataResult.hpp"
#include "auth/User.hpp"
#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

inline constexpr std::string_view kAuthErrorDomain = "ZIRAuthErrorDomain";
// The public code of an operation the identity client does not offer.
inline constexpr std::int64_t kAuthErrorCodeOperationNotAllowed = 17006;

class Auth : public std::enable_shared_from_this<Auth> {
  public:
    using StateDidChangeListener = std::function<void(std::shared_ptr<Auth>, std::shared_ptr<User>)>;
    using ListenerHandle = std::uint64_t;

    // The identity client of the default app; stops the process when no default app is configured.
    static std::shared_ptr<Auth> auth();

    std::shared_ptr<User> currentUser() const;
    std::optional<std::string> tenantID() const { return std::nullopt; }

    // Calls the listener on the main queue soon with the current user, then on each change of user.
    ListenerHandle addStateDidChangeListener(StateDidChangeListener listener);
    void removeStateDidChangeListener(ListenerHandle handle);

    platform::Task<AuthDataResult> signIn(AuthCredential credential);
    // Throws platform::ErrorException when the stored user cannot be removed.
    void signOut();

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<User> currentUser_;
    std::vector<std::pair<ListenerHandle, StateDidChangeListener>> listeners_;
    ListenerHandle nextHandle_ = 1;
};

}  // namespace brisko::auth
