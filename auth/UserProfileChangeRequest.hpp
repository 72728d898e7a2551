// A change of a user's display name and photo URL, sent to the service in one account update, once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"

namespace brisko::auth {

class User;

inline constexpr std::string_view kSetDisplayNameAfterCommitMessage =
    "Internal Auth Error: Invalid call to setDisplayName after commitChanges.";
inline constexpr std::string_view kSetPhotoURLAfterCommitMessage =
    "Internal Auth Error: Invalid call to setPhotoURL after commitChanges.";
inline constexpr std::string_view kCommitTwiceMessage =
    "Internal Auth Error: commitChanges should only be called once.";

class UserProfileChangeRequest : public std::enable_shared_from_this<UserProfileChangeRequest> {
public:
    using Callback = std::function<void(platform::OptionalError)>;

    static std::shared_ptr<UserProfileChangeRequest> make(std::shared_ptr<User> user);

    // The pending values; a write is applied in order with the commit on the identity client's work
    // queue, so a read right after a write may still see the earlier value.
    std::optional<std::string> displayName() const;
    void setDisplayName(std::optional<std::string> displayName);
    std::optional<platform::URL> photoURL() const;
    void setPhotoURL(std::optional<platform::URL> photoURL);

    // Sends the pending changes once; a second commit is refused with an error. The completion runs
    // on the main queue.
    virtual void commitChanges(Callback completion);
    virtual platform::Task<void> commitChanges();
    void commitChangesWithCompletion(Callback completion) { commitChanges(std::move(completion)); }

    virtual ~UserProfileChangeRequest() = default;

private:
    explicit UserProfileChangeRequest(std::shared_ptr<User> user) : user_(std::move(user)) {}
    struct Pending {
        std::optional<std::string> displayName;
        std::optional<platform::URL> photoURL;
        bool consumed = false;
        bool displayNameWasSet = false;
        bool photoURLWasSet = false;
    };
    // The pending values are written on the work queue and read from any thread: one lock guards them.
    mutable std::mutex mutex_;
    Pending pending_;
    const std::shared_ptr<User> user_;
};

}  // namespace brisko::auth
