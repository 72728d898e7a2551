// TLS server trust: the certificate check in each handshake, pins, and the delegate's say on it.
#include <arpa/inet.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

bool isIPAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Per-connection data for the certificate check: lives with the connection's SSL_CTX.
struct HandshakeContext {
    std::weak_ptr<TaskCore> task;
    std::string host;
    bool isIP = false;
    std::set<Data> pins;
};

void freeHandshakeContext(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<HandshakeContext*>(ptr);
}

int handshakeIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, &freeHandshakeContext);
    return index;
}

Data derOf(X509* cert) {
    int len = i2d_X509(cert, nullptr);
    if (len <= 0) return {};
    Data out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert, &p);
    return out;
}

// Checks the chain and the host name against the session's CA store; a certificate the delegate
// accepted earlier (pinned by its fingerprint) passes too.
int verifyCertificate(X509_STORE_CTX* store, void* arg) {
    auto* hc = static_cast<HandshakeContext*>(arg);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (hc->isIP) {
        X509_VERIFY_PARAM_set1_ip_asc(param, hc->host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, hc->host.c_str(), 0);
    }
    const bool trusted = X509_verify_cert(store) == 1;
    std::string reason;
    if (!trusted) reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    std::vector<Data> chain;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) chain.push_back(derOf(leaf));
    if (STACK_OF(X509)* peer = X509_STORE_CTX_get0_untrusted(store)) {
        for (int i = 0; i < sk_X509_num(peer); ++i) {
            X509* c = sk_X509_value(peer, i);
            if (c != leaf && X509_cmp(c, leaf) != 0) chain.push_back(derOf(c));
        }
    }
    auto trust = std::make_shared<const ServerTrust>(hc->host, std::move(chain), trusted, reason);
    bool accept = trusted;
    if (!accept && hc->pins.contains(trust->leafFingerprint())) {
        accept = true;
        X509_STORE_CTX_set_error(store, X509_V_OK);
    }
    if (auto task = hc->task.lock()) task->onServerTrust(trust, accept && !trusted);
    return accept ? 1 : 0;
}

}  // namespace

CURLcode TaskCore::sslContextCallback(CURL*, void* sslContext, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* hc = new HandshakeContext;
    hc->task = self->weak_from_this();
    hc->host = self->current_.url()->host().value_or("");
    hc->isIP = isIPAddress(hc->host);
    if (const auto* pins = self->core_->pins(self->current_.url()->origin())) hc->pins = *pins;
    SSL_CTX_set_ex_data(ctx, handshakeIndex(), hc);
    SSL_CTX_set_cert_verify_callback(ctx, &verifyCertificate, hc);
    return CURLE_OK;
}

void TaskCore::onServerTrust(std::shared_ptr<const ServerTrust> trust, bool acceptedByPin) {
    if (completed_ || acceptedByPin) return;
    if (!trust->evaluate()) {
        untrustedTrust_ = std::move(trust);
        return;
    }
    if (!delegate_) return;
    // A trusted server: the delegate may still refuse it. Later events wait for its answer.
    gated_ = true;
    issueChallenge(std::move(trust), false);
}

void TaskCore::issueChallenge(std::shared_ptr<const ServerTrust> trust, bool untrusted) {
    const URL& url = *current_.url();
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = url.host().value_or("");
    challenge.protectionSpace.port = url.effectivePort().value_or(443);
    challenge.protectionSpace.protocol = url.scheme();
    challenge.protectionSpace.authenticationMethod = std::string(kURLAuthenticationMethodServerTrust);
    challenge.protectionSpace.serverTrust = std::move(trust);
    challenge.previousFailureCount = trustChallenges_;
    ++trustChallenges_;
    askChallenge(std::move(challenge), true,
                 [untrusted](TaskCore& self, URLSessionAuthChallengeDisposition disposition,
                             std::optional<URLCredential> credential) {
                     self.onChallengeAnswer(untrusted, disposition, std::move(credential));
                 });
}

void TaskCore::onChallengeAnswer(bool untrustedPath, URLSessionAuthChallengeDisposition disposition,
                                 std::optional<URLCredential> credential) {
    if (completed_) return;
    if (untrustedPath) {
        auto trust = pendingChallengeTrust_;
        pendingChallengeTrust_.reset();
        const bool accepted = disposition == URLSessionAuthChallengeDisposition::useCredential && credential &&
                              credential->serverTrust && trust;
        if (accepted) {
            // Pin the certificate the delegate accepted and send the request again (nothing was sent).
            core_->addPin(current_.url()->origin(), trust->leafFingerprint());
            startHop();
            return;
        }
        std::optional<Error> reason;
        if (trust) trust->evaluate(&reason);
        complete(reason ? *reason : makeURLError(URLErrorCode::serverCertificateUntrusted, current_.url()));
        return;
    }
    if (disposition == URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge) {
        stopTransfer();
        held_.clear();
        gated_ = false;
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    }
    openGate();
}

}  // namespace brisko::platform::detail
