// Benchmark of the identity backend's typed call against libcurl and nlohmann used directly: 1,000
// password sign-ins (request body, post, reply decoded into its record), 50 in flight, against the local
// identity service. Every side opens one connection per call, as the backend's fetchers (a session each)
// do, and runs at most 10 of them at once against the host, as its fetcher service does. Two more sides
// tell where the time goes: the design's minimal version built from libcurl, nlohmann and Asio alone, and
// the platform's URL session alone with the same hand-offs.
//
// Each side runs in a fresh child process (its peak memory is its own) and settles with untimed calls
// before its timed ones. The service runs in this parent process, apart from every side, and is made
// afresh for each side so that each meets the same service state; its CPU time is reported beside the
// sides' own. The sides take turns in a rotating order, and each ratio is the median of the per-round
// ratios, which pairs runs made close together on a machine whose load drifts.
#include <curl/curl.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>
#include <nlohmann/json.hpp>

#include "auth/backend/AuthBackend.hpp"
#include "bench/Figures.hpp"
#include "bench/SelfRun.hpp"
#include "core/ZudiridiUserAgent.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;
using brisko::bench::peakKilobytes;

constexpr int kCalls = 1000;
constexpr int kSettleCalls = 200;  // untimed, right before the timed calls: first-use costs, warm caches
constexpr int kInFlight = 50;
constexpr int kDefaultRounds = 21;
constexpr double kGoal = 1.3;
constexpr long kPerHostLimit = 10;  // the fetcher service's default: at most 10 fetchers run per host
const std::string kEmail = "bench@brisko.test";
const std::string kPassword = "bench-password";
const std::string kAppID = "1:123:ios:bench";

double cpuMilliseconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// ---- The backend side ----

struct BackendSide {
    BackendSide(const std::string& hostAndPort, const std::string& apiKey)
        : configuration(auth::AuthRequestConfiguration::make(apiKey, kAppID)),
          backend(std::make_shared<auth::AuthBackend>()) {
        configuration->setEmulatorHostAndPort(hostAndPort);
    }

    // Runs `calls` sign-ins, kInFlight at a time; returns how many failed.
    int run(int calls) {
        std::atomic<int> started{0}, done{0}, failed{0};
        // Each worker runs calls one after another; kInFlight workers keep that many in flight.
        auto worker = [&]() -> platform::Task<void> {
            while (started.fetch_add(1) < calls) {
                try {
                    auto r = co_await backend->callVerifyPassword(
                        auth::VerifyPasswordRequest(kEmail, kPassword, configuration));
                    if (!r.idToken || !r.refreshToken || !r.approximateExpirationDate) ++failed;
                } catch (const platform::ErrorException& e) {
                    if (failed++ == 0)
                        std::fprintf(stderr, "backend call failed: %s\n", e.error().description().c_str());
                }
                ++done;
            }
        };
        for (int i = 0; i < kInFlight; ++i) {
            asio::co_spawn(platform::DispatchQueue::main()->executor(), worker(), asio::detached);
        }
        if (!platform::MainLoop::runUntil([&] { return done.load() >= calls; }, std::chrono::seconds(120)))
            return calls;
        return failed.load();
    }

    std::shared_ptr<auth::AuthRequestConfiguration> configuration;
    std::shared_ptr<auth::AuthBackend> backend;
};

// ---- The reference: libcurl posting the same bodies, nlohmann reading the same replies ----

struct Transfer {
    CURL* easy = nullptr;
    std::string body;
    curl_slist* headers = nullptr;
};

// Where and as whom both libcurl sides post.
struct Target {
    Target(const std::string& hostAndPort, const std::string& apiKey)
        : url("http://" + hostAndPort +
              "/www.ezevarapis.com/identitytoolkit/v3/relyingparty/verifyPassword?key=" + apiKey),
          userAgent(auth::AuthBackend::userAgent()),
          clientVersion("iOS/ZudiridiSDK/" + core::coreLibraryVersion() + "/ZudiridiCore-iOS"),
          clientVersionHeader("X-Client-Version: " + clientVersion) {}
    std::string url, userAgent, clientVersion, clientVersionHeader;
};

// The sign-in body, in the backend's order.
nlohmann::ordered_json signInBody() {
    return {{"email", kEmail}, {"password", kPassword}, {"returnSecureToken", true}, {"clientType", "CLIENT_TYPE_IOS"}};
}

