// The GitHub provider: its identifier and the factory of its credential.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "auth/providers/AuthProviderID.hpp"
#include "auth/providers/GitHubAuthCredential.hpp"

namespace brisko::auth {

// Used only through its class-level members.
class GitHubAuthProvider {
  public:
    static constexpr std::string_view id = kGitHubProviderID;

    GitHubAuthProvider() = delete;

    // A credential from the GitHub access token.
    static std::shared_ptr<GitHubAuthCredential> credential(std::string token) {
        return std::make_shared<GitHubAuthCredential>(std::move(token));
    }
};

}  // namespace brisko::auth
