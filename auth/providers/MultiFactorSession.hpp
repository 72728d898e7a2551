// The context a second-factor operation runs in: a signed-in user about to enrol a factor (with the
// user's ID token), or a sign-in waiting for its second factor (with the pending credential).
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace brisko::auth {

class MultiFactorInfo;
class User;

class MultiFactorSession {
  public:
    MultiFactorSession(std::optional<std::string> idToken, std::optional<std::string> mfaPendingCredential,
                       std::shared_ptr<MultiFactorInfo> multiFactorInfo, std::shared_ptr<User> currentUser)
        : idToken_(std::move(idToken)), mfaPendingCredential_(std::move(mfaPendingCredential)),
          currentUser_(std::move(currentUser)), multiFactorInfo_(std::move(multiFactorInfo)) {}

    // A session for the user (its ID token as its token service holds it, not refreshed). Without a user,
    // the default identity client's current user, read on the client's work queue (so never call it
    // there); stops the process when there is none.
    static std::shared_ptr<MultiFactorSession> session(std::shared_ptr<User> user);

    const std::optional<std::string>& idToken() const { return idToken_; }
    const std::optional<std::string>& mfaPendingCredential() const { return mfaPendingCredential_; }
    const std::shared_ptr<User>& currentUser() const { return currentUser_; }
    const std::shared_ptr<MultiFactorInfo>& multiFactorInfo() const { return multiFactorInfo_; }

  private:
    std::optional<std::string> idToken_;
    std::optional<std::string> mfaPendingCredential_;
    std::shared_ptr<User> currentUser_;
    std::shared_ptr<MultiFactorInfo> multiFactorInfo_;
};

}  // namespace brisko::auth