// Starts one sign-in on `multi` with the backend's headers and body; `t` owns the handle and its reply.
void beginTransfer(Transfer& t, const Target& target, CURLM* multi) {
    const auto body = signInBody();
    auto collect = +[](char* p, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(p, size * count);
        return size * count;
    };
    t.body.clear();
    t.easy = curl_easy_init();
    t.headers = curl_slist_append(nullptr, "Content-Type: application/json");
    t.headers = curl_slist_append(t.headers, target.clientVersionHeader.c_str());
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

// A multi handle that runs at most kPerHostLimit transfers against one host, as the fetcher service does.
CURLM* limitedMulti() {
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHostLimit);
    return multi;
}

// Ends a finished transfer; true when it came back with status 200.
bool endTransfer(Transfer& t, CURLM* multi, CURLcode result) {
    long status = 0;
    curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi, t.easy);
    curl_easy_cleanup(t.easy);
    curl_slist_free_all(t.headers);
    return result == CURLE_OK && status == 200;
}

// The reply decoded as the backend decodes it: an object whose tokens are text.
bool decodedReply(const std::string& body) {
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) return false;
    auto text = [&](const char* key) -> std::optional<std::string> {
        auto it = json.find(key);
        if (it == json.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    return text("idToken") && text("refreshToken") && text("expiresIn");
}

struct CurlSide {
    CurlSide(const std::string& hostAndPort, const std::string& apiKey)
        : target(hostAndPort, apiKey), multi(limitedMulti()) {}

    int run(int calls) {
        int started = 0, done = 0, failed = 0, running = 0;
        std::vector<Transfer> slots(static_cast<std::size_t>(std::min(kInFlight, calls)));
        for (auto& t : slots) {
            beginTransfer(t, target, multi);
            ++started;
        }
        do {
            curl_multi_perform(multi, &running);
            int queued = 0;
            bool added = false;
            while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* t = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
                const bool transferred = endTransfer(*t, multi, msg->data.result);
                if (!transferred || !decodedReply(t->body)) ++failed;
                ++done;
                if (started < calls) {
                    beginTransfer(*t, target, multi);
                    ++started;
                    added = true;
                }
            }
            // New transfers start at the next perform; wait only when nothing was added.
            if (done < calls && !added) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        } while (done < calls);
        return failed;
    }

    const Target target;
    CURLM* multi;
};

// ---- The design's minimal version, without our code: the same libcurl calls on a network thread of
// their own; each reply is handed to a serial work queue (an Asio strand on a pool as large as ours) that
// decodes it, and from there to the main loop (an Asio io_context run by the main thread), which asks
// for the next call, as the backend's fetcher hands its replies to the identity client's queue and the
// caller awaits them on the main loop. Its time against the one-thread reference is what those hand-offs
// cost on this machine.

class HandOffSide {
public:
    HandOffSide(const std::string& hostAndPort, const std::string& apiKey)
        : target_(hostAndPort, apiKey), multi_(limitedMulti()),
          pool_(std::max(4u, std::thread::hardware_concurrency())), work_(asio::make_strand(pool_)),
          network_([this] { runNetwork(); }) {}
    ~HandOffSide() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        network_.join();
        pool_.join();
    }

    int run(int calls) {
        calls_ = calls;
        done_ = failed_ = 0;
        started_ = std::min(kInFlight, calls);
        ask(started_);
        main_.restart();
        auto guard = asio::make_work_guard(main_);
        while (done_ < calls_ && main_.run_one_for(std::chrono::seconds(120)) > 0) {
        }
        return done_ < calls_ ? calls_ : failed_;
    }

private:
    void ask(int count) {
        {
            std::lock_guard lock(mutex_);
            requested_ += count;
        }
        curl_multi_wakeup(multi_);
    }

    // On the main loop: one reply decoded; the next call is asked for.
    void finished(bool ok) {
        if (!ok) ++failed_;
        ++done_;
        if (started_ < calls_) {
            ++started_;
            ask(1);
        }
    }

    void runNetwork() {
        for (;;) {
            int toBegin = 0;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
                toBegin = std::exchange(requested_, 0);
            }
            for (int i = 0; i < toBegin; ++i) beginTransfer(*new Transfer, target_, multi_);
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* call = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &call);
                const bool transferred = endTransfer(*call, multi_, msg->data.result);
                asio::post(work_, [this, transferred, body = std::move(call->body)] {
                    const bool ok = transferred && decodedReply(body);
                    asio::post(main_, [this, ok] { finished(ok); });
                });
                delete call;
            }
            curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
        }
    }

    const Target target_;
    CURLM* multi_;
    asio::io_context main_;
    asio::thread_pool pool_;
    asio::strand<asio::thread_pool::executor_type> work_;
    std::mutex mutex_;
    int requested_ = 0;  // asked for by the main loop, not yet begun by the network thread
    bool stopping_ = false;
    int calls_ = 0, started_ = 0, done_ = 0, failed_ = 0;  // the main loop's
    std::thread network_;
};

