// Server trust: a certificate chain with the verdict of its check.
#include "platform/net/URLAuthenticationChallenge.hpp"

#include <openssl/evp.h>

#include "platform/net/URLError.hpp"

namespace brisko::platform {

ServerTrust::ServerTrust(std::string host, std::vector<Data> chain, bool trusted, std::string failureReason)
    : host_(std::move(host)),
      chain_(std::move(chain)),
      trusted_(trusted),
      failureReason_(std::move(failureReason)) {}

bool ServerTrust::evaluate(std::optional<Error>* error) const {
    if (trusted_) return true;
    if (error) {
        *error = makeURLError(URLErrorCode::serverCertificateUntrusted, std::nullopt,
                              failureReason_.empty() ? host_ : host_ + ": " + failureReason_);
    }
    return false;
}

Data ServerTrust::leafFingerprint() const {
    if (chain_.empty()) return {};
    Data out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(chain_.front().data(), chain_.front().size(), out.data(), &length, EVP_sha256(),
                   nullptr) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

}  // namespace brisko::platform
