// The reCAPTCHA configuration call.
#include "auth/backend/GetRecaptchaConfigRequest.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

using namespace detail;

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