// ---- The platform's URL session alone, for telling its cost from the fetcher's and the typed call's: a
// session per call, as the backend's fetchers make, its events on the network queue as theirs are, at most
// kPerHostLimit running against the host; each reply is decoded on a work queue and handed to the main
// loop as in the minimal version.

class SessionSide {
public:
    SessionSide(const std::string& hostAndPort, const std::string& apiKey)
        : target_(hostAndPort, apiKey), url_(*platform::URL::parse(target_.url)),
          work_(platform::DispatchQueue::make("com.brisko.bench.work")) {}

    int run(int calls) {
        calls_ = calls;
        done_ = failed_ = 0;
        started_ = std::min(kInFlight, calls);
        for (int i = 0; i < started_; ++i) ask();
        if (!platform::MainLoop::runUntil([&] { return done_ >= calls_; }, std::chrono::seconds(120))) return calls;
        return failed_;
    }

private:
    void ask() {
        platform::URLSession::networkQueue()->async([this] {
            if (running_ >= kPerHostLimit) {
                ++waiting_;
            } else {
                begin();
            }
        });
    }

    // On the network queue.
    void begin() {
        ++running_;
        platform::URLRequest request(url_);
        request.setHTTPMethod("POST");
        request.setValue("application/json", "Content-Type");
        request.setValue(target_.clientVersion, "X-Client-Version");
        request.setValue("com.brisko.desktop", "X-Ios-Bundle-Identifier");
        request.setValue(kAppID, "X-Zudiridi-EMPID");
        request.setValue("en", "Accept-Language");
        request.setValue(target_.userAgent, "User-Agent");
        const std::string body = signInBody().dump();
        request.setHTTPBody(platform::Data(body.begin(), body.end()));
        auto session = platform::URLSession::sessionWithConfiguration(
            platform::URLSessionConfiguration::ephemeralSessionConfiguration(), nullptr,
            platform::URLSession::networkQueue());
        session
            ->dataTaskWithRequest(std::move(request),
                                  [this, session](std::optional<platform::Data> data,
                                                  std::shared_ptr<const platform::HTTPURLResponse> response,
                                                  std::optional<platform::Error> error) mutable {
                                      session->finishTasksAndInvalidate();
                                      session.reset();
                                      const bool transferred = !error && response && response->statusCode() == 200;
                                      work_->async([this, transferred, data = std::move(data)] {
                                          const bool ok = transferred && data &&
                                                          decodedReply(std::string(data->begin(), data->end()));
                                          platform::DispatchQueue::main()->async([this, ok] { finished(ok); });
                                      });
                                      --running_;
                                      if (waiting_ > 0) {
                                          --waiting_;
                                          begin();
                                      }
                                  })
            ->resume();
    }

    // On the main loop.
    void finished(bool ok) {
        if (!ok) ++failed_;
        ++done_;
        if (started_ < calls_) {
            ++started_;
            ask();
        }
    }

    const Target target_;
    const platform::URL url_;
    std::shared_ptr<platform::DispatchQueue> work_;
    long running_ = 0, waiting_ = 0;                       // the network queue's
    int calls_ = 0, started_ = 0, done_ = 0, failed_ = 0;  // the main loop's
};

// One side in this process: settles it, then times kCalls; prints "ms peak-KB cpu-ms failed".
template <class Side> int runChild(const std::string& hostAndPort, const std::string& apiKey) {
    Side side(hostAndPort, apiKey);
    int failed = side.run(kSettleCalls);
    const double cpuBefore = cpuMilliseconds(RUSAGE_SELF);
    const auto start = SteadyClock::now();
    failed += side.run(kCalls);
    const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    const double cpu = cpuMilliseconds(RUSAGE_SELF) - cpuBefore;
    std::printf("%f %ld %f %d\n", ms, peakKilobytes(), cpu, failed);
    std::fflush(stdout);
    // The fetchers' sessions and the shared threads need no orderly teardown at exit.
    _exit(0);
}

// ---- The parent: the service, the rounds and the figures ----

enum SideIndex { kCurl, kHandOff, kSession, kBackend, kSides };
constexpr const char* kSideArguments[kSides] = {"--curl", "--handoff", "--session", "--backend"};
constexpr const char* kSideNames[kSides] = {"libcurl + nlohmann", "the design's minimal version",
                                            "the URL session alone", "typed backend call"};

struct Run {
    double ms = 0, clientCPU = 0, serviceCPU = 0;
    long peakKB = 0;
    bool ok = false;
};

