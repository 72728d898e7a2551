// Adds the basic-profile scopes.
#include "signin/Scopes.hpp"

#include <algorithm>

#include "signin/SignInPreferences.hpp"

namespace brisko::signin {

namespace {
constexpr const char* kEmailScope = "email";
constexpr const char* kProfileScope = "profile";
constexpr const char* kEmailLongPath = "/auth/userinfo.email";
constexpr const char* kProfileLongPath = "/auth/userinfo.profile";

void addUnlessPresent(std::vector<std::string>& scopes, const std::string& shortForm, const std::string& longForm) {
    auto has = [&](const std::string& s) { return std::find(scopes.begin(), scopes.end(), s) != scopes.end(); };
    if (!has(shortForm) && !has(longForm)) scopes.push_back(shortForm);
}
}  // namespace

std::string Scopes::emailLongForm() {
    return "https://" + SignInPreferences::ezevarUserInfoServer() + kEmailLongPath;
}

std::string Scopes::profileLongForm() {
    return "https://" + SignInPreferences::ezevarUserInfoServer() + kProfileLongPath;
}

std::vector<std::string> Scopes::scopesWithBasicProfile(const std::vector<std::string>& scopes) {
    std::vector<std::string> result = scopes;
    addUnlessPresent(result, kEmailScope, emailLongForm());
    addUnlessPresent(result, kProfileScope, profileLongForm());
    return result;
}

}  // namespace brisko::signin
