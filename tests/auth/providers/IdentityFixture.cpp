// The identity fixture: a private process environment (in-memory keychain and user defaults, temporary
// XDG folders), one app per fixture, and an identity client pointed at the local service.
#include "tests/auth/providers/IdentityFixture.hpp"

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "auth/AuthKeychainStorage.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::auth::test {

namespace {

struct Environment {
    std::filesystem::path root;
    Environment() {
        std::string folder = (std::filesystem::temp_directory_path() / "brisko-providers-tests-XXXXXX").string();
        if (!::mkdtemp(folder.data())) throw std::runtime_error("mkdtemp failed");
        root = folder;
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
        platform::Keychain::setDefaultKeychain(std::make_shared<platform::InMemoryKeychain>());
    }
    ~Environment() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

void prepareEnvironment() { static Environment environment; }

std::string nextAppName() {
    static std::atomic<int> counter{0};
    return "providers-test-" + std::to_string(++counter);
}

}  // namespace

IdentityFixture::IdentityFixture(std::optional<std::string> clientID) {
    prepareEnvironment();
    const auto name = nextAppName();
    auto options = core::Options::initWithEzevarAppID(std::string(kFixtureEzevarAppID), "123456789012");
    options->setAPIKey(service.apiKey());
    options->setProjectID("brisko-local");
    options->setClientID(std::move(clientID));
    core::App::configureWithName(name, options);
    app = core::App::appNamed(name);
    auto storage = std::make_shared<AuthKeychainStorageReal>(std::make_shared<platform::InMemoryKeychain>());
    auth = Auth::make(app, storage, std::make_shared<AuthBackend>(), AuthDispatcher{});
    auth->useEmulator("127.0.0.1", service.port());
}

IdentityFixture::~IdentityFixture() { settle(); }

std::string IdentityFixture::createVerifiedAccount(const std::string& email, const std::string& password) {
    auto uid = service.createAccount(email, password);
    service.updateAccount(uid, [](testing::IdentityService::Account& account) { account.emailVerified = true; });
    return uid;
}

void IdentityFixture::settle() {
    Auth::authGlobalWorkQueue()->sync([] {});
    platform::MainLoop::drain();
}

}  // namespace brisko::auth::test
