// Sets the core tests' environment up before any test runs.
#include "tests/core/CoreTestEnvironment.hpp"

#include <stdlib.h>

#include <stdexcept>

#include "core/UtilitiesLogger.hpp"
#include "platform/storage/Bundle.hpp"
#include "platform/storage/InMemoryKeychain.hpp"
#include "platform/storage/Keychain.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/UserDefaults.hpp"

namespace brisko::core::testing {
namespace {

struct Environment {
    std::filesystem::path root;
    platform::LogCapture capture{false};

    Environment() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brisko-core-tests-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        root = tmpl;
        std::filesystem::create_directories(root / "data");
        std::filesystem::create_directories(root / "config");
        ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        ::setenv("XDG_CACHE_HOME", (root / "cache").c_str(), 1);
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
        platform::Keychain::setDefaultKeychain(std::make_shared<platform::InMemoryKeychain>());
        platform::Bundle::setMain(std::make_shared<platform::Bundle>(fixturesDirectory() / "bundle"));
    }
    ~Environment() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
};

Environment& environment() {
    static Environment e;
    return e;
}

// Made before main, so every test sees it.
[[maybe_unused]] const bool kReady = (environment(), true);

}  // namespace

std::filesystem::path fixturesDirectory() {
    return BRISKO_CORE_FIXTURES;
}

std::filesystem::path dataHome() {
    return environment().root / "data";
}

bool waitOnMain(const std::function<bool()>& done) {
    return platform::MainLoop::runUntil(done, std::chrono::seconds(10));
}

std::vector<std::string> loggedLines() {
    UtilitiesLogger::waitUntilWritten();
    return environment().capture.messages();
}

bool logged(std::string_view text) {
    for (const auto& line : loggedLines()) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

void clearLoggedLines() {
    UtilitiesLogger::waitUntilWritten();
    environment().capture.clear();
}

}  // namespace brisko::core::testing
