// Benchmark of the identity backend's typed call against libcurl and nlohmann used directly: 1,000
// password sign-ins (request body, post, reply decoded into its record), 50 in flight, against the local
// identity service. Both sides open one connection per call, as the backend's fetchers (a session each)
// do, and run at most 10 of them at once against the host, as its fetcher service does. Each side runs in a fresh child
// process so that its peak memory is its own.
#include <curl/curl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/Figures.hpp"
#include "auth/backend/AuthBackend.hpp"
#include "bench/SelfRun.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;
using brisko::bench::peakKilobytes;

constexpr int kCalls = 1000;
constexpr int kInFlight = 50;
constexpr int kRounds = 9;
constexpr double kGoal = 1.3;
constexpr long kPerHostLimit = 10;  // the fetcher service's default: at most 10 fetchers run per host
const std::string kEmail = "bench@brisko.test";
const std::string kPassword = "bench-password";
const std::string kAppID = "1:123:ios:bench";

// ---- The backend side ----

double callsThroughBackend(const std::string& hostAndPort, const std::string& apiKey) {
    auto configuration = auth::AuthRequestConfiguration::make(apiKey, kAppID);
    configuration->setEmulatorHostAndPort(hostAndPort);
    auto backend = std::make_shared<auth::AuthBackend>();
    std::atomic<int> started{0}, done{0}, failed{0};
    // Each worker runs calls one after another; kInFlight workers keep that many in flight.
    auto worker = [&]() -> platform::Task<void> {
        while (started.fetch_add(1) < kCalls) {
            try {
                auto r =
                    co_await backend->callVerifyPassword(auth::VerifyPasswordRequest(kEmail, kPassword, configuration));
                if (!r.idToken || !r.refreshToken || !r.approximateExpirationDate) ++failed;
            } catch (const platform::ErrorException& e) {
                if (failed++ == 0) std::fprintf(stderr, "backend call failed: %s\n", e.error().description().c_str());
            }
            ++done;
        }
    };
    auto start = SteadyClock::now();
    for (int i = 0; i < kInFlight; ++i) {
        asio::co_spawn(platform::DispatchQueue::main()->executor(), worker(), asio::detached);
    }
    platform::MainLoop::runUntil([&] { return done.load() >= kCalls; }, std::chrono::seconds(120));
    double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    if (failed) std::fprintf(stderr, "%d backend calls failed\n", failed.load());
    return ms;
}

// ---- The reference: libcurl posting the same bodies, nlohmann reading the same replies ----

struct Reply {
    std::optional<std::string> idToken, refreshToken, expiresIn;
};

struct Transfer {
    CURL* easy = nullptr;
    std::string body;
    curl_slist* headers = nullptr;
};

// Where and as whom both libcurl sides post.
struct Target {
    Target(const std::string& hostAndPort, const std::string& apiKey)
        : url("http://" + hostAndPort + "/www.ezevarapis.com/identitytoolkit/v3/relyingparty/verifyPassword?key=" +
              apiKey),
          userAgent(auth::AuthBackend::userAgent()),
          clientVersion("X-Client-Version: iOS/ZudiridiSDK/" + core::coreLibraryVersion() + "/ZudiridiCore-iOS") {}
    std::string url, userAgent, clientVersion;
};

