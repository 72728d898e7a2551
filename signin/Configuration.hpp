// The Ezevar sign-in configuration: the OAuth client ID.
#pragma once

#include <string>

namespace brisko::signin {

class Configuration {
  public:
    explicit Configuration(std::string clientID) : clientID_(std::move(clientID)) {}
    const std::string& clientID() const { return clientID_; }

  private:
    std::string clientID_;
};

}  // namespace brisko::signin
