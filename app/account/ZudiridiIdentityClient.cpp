// The identity client of the default app behind the app's identity interface.
#include "app/account/ZudiridiIdentityClient.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <cstdlib>
#include <mutex>

#include "app/account/AuthError.hpp"
#include "auth/Auth.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "core/App.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URL.hpp"

namespace brisko::app {

namespace {
constexpr const char* kEmulatorLog = "[Companion] identity service emulator: %@";
constexpr const char* kEmulatorRefusedLog =
    "[Companion] %@=\"%@\" is not a host:port address such as 127.0.0.1:9099: it is ignored and the identity "
    "service is used";

// Points a new identity client at a local identity service when the development setting names one.
void applyDevelopmentSettings(const std::shared_ptr<auth::Auth>& client) {
    static std::mutex mutex;
    static std::weak_ptr<auth::Auth> configured;
    std::lock_guard lock(mutex);
    if (configured.lock() == client) return;
    configured = client;
    const char* value = std::getenv(std::string(kIdentityEmulatorHostEnvironmentVariable).c_str());
    if (value && *value) applyIdentityEmulatorSetting(*client, value);
}

bool isHostName(std::string_view host) {
    return !host.empty() &&
           host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
               std::string_view::npos;
}

// The identity client exists only once the app core has a default app.
std::shared_ptr<auth::Auth> reachableAuth() {
    if (!core::App::isDefaultAppConfigured()) return nullptr;
    auto client = auth::Auth::auth();
    if (client) applyDevelopmentSettings(client);
    return client;
}

class ZudiridiUser : public IdentityUser {
public:
    explicit ZudiridiUser(std::shared_ptr<auth::User> user) : user_(std::move(user)) {}

    std::string uid() const override { return user_->uid(); }
    std::optional<std::string> email() const override { return user_->email(); }
    void getIDTokenWithCompletion(TokenCompletion completion) override {
        user_->getIDTokenWithCompletion(std::move(completion));
    }
    platform::Task<std::string> getIDToken(bool forcingRefresh) override {
        auto user = user_;
        co_return co_await user->getIDToken(forcingRefresh);
    }
    void getIDTokenResultForcingRefresh(bool forcingRefresh, TokenCompletion completion) override {
        user_->getIDTokenResultForcingRefresh(
            forcingRefresh, [completion = std::move(completion)](std::optional<auth::AuthTokenResult> result,
                                                                 platform::OptionalError error) {
                completion(result ? std::optional<std::string>(result->token) : std::nullopt, std::move(error));
            });
    }

private:
    std::shared_ptr<auth::User> user_;
};
}  // namespace

std::optional<IdentityEmulatorAddress> parseIdentityEmulatorHost(std::string_view text) {
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view digits = text.substr(colon + 1);
    std::int64_t port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || port < 1 || port > 65535)
        return std::nullopt;
    std::string urlHost(host);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        in6_addr v6{};
        if (inet_pton(AF_INET6, std::string(host).c_str(), &v6) != 1) return std::nullopt;
    } else if (!isHostName(host)) {
        return std::nullopt;
    }
    // The identity requests are built on this address: it must make a URL naming exactly this server.
    const auto url = platform::URL::parse("http://" + urlHost + ":" + std::string(digits) + "/");
    if (!url || url->effectivePort() != port) return std::nullopt;
    return IdentityEmulatorAddress{std::string(host), port};
}

void applyIdentityEmulatorSetting(auth::Auth& client, std::string_view text) {
    const auto address = parseIdentityEmulatorHost(text);
    if (!address || !client.useEmulator(address->host, address->port)) {
        platform::logLine(platform::format(kEmulatorRefusedLog, {std::string(kIdentityEmulatorHostEnvironmentVariable),
                                                                 platform::sanitizeUTF8(text)}));
        return;
    }
    platform::logLine(platform::format(kEmulatorLog, {std::string(text)}));
}

std::shared_ptr<IdentityUser> ZudiridiIdentityClient::wrap(const std::shared_ptr<auth::User>& user) {
    if (!user) return nullptr;
    std::lock_guard lock(mutex_);
    if (user != wrappedUser_) {
        wrappedUser_ = user;
        wrapper_ = std::make_shared<ZudiridiUser>(user);
    }
    return wrapper_;
}

std::shared_ptr<IdentityUser> ZudiridiIdentityClient::currentUser() {
    auto auth = reachableAuth();
    return auth ? wrap(auth->currentUser()) : nullptr;
}

IdentityClient::ListenerHandle ZudiridiIdentityClient::addStateDidChangeListener(StateListener listener) {
    auto auth = reachableAuth();
    if (!auth) return 0;
    std::weak_ptr<ZudiridiIdentityClient> weak = weak_from_this();
    return auth->addStateDidChangeListener(
        [weak, listener = std::move(listener)](std::shared_ptr<auth::Auth>, std::shared_ptr<auth::User> user) {
            auto self = weak.lock();
            if (self) listener(self->wrap(user));
        });
}

platform::Task<void> ZudiridiIdentityClient::signIn(std::string idToken, std::string accessToken) {
    auto auth = reachableAuth();
    // Without the options file there is no identity client to sign in to.
    if (!auth) throw platform::ErrorException(AuthError::missingClientID());
    co_await auth->signIn(auth::EzevarAuthProvider::credential(std::move(idToken), std::move(accessToken)));
    co_return;
}

void ZudiridiIdentityClient::signOut() {
    if (auto auth = reachableAuth()) auth->signOut();
}

}  // namespace brisko::app