// Starts one sign-in on `multi` with the backend's headers and body; `t` owns the handle and its reply.
void beginTransfer(Transfer& t, const Target& target, CURLM* multi) {
    nlohmann::ordered_json body = {
        {"email", kEmail}, {"password", kPassword}, {"returnSecureToken", true}, {"clientType", "CLIENT_TYPE_IOS"}};
    auto collect = +[](char* p, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(p, size * count);
        return size * count;
    };
    t.body.clear();
    t.easy = curl_easy_init();
    t.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    t.headers = curl_slist_append(t.headers, target.clientVersion.c_str());
    t.headers = curl_slist_append(t.headers, "X-Ios-Bundle-Identifier: com.brisko.desktop");
    t.headers = curl_slist_append(t.headers, ("X-Zudiridi-EMPID: " + kAppID).c_str());
    t.headers = curl_slist_append(t.headers, "Accept-Language: en");
    curl_easy_setopt(t.easy, CURLOPT_URL, target.url.c_str());
    curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
    curl_easy_setopt(t.easy, CURLOPT_USERAGENT, target.userAgent.c_str());
    curl_easy_setopt(t.easy, CURLOPT_COPYPOSTFIELDS, body.dump().c_str());
    curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t.body);
    curl_easy_setopt(t.easy, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(t.easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(t.easy, CURLOPT_TIMEOUT, 60L);
    // The fetcher offers gzip and deflate, so the service compresses its replies: same here.
    curl_easy_setopt(t.easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(t.easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(t.easy, CURLOPT_FORBID_REUSE, 1L);
    curl_multi_add_handle(multi, t.easy);
}

double callsThroughCurl(const std::string& hostAndPort, const std::string& apiKey) {
    const Target target(hostAndPort, apiKey);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHostLimit);
    int started = 0, done = 0, failed = 0, running = 0;
    std::vector<Transfer> slots(kInFlight);
    auto begin = [&](Transfer& t) {
        beginTransfer(t, target, multi);
        ++started;
    };
    auto start = SteadyClock::now();
    for (auto& t : slots) begin(t);
    do {
        curl_multi_perform(multi, &running);
        int queued = 0;
        bool added = false;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            Transfer* t = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
            long status = 0;
            curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
            Reply reply;
            auto json = nlohmann::json::parse(t->body, nullptr, false);
            if (json.is_object()) {
                auto text = [&](const char* key) -> std::optional<std::string> {
                    auto it = json.find(key);
                    if (it == json.end() || !it->is_string()) return std::nullopt;
                    return it->get<std::string>();
                };
                reply = {text("idToken"), text("refreshToken"), text("expiresIn")};
            }
            if (msg->data.result != CURLE_OK || status != 200 || !reply.idToken || !reply.refreshToken) ++failed;
            curl_multi_remove_handle(multi, t->easy);
            curl_easy_cleanup(t->easy);
            curl_slist_free_all(t->headers);
            ++done;
            if (started < kCalls) {
                begin(*t);
                added = true;
            }
        }
        // New transfers start at the next perform; wait only when nothing was added.
        if (done < kCalls && !added) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    } while (done < kCalls);
    double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    if (failed) std::fprintf(stderr, "%d curl calls failed\n", failed);
    curl_multi_cleanup(multi);
    return ms;
}

// ---- The design's minimal version without our code: the same libcurl calls on a network thread of their
// own; each reply is handed to a serial work queue that decodes it, and from there to the main loop, which
// asks for the next call, as the backend's fetcher hands its replies to the identity client's queue and
// the caller awaits them on the main loop. Its time against the one-thread reference is what those
// hand-offs cost on this machine.

double callsWithHandOffs(const std::string& hostAndPort, const std::string& apiKey) {
    const Target target(hostAndPort, apiKey);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHostLimit);
    auto workQueue = platform::DispatchQueue::make("com.brisko.bench.work");
    std::mutex mutex;
    int requested = kInFlight;  // asked for by the main loop, not yet begun by the network thread
    bool stopping = false;
    int started = kInFlight, done = 0, failed = 0;  // the main loop's
    // On the main loop: one reply decoded; the next call is asked for.
    auto finished = [&](bool ok) {
        if (!ok) ++failed;
        ++done;
        if (started < kCalls) {
            ++started;
            std::lock_guard lock(mutex);
            ++requested;
        }
        curl_multi_wakeup(multi);
    };
    const auto start = SteadyClock::now();
    std::thread network([&] {
        for (;;) {
            int toBegin = 0;
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                toBegin = std::exchange(requested, 0);
            }
            for (int i = 0; i < toBegin; ++i) beginTransfer(*new Transfer, target, multi);
            int running = 0;
            curl_multi_perform(multi, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* call = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &call);
                long status = 0;
                curl_easy_getinfo(call->easy, CURLINFO_RESPONSE_CODE, &status);
                const bool transferred = msg->data.result == CURLE_OK && status == 200;
                curl_multi_remove_handle(multi, call->easy);
                curl_easy_cleanup(call->easy);
                curl_slist_free_all(call->headers);
                workQueue->async([&finished, transferred, body = std::move(call->body)] {
                    auto json = nlohmann::json::parse(body, nullptr, false);
                    const bool ok = transferred && json.is_object() && json.contains("idToken") &&
                                    json.contains("refreshToken");
                    platform::DispatchQueue::main()->async([&finished, ok] { finished(ok); });
                });
                delete call;
            }
            curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
    });
    platform::MainLoop::runUntil([&] { return done >= kCalls; }, std::chrono::seconds(120));
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    curl_multi_wakeup(multi);
    network.join();
    curl_multi_cleanup(multi);
    if (failed) std::fprintf(stderr, "%d handed-off calls failed\n", failed);
    return ms;
}

