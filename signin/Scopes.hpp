// The basic-profile scopes every sign-in asks for.
#pragma once

#include <string>
#include <vector>

namespace brisko::signin {

class Scopes {
public:
    // The list with "email" and "profile" added when neither their short nor their long form is in it;
    // the caller's scopes keep their order in front.
    static std::vector<std::string> scopesWithBasicProfile(const std::vector<std::string>& scopes);
    // "https://<user-info host>/auth/userinfo.email" and ".profile".
    static std::string emailLongForm();
    static std::string profileLongForm();
};

}  // namespace brisko::signin
