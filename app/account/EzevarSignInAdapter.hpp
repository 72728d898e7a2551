// The process-wide Ezevar sign-in object, as the app uses it.
#pragma once

#include "app/account/EzevarSignInClient.hpp"

namespace brisko::app {

class EzevarSignInAdapter : public EzevarSignInClient {
  public:
    bool hasConfiguration() override;
    void setConfiguration(std::string clientID) override;
    platform::Task<Tokens> signIn(std::uint64_t presentingWindow) override;
    bool handleURL(std::string_view url) override;
    void signOut() override;
};

}  // namespace brisko::app