int runChild(const std::string& mode, const std::string& hostAndPort, const std::string& apiKey) {
    platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
    double ms = mode == "--backend"   ? callsThroughBackend(hostAndPort, apiKey)
                : mode == "--handoff" ? callsWithHandOffs(hostAndPort, apiKey)
                                      : callsThroughCurl(hostAndPort, apiKey);
    std::printf("%f %ld\n", ms, peakKilobytes());
    std::fflush(stdout);
    // The fetchers' sessions and the shared threads need no orderly teardown at exit.
    _exit(0);
}

struct Figures {
    double ms = 0;
    long peakKB = 0;
};

Figures runSide(const char* self, std::vector<std::string> args) {
    const std::string out = bench::runSelf(self, std::move(args));
    Figures f;
    std::sscanf(out.c_str(), "%lf %ld", &f.ms, &f.peakKB);
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4) return runChild(argv[1], argv[2], argv[3]);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    brisko::testing::IdentityService service;
    service.createAccount(kEmail, kPassword);
    const std::string hostAndPort = service.emulatorHostAndPort();

    std::vector<double> curlTimes, backendTimes, handOffTimes, ratios;
    long curlPeak = 0, backendPeak = 0;
    for (int round = 0; round < kRounds; ++round) {
        auto reference = runSide(argv[0], {"--curl", hostAndPort, service.apiKey()});
        auto measured = runSide(argv[0], {"--backend", hostAndPort, service.apiKey()});
        handOffTimes.push_back(runSide(argv[0], {"--handoff", hostAndPort, service.apiKey()}).ms);
        curlTimes.push_back(reference.ms);
        backendTimes.push_back(measured.ms);
        ratios.push_back(reference.ms > 0 ? measured.ms / reference.ms : 0);
        curlPeak = std::max(curlPeak, reference.peakKB);
        backendPeak = std::max(backendPeak, measured.peakKB);
    }
    const double curlMs = median(curlTimes), backendMs = median(backendTimes);
    const double timeRatio = backendMs / curlMs;
    const double memoryRatio = static_cast<double>(backendPeak) / static_cast<double>(curlPeak);
    std::printf("%d password sign-ins, %d in flight (%ld running per host), one connection each, %d rounds (median)\n",
                kCalls, kInFlight, kPerHostLimit, kRounds);
    std::printf("  libcurl + nlohmann   %8.1f ms  %7ld KB peak\n", curlMs, curlPeak);
    std::printf("  typed backend call   %8.1f ms  %7ld KB peak\n", backendMs, backendPeak);
    std::printf("  time ratio   %.2f (rounds %.2f .. %.2f)  goal <= %.1f  %s\n", timeRatio,
                *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()), kGoal,
                timeRatio <= kGoal ? "met" : "NOT MET");
    std::printf("  memory ratio %.2f  goal <= %.1f  %s\n", memoryRatio, kGoal,
                memoryRatio <= kGoal ? "met" : "NOT MET");
    const double handOffMs = median(handOffTimes);
    std::printf("  the design's minimal version (libcurl on a network thread, replies decoded on a work queue and\n"
                "  handed to the main loop): %.1f ms, %.2f x libcurl + nlohmann; the backend against it: %.2f\n",
                handOffMs, handOffMs / curlMs, backendMs / handOffMs);
    service.stop();
    curl_global_cleanup();
    return 0;
}
