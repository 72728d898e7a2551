// The project and reCAPTCHA configuration records.
#include "auth/backend/GetProjectConfigRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

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
            auto parsed = nlohmann::json::parse(domains->get_ref<const std::string&>(), nullptr, false);
            if (!parsed.is_discarded()) r.authorizedDomains = textList(parsed);
        } else {
            r.authorizedDomains = textList(*domains);
        }
    }
    return r;
}

GetProjectConfigRequest::GetProjectConfigRequest(std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("getProjectConfig", std::move(configuration)) {}

GetRecaptchaConfigResponse GetRecaptchaConfigResponse::initFromJSON(const nlohmann::json& object) {
    GetRecaptchaConfigResponse r;
    r.recaptchaKey = readText(object, "recaptchaKey");
    if (const auto* states = readObjectArray(object, "recaptchaEnforcementState")) {
        std::vector<std::map<std::string, std::string>> out;
        bool allText = true;
        for (const auto& entry : *states) {
            std::map<std::string, std::string> m;
            for (const auto& [k, v] : entry.items()) {
                if (!v.is_string()) {
                    allText = false;
                    break;
                }
                m.emplace(k, v.get<std::string>());
            }
            if (!allText) break;
            out.push_back(std::move(m));
        }
        if (allText) r.enforcementState = std::move(out);
    }
    return r;
}

GetRecaptchaConfigRequest::GetRecaptchaConfigRequest(std::shared_ptr<AuthRequestConfiguration> configuration)
    : IdentityToolkitRequest("recaptchaConfig", std::move(configuration), true) {}

std::string GetRecaptchaConfigRequest::queryParameters() const {
    std::string q = "&clientType=" + percentEncodeQueryValue(clientType) + "&version=RECAPTCHA_ENTERPRISE";
    if (tenantID) q += "&tenantId=" + percentEncodeQueryValue(*tenantID);
    return q;
}

}  // namespace brisko::auth
