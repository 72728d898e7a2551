// Sign-in, sign-out, token and profile loops on several threads at once against one identity client:
// every operation ends, and under ThreadSanitizer no data race is reported.
#include <doctest/doctest.h>

#include <atomic>
#include <future>
#include <thread>

#include "auth/Auth.hpp"
#include "auth/UserProfileChangeRequest.hpp"
#include "tests/auth/AuthTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;

namespace {
constexpr int kRounds = 25;
constexpr auto kOperationTimeout = std::chrono::seconds(20);

// Waits (on a worker thread) for a completion that the main loop delivers.
template <class F> bool waitFor(F start) {
    auto promise = std::make_shared<std::promise<void>>();
    auto future = promise->get_future();
    start([promise] { promise->set_value(); });
    return future.wait_for(kOperationTimeout) == std::future_status::ready;
}
}  // namespace

TEST_CASE("sign-in, sign-out, token and profile loops on several threads leave a consistent client") {
    AuthFixture f(AuthFixture::Settings{.makeClock = false});
    f.service.createAccount("stress@example.com", "secret1");
    auto auth = f.auth;
    std::atomic<int> finished{0};
    std::atomic<int> stalled{0};
    std::vector<std::thread> threads;

    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (!waitFor([&](auto done) {
                    auth->signIn(std::string("stress@example.com"), std::string("secret1"),
                                 [done](auto, auto) { done(); });
                }))
                ++stalled;
        }
        ++finished;
    });
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            try {
                auth->signOut();
            } catch (const platform::ErrorException&) {
            }
            std::this_thread::yield();
        }
        ++finished;
    });
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                auto user = auth->currentUser();
                if (!user) continue;
                const bool force = (i + t) % 3 == 0;
                if (!waitFor([&](auto done) { user->getIDTokenForcingRefresh(force, [done](auto, auto) { done(); }); }))
                    ++stalled;
                (void)user->uid();
                (void)user->email();
            }
            ++finished;
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < kRounds; ++i) {
            auto user = auth->currentUser();
            if (!user) continue;
            auto change = user->createProfileChangeRequest();
            change->setDisplayName("Name " + std::to_string(i));
            (void)change->displayName();
            if (!waitFor([&](auto done) { change->commitChanges([done](auto) { done(); }); })) ++stalled;
            (void)user->displayName();
        }
        ++finished;
    });

    const int workers = static_cast<int>(threads.size());
    CHECK(waitOnMain([&] { return finished == workers; }));
    for (auto& t : threads) t.join();
    f.settle();
    CHECK(stalled == 0);
    // The stored user is the current one (or none), whatever order the loops ended in.
    auto relaunched = f.relaunch();
    const auto current = auth->currentUser();
    const auto stored = relaunched->currentUser();
    CHECK((current == nullptr) == (stored == nullptr));
    if (current && stored) CHECK(stored->uid() == current->uid());
}
