// The identity-client tests' fixture and process environment.
#include "tests/auth/AuthTestSupport.hpp"

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::auth::test {
namespace {

// The process's XDG folders, in a temporary folder that goes with the process: it is an object with
// static lifetime, so it is removed when the run ends, also after failed checks.
struct Environment {
    std::filesystem::path root;
    Environment() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brisko-auth-tests-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root = tmpl;
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
        platform::Keychain::setDefaultKeychain(std::make_shared<platform::InMemoryKeychain>());
    }
    ~Environment() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;
};
const Environment kEnvironment;

std::string nextAppName() {
    static std::atomic<int> counter{0};
    return "auth-test-" + std::to_string(++counter);
}
}  // namespace

ScriptedKeychainStorage::ScriptedKeychainStorage(std::shared_ptr<platform::InMemoryKeychain> k)
    : keychain(std::move(k)) {}
platform::OSStatus ScriptedKeychainStorage::get(const platform::KeychainQuery& q,
                                                std::vector<platform::KeychainItem>& r) {
    return keychain->copyMatching(q, r);
}
platform::OSStatus ScriptedKeychainStorage::add(const platform::KeychainItem& item) {
    return keychain->add(item);
}
platform::OSStatus ScriptedKeychainStorage::update(const platform::KeychainQuery& q,
                                                   const platform::KeychainItemChanges& c) {
    return keychain->update(q, c);
}
platform::OSStatus ScriptedKeychainStorage::deleteItem(const platform::KeychainQuery& q) {
    return keychain->deleteItems(q);
}

bool waitOnMain(const std::function<bool()>& done) {
    return platform::MainLoop::runUntil(done, std::chrono::seconds(20));
}

AuthFixture::AuthFixture(Settings settings) : dispatcher(std::move(settings.dispatcher)) {
    if (settings.makeClock) {
        clock = std::make_shared<platform::ManualClock>();
        scopedClock.emplace(clock);
        auto c = clock;
        service.setClock(
            [c] { return std::chrono::duration_cast<std::chrono::seconds>(c->now().time_since_epoch()).count(); });
    }
    keychain = settings.keychain ? settings.keychain : std::make_shared<platform::InMemoryKeychain>();
    storage = std::make_shared<ScriptedKeychainStorage>(keychain);
    appName = settings.appName.empty() ? nextAppName() : settings.appName;
    app = core::App::appNamed(appName);
    if (!app) {
        auto options = core::Options::initWithEzevarAppID(std::string(kTestEzevarAppID), "123456789012");
        options->setAPIKey(service.apiKey());
        options->setProjectID("brisko-local");
        core::App::configureWithName(appName, options);
        app = core::App::appNamed(appName);
    }
    auth = relaunch();
}

AuthFixture::~AuthFixture() {
    settle();
}

std::shared_ptr<Auth> AuthFixture::relaunch() {
    auto client = Auth::make(app, storage, std::make_shared<AuthBackend>(), dispatcher);
    client->useEmulator("127.0.0.1", service.port());
    return client;
}

std::string AuthFixture::ezevarIDToken(const std::string& subject, const std::string& email) const {
    const auto now = service.now();
    return testing::IdentityService::unsignedJWT({{"iss", "https://accounts.ezevar.com"},
                                                  {"sub", subject},
                                                  {"email", email},
                                                  {"iat", now},
                                                  {"exp", now + 3600}});
}

std::shared_ptr<AuthDataResult> AuthFixture::signInWithEzevar(const std::string& subject, const std::string& email) {
    auto credential = EzevarAuthProvider::credential(ezevarIDToken(subject, email), "ezevar-access-token");
    return run(auth->signIn(credential));
}

void AuthFixture::advance(std::chrono::seconds seconds) {
    clock->advance(seconds);
}

void AuthFixture::settle() {
    Auth::authGlobalWorkQueue()->sync([] {});
    platform::MainLoop::drain();
}

}  // namespace brisko::auth::test
