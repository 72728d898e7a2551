// The identity client against the local identity service: 1,000 concurrent ID-token requests on an
// expired token (one refresh request; time from the first request to the last completion, against the
// same 1,000 requests served from cache and one refresh alone), and the start-up restore of a stored
// user in the app's configuration (the options file, a keychain file): its time and heap.
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "auth/Auth.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "auth/providers/EzevarAuthProvider.hpp"
#include "core/App.hpp"
#include "core/Options.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/FileKeychain.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kCallers = 1000;
constexpr int kRestores = 50;

double ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Starts `callers` token requests at once and waits for every completion on the main loop.
double concurrentTokens(const std::shared_ptr<auth::User>& user, int callers, bool forcing) {
    int done = 0;
    const auto start = Clock::now();
    for (int i = 0; i < callers; ++i) {
        user->getIDTokenForcingRefresh(forcing,
                                       [&done](std::optional<std::string>, platform::OptionalError) { ++done; });
    }
    platform::MainLoop::runUntil([&] { return done == callers; }, std::chrono::seconds(60));
    return ms(Clock::now() - start);
}

std::size_t heapInUse() {
    return mallinfo2().uordblks;
}
}  // namespace

int main() {
    char tmpl[] = "/tmp/brisko-auth-bench-XXXXXX";
    const std::filesystem::path home = ::mkdtemp(tmpl);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("BRISKO_KEYCHAIN", "memory", 1);

    auto options =
        core::Options::initWithContentsOfFile(std::string(BRISKO_SOURCE_DIR "/resources/EzevarService-Info.plist"));
    testing::IdentityService::Options serviceOptions;
    serviceOptions.apiKey = options->APIKey().value_or("");
    testing::IdentityService service(serviceOptions);
    core::App::configureWithOptions(options);
    auto app = core::App::defaultApp();
    auto keychain = std::make_shared<platform::FileKeychain>(home / "data" / "keychain-items.plist");
    auto storage = std::make_shared<auth::AuthKeychainStorageReal>(keychain);

    auto client = auth::Auth::make(app, storage, std::make_shared<auth::AuthBackend>(), {});
    client->useEmulator("127.0.0.1", service.port());
    const auto now = service.now();
    const auto idToken = testing::IdentityService::unsignedJWT({{"iss", "https://accounts.ezevar.com"},
                                                                {"sub", "bench"},
                                                                {"email", "bench@example.com"},
                                                                {"iat", now},
                                                                {"exp", now + 3600}});
    auto user =
        platform::runOnMainLoop(client->signIn(auth::EzevarAuthProvider::credential(idToken, "access")))->user();

    // Warm the connection, then: one refresh alone, 1,000 callers from cache, 1,000 callers on an expired token.
    concurrentTokens(user, 1, true);
    const double single = concurrentTokens(user, 1, true);
    const double cached = concurrentTokens(user, kCallers, false);
    auto clock = std::make_shared<platform::ManualClock>(platform::now() + std::chrono::seconds(3500));
    service.clearRequests();
    double expired = 0;
    {
        // The service keeps the same time, so a new token is not judged near its end.
        service.setClock([clock] {
            return std::chrono::duration_cast<std::chrono::seconds>(clock->now().time_since_epoch()).count();
        });
        platform::ScopedClock scoped(clock);
        expired = concurrentTokens(user, kCallers, false);
    }
    const auto refreshes = service.requestsTo("token").size();
    std::printf("token: one refresh alone %.2f ms\n", single);
    std::printf("token: %d callers from cache %.2f ms\n", kCallers, cached);
    std::printf("token: %d callers on an expired token %.2f ms, %zu refresh request(s)\n", kCallers, expired,
                refreshes);
    std::printf("token: expired/cached %.2f, expired/(cached + one refresh) %.2f\n", expired / cached,
                expired / (cached + single));

    // The start-up restore of the stored user, as at each launch.
    std::vector<double> times;
    std::vector<double> heap;
    for (int i = 0; i < kRestores; ++i) {
        const auto before = heapInUse();
        const auto start = Clock::now();
        auto restored = auth::Auth::make(app, storage, std::make_shared<auth::AuthBackend>(), {});
        auto current = restored->currentUser();
        const auto elapsed = ms(Clock::now() - start);
        if (!current) {
            std::printf("restore: no user restored\n");
            return 1;
        }
        heap.push_back(static_cast<double>(heapInUse() - before) / 1024.0);
        times.push_back(elapsed);
    }
    std::sort(times.begin(), times.end());
    std::sort(heap.begin(), heap.end());
    std::printf(
        "restore: median %.3f ms, p90 %.3f ms over %d launches; heap held by a restored client %.1f KiB (median)\n",
        times[times.size() / 2], times[times.size() * 9 / 10], kRestores, heap[heap.size() / 2]);

    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return refreshes == 1 ? 0 : 1;
}
