// The base of every provider credential: the provider's identifier and how it fills a verify-assertion
// request.
#pragma once

#include <string>
#include <string_view>

namespace brisko::auth {

class VerifyAssertionRequest;

inline constexpr std::string_view kMustOverrideMessage = "This method must be overridden by a subclass.";
inline constexpr std::string_view kNotMeantToBeInitializedMessage = "This class is not meant to be initialized.";

// Credentials are immutable after construction and may be shared between threads. The identity client
// tells the kinds apart by class (dynamic_cast): e-mail and Game Center credentials go to endpoints of
// their own, every other kind fills a verify-assertion request through prepare().
class AuthCredential {
  public:
    virtual ~AuthCredential() = default;
    AuthCredential(const AuthCredential&) = delete;
    AuthCredential& operator=(const AuthCredential&) = delete;

    const std::string& provider() const { return provider_; }

    // Writes the credential's material into the request, each value unchanged (an absent value stays
    // absent). The base stops the process: a kind that reaches a verify-assertion request overrides it.
    virtual void prepare(VerifyAssertionRequest& request) const;

  protected:
    explicit AuthCredential(std::string provider) : provider_(std::move(provider)) {}

  private:
    const std::string provider_;
};

}  // namespace brisko::auth