// One side in a fresh child against a fresh service.
Run runSide(const char* self, int side) {
    brisko::testing::IdentityService service;
    service.createAccount(kEmail, kPassword);
    Run run;
    int failed = 0;
    const double serviceBefore = cpuMilliseconds(RUSAGE_SELF);
    const std::string out =
        bench::runSelf(self, {kSideArguments[side], service.emulatorHostAndPort(), service.apiKey()});
    run.serviceCPU = cpuMilliseconds(RUSAGE_SELF) - serviceBefore;
    const bool parsed = std::sscanf(out.c_str(), "%lf %ld %lf %d", &run.ms, &run.peakKB, &run.clientCPU, &failed) == 4;
    run.ok = parsed && failed == 0 && run.ms > 0;
    if (!run.ok) std::fprintf(stderr, "%s: %s\n", kSideNames[side], parsed ? "calls failed" : "no figures");
    service.stop();
    return run;
}

// The value below which the given fraction of the values lie.
double quantile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5)];
}

void printRatio(const char* what, const std::vector<double>& ratios, const char* verdict) {
    std::printf("  %-36s %5.2f  (middle half %.2f .. %.2f, all %.2f .. %.2f)%s\n", what, median(ratios),
                quantile(ratios, 0.25), quantile(ratios, 0.75), quantile(ratios, 0), quantile(ratios, 1), verdict);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4) {
        platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
        const std::string mode = argv[1];
        if (mode == kSideArguments[kBackend]) return runChild<BackendSide>(argv[2], argv[3]);
        if (mode == kSideArguments[kHandOff]) return runChild<HandOffSide>(argv[2], argv[3]);
        if (mode == kSideArguments[kSession]) return runChild<SessionSide>(argv[2], argv[3]);
        return runChild<CurlSide>(argv[2], argv[3]);
    }
    // Optional: auth_backend_bench [rounds].
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kDefaultRounds;

    // One untimed round first: the first service and the first children of this process pay for the
    // process's own first use (its memory arenas, a cold page cache).
    for (int side = 0; side < kSides; ++side) runSide(argv[0], side);
    std::vector<Run> runs[kSides];
    bool allOK = true;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < kSides; ++turn) {
            const int side = (round + turn) % kSides;
            runs[side].push_back(runSide(argv[0], side));
            allOK = allOK && runs[side].back().ok;
        }
    }
    if (!allOK) {
        std::printf("some calls failed: no figures\n");
        return 1;
    }

    auto figure = [&](int side, double Run::*field) {
        std::vector<double> values;
        for (const auto& r : runs[side]) values.push_back(r.*field);
        return values;
    };
    auto ratios = [&](int measured, int reference) {
        std::vector<double> out;
        for (int i = 0; i < rounds; ++i) out.push_back(runs[measured][i].ms / runs[reference][i].ms);
        return out;
    };
    auto peak = [&](int side) {
        long kb = 0;
        for (const auto& r : runs[side]) kb = std::max(kb, r.peakKB);
        return kb;
    };

    std::printf("%d password sign-ins after %d untimed, %d in flight (%ld running per host), one connection each;\n"
                "%d rounds, the sides in turn, a fresh service for each side (median, middle half of the rounds)\n",
                kCalls, kSettleCalls, kInFlight, kPerHostLimit, rounds);
    std::printf("  %-30s %21s %10s %11s %9s\n", "", "time ms", "CPU ms", "service CPU", "peak KB");
    for (int side = 0; side < kSides; ++side) {
        const auto times = figure(side, &Run::ms);
        std::printf("  %-30s %7.1f (%5.1f .. %5.1f) %10.1f %11.1f %9ld\n", kSideNames[side], median(times),
                    quantile(times, 0.25), quantile(times, 0.75), median(figure(side, &Run::clientCPU)),
                    median(figure(side, &Run::serviceCPU)), peak(side));
    }
    const auto timeRatios = ratios(kBackend, kCurl);
    const double timeRatio = median(timeRatios);
    const double memoryRatio = static_cast<double>(peak(kBackend)) / static_cast<double>(peak(kCurl));
    std::printf("  ratios of the rounds\n");
    printRatio("backend / libcurl + nlohmann", timeRatios,
               timeRatio <= kGoal ? "  goal <= 1.3 met" : "  goal <= 1.3 NOT MET");
    printRatio("minimal version / libcurl", ratios(kHandOff, kCurl), "");
    printRatio("backend / minimal version", ratios(kBackend, kHandOff), "");
    printRatio("URL session alone / minimal version", ratios(kSession, kHandOff), "");
    printRatio("backend / URL session alone", ratios(kBackend, kSession), "");
    std::printf("  memory ratio %.2f  goal <= %.1f  %s\n", memoryRatio, kGoal,
                memoryRatio <= kGoal ? "met" : "NOT MET");
    return 0;
}
