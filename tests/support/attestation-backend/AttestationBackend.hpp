// A local attestation backend for tests: the challenge and the four exchange methods on 127.0.0.1 over
// plain HTTP, checking the challenges it issued, recording every request, with faults per method.
//
// Usage:
//   AttestationBackend backend;                          // resource "projects/test-project/apps/test-app"
//   provider with baseURL backend.baseURL() and resource backend.resourceName()
//   backend.fail(AttestationBackend::Method::exchangeAttestation, AttestationBackend::Fault::forbidden);
//   CHECK(backend.requestsTo(AttestationBackend::Method::generateChallenge).size() == 1);
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/HttpTestServer.hpp"

namespace brisko::testing {

class AttestationBackend {
public:
    enum class Method { generateChallenge, exchangeAttestation, exchangeAssertion, exchangeDeviceCheck, exchangeDebug };
    enum class Fault {
        none,
        forbidden,          // 403
        badRequest,         // 400
        notFound,           // 404
        unavailable,        // 503
        droppedConnection,  // the connection closes before the announced body
        missingFields,      // a 200 whose JSON object lacks the method's fields
        invalidBase64,      // a 200 whose Base64 fields are not Base64
        notJSON,            // a 200 whose body is no JSON
        emptyBody,          // a 200 without a body
    };

    explicit AttestationBackend(std::string resourceName = "projects/test-project/apps/test-app");

    // "http://127.0.0.1:PORT/v1": the base URL the services take.
    std::string baseURL() const;
    const std::string& resourceName() const { return resourceName_; }
    std::string path(Method method) const;

    // The next `times` requests of the method get the fault (negative: every request from now on).
    void fail(Method method, Fault fault, int times = -1);
    // Delays every answer of the method.
    void delay(Method method, std::chrono::milliseconds delay);
    // The ttl text of issued tokens ("3600s" unless set).
    void setTTL(std::string ttl);
    // Debug tokens the backend accepts; empty (the default) accepts any non-empty one.
    void allowDebugTokens(std::set<std::string> tokens);

    std::vector<RecordedRequest> requestsTo(Method method) const;
    std::size_t requestCount() const { return server_.requestCount(); }
    // Tokens issued so far, in order.
    std::vector<std::string> issuedTokens() const;
    // Requests refused because their challenge was not one the backend issued (or was used before).
    std::size_t rejectedChallenges() const;

    HttpTestServer& server() { return server_; }

private:
    void answer(Method method, const httplib::Request& req, httplib::Response& res);
    std::optional<Fault> takeFault(Method method);
    std::string newToken(Method method);
    bool consumeChallenge(const std::string& base64);

    HttpTestServer server_;
    std::string resourceName_;
    mutable std::mutex mutex_;
    std::map<Method, std::pair<Fault, int>> faults_;
    std::map<Method, std::chrono::milliseconds> delays_;
    std::string ttl_ = "3600s";
    std::set<std::string> allowedDebugTokens_;
    std::set<std::string> challenges_;
    std::set<std::string> artifacts_;
    std::vector<std::string> issued_;
    std::size_t rejectedChallenges_ = 0;
};

}  // namespace brisko::testing
