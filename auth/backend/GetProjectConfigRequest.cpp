// The project configuration call.
#include "auth/backend/GetProjectConfigRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"
#include "platform/base/JSON.hpp"

namespace brisko::auth {

using namespace detail;

namespace {
std::optional<std::vector<std::string>> textList(const nlohmann::json& value) {
    if (!value.is_array()) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& e : value) {
        if (!e.is_string()) return std::nullopt;
        out.push_back(e.get<std::string>());
    }
    return out;
}
}  // namespace

GetProjectConfigResponse GetProjectConfigResponse::initFromJSON(const nlohmann::json& object) {
    GetProjectConfigResponse r;
    r.projectID = readText(object, "projectId");
    if (const auto* domains = member(object, "authorizedDomains")) {
        if (domains->is_string()) {
            // A text holding a JSON array of texts; anything else leaves the list unset.
            auto parsed = platform::readJSON(domains->get_ref<const std::string&>(), platform::kMaxReplyJSONDepth);
            if (parsed) r.authorizedDomains = textList(*parsed);
        } else {
            r.authorizedDomains = textList(*domains);
        }
    }
    return r;
}

GetProjectConfigRequest::GetProjectConfigRequest(std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("getProjectConfig", std::move(configuration)) {}

}  // namespace brisko::auth
