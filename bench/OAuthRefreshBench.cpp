// Benchmark of a token refresh through the OAuth authorization state against libcurl posting the same
// form to the same local token endpoint: 200 refreshes one after the other, and 200 at once (200 states).
// Both sides parse the JSON reply; both keep their connections (at most 6 to the host, the URL session's
// default). Goal: the authorization state takes at most 1.3 times as long. A third column, the same form
// as a bare data task of the URL session the client uses (awaited on the main queue), shows how much of
// the time is the OAuth client's own.
#include <curl/curl.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <functional>
#include <deque>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/Figures.hpp"
#include "oauth/AuthState.hpp"
#include "platform/base/Dispatch.hpp"

using namespace brisko;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;

constexpr int kRefreshes = 200;
constexpr int kRounds = 7;
constexpr long kPerHost = 6;
const std::string kReply =
    R"({"access_token":"access-token-value-0123456789","token_type":"Bearer","expires_in":3600,)"
    R"("refresh_token":"refresh-token-value-0123456789","scope":"openid email"})";

std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

std::shared_ptr<oauth::AuthState> makeState(const std::string& base) {
    auto configuration = std::make_shared<const oauth::ServiceConfiguration>(*platform::URL::parse(base + "/auth"),
                                                                             *platform::URL::parse(base + "/token"));
    auto request = oauth::AuthorizationRequest::make(configuration, "bench-client", std::nullopt, {"openid"},
                                                     *platform::URL::parse("com.example.app:/cb"), "code", {});
    auto response = oauth::AuthorizationResponse::make(request, platform::Dictionary{{"code", "c"}});
    auto tokens = oauth::TokenResponse::make(response->tokenExchangeRequest(),
                                             platform::Dictionary{{"access_token", "a"}, {"refresh_token", "r"}});
    return oauth::AuthState::make(response, tokens);
}

// Refreshes `states` (each forced to refresh) at once and waits for all their actions.
double refreshThroughStates(const std::vector<std::shared_ptr<oauth::AuthState>>& states, bool sequential) {
    auto start = SteadyClock::now();
    std::atomic<int> done{0};
    auto refresh = [&](const std::shared_ptr<oauth::AuthState>& state) {
        state->setNeedsTokenRefresh();
        state->performActionWithFreshTokens(
            [&](std::optional<std::string> access, std::optional<std::string>, platform::OptionalError error) {
                if (!access || error) std::fprintf(stderr, "refresh failed\n");
                ++done;
            });
    };
    if (sequential) {
        for (int i = 0; i < kRefreshes; ++i) {
            refresh(states.front());
            platform::MainLoop::runUntil([&] { return done == i + 1; }, std::chrono::seconds(30));
        }
    } else {
        for (const auto& state : states) refresh(state);
        platform::MainLoop::runUntil([&] { return done == kRefreshes; }, std::chrono::seconds(60));
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The refresh request's HTTP request as a bare data task, each awaited on the main queue.
double refreshThroughSession(const oauth::TokenRequestPtr& request, bool sequential) {
    auto session = oauth::URLSessionProvider::session();
    auto start = SteadyClock::now();
    std::atomic<int> done{0};
    auto send = [&] {
        session
            ->dataTaskWithRequest(request->URLRequest(),
                                  [&](std::optional<platform::Data> data, std::shared_ptr<const platform::HTTPURLResponse>,
                                      platform::OptionalError) {
                                      [[maybe_unused]] auto json = nlohmann::json::parse(data ? *data : platform::Data{});
                                      platform::DispatchQueue::main()->async([&] { ++done; });
                                  })
            ->resume();
    };
    if (sequential) {
        for (int i = 0; i < kRefreshes; ++i) {
            send();
            platform::MainLoop::runUntil([&] { return done == i + 1; }, std::chrono::seconds(30));
        }
    } else {
        for (int i = 0; i < kRefreshes; ++i) send();
        platform::MainLoop::runUntil([&] { return done == kRefreshes; }, std::chrono::seconds(60));
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

CURL* formPost(const std::string& url, const std::string& body, std::string* out, curl_slist* headers) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, body.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, out);
    return easy;
}

// The same form through libcurl's multi interface (connections kept between rounds), JSON parsed.
double refreshThroughCurl(CURLM* multi, const std::string& url, bool sequential) {
    const std::string body = "client_id=bench-client&grant_type=refresh_token&refresh_token=r";
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded; charset=UTF-8");
    auto start = SteadyClock::now();
    int batch = sequential ? 1 : kRefreshes;
    for (int done = 0; done < kRefreshes; done += batch) {
        std::vector<std::string> outs(static_cast<std::size_t>(batch));
        std::vector<CURL*> easies;
        for (int i = 0; i < batch; ++i) {
            easies.push_back(formPost(url, body, &outs[static_cast<std::size_t>(i)], headers));
            curl_multi_add_handle(multi, easies.back());
        }
        int running = 1;
        while (running) {
            curl_multi_perform(multi, &running);
            if (running) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
        }
        for (auto* easy : easies) {
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
        }
        for (const auto& out : outs) {
            auto json = nlohmann::json::parse(out);
            if (!json.contains("access_token")) std::fprintf(stderr, "refresh failed\n");
        }
    }
    curl_slist_free_all(headers);
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The design's minimal version without any of our code: libcurl on a thread of its own (its connection
// kept), the caller on the main loop handing it each refresh and getting each parsed reply back through
// the main queue, as the authorization state gets its replies. Its time against libcurl alone is the
// cost of those two hand-offs on this machine.
class CurlThread {
  public:
    CurlThread() : thread_([this] { run(); }) {}
    ~CurlThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            work_.push_back(std::move(work));
        }
        cv_.notify_one();
    }

  private:
    void run() {
        for (;;) {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [&] { return stopping_ || !work_.empty(); });
            if (work_.empty()) return;
            auto work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> work_;
    bool stopping_ = false;
    std::thread thread_;
};

double refreshThroughCurlThread(CurlThread& worker, CURL* easy, std::string* out) {
    auto start = SteadyClock::now();
    int done = 0;
    for (int i = 0; i < kRefreshes; ++i) {
        worker.post([&] {
            out->clear();
            if (curl_easy_perform(easy) != CURLE_OK) std::fprintf(stderr, "refresh failed\n");
            auto json = nlohmann::json::parse(*out);
            const bool ok = json.contains("access_token");
            platform::DispatchQueue::main()->async([&done, ok] {
                if (!ok) std::fprintf(stderr, "refresh failed\n");
                ++done;
            });
        });
        platform::MainLoop::runUntil([&] { return done == i + 1; }, std::chrono::seconds(30));
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

}  // namespace

int main() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    httplib::Server server;
    // Without it, Nagle's algorithm and delayed acknowledgements hold every reply for tens of milliseconds,
    // and both sides would measure only that.
    server.set_tcp_nodelay(true);
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // The server answers uncompressed: the URL session announces compression and the server's brotli
    // would dominate the figures.
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Post("/token", [](const httplib::Request&, httplib::Response& res) { res.set_content(kReply, "application/json"); });
    int port = server.bind_to_any_port("127.0.0.1");
    // Bound and listening already: connections wait in the backlog until the loop below accepts them.
    // Bound and listening already: connections wait in the backlog until the loop accepts them.
    std::thread serving([&] { server.listen_after_bind(); });
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    std::vector<std::shared_ptr<oauth::AuthState>> states;
    for (int i = 0; i < kRefreshes; ++i) states.push_back(makeState(base));
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHost);
    // Idle connections are kept between rounds, as the session keeps them.
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 32L);

    CurlThread worker;
    std::string workerOut;
    curl_slist* workerHeaders =
        curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded; charset=UTF-8");
    CURL* workerEasy = formPost(base + "/token", "client_id=bench-client&grant_type=refresh_token&refresh_token=r",
                                &workerOut, workerHeaders);
    refreshThroughCurlThread(worker, workerEasy, &workerOut);

    auto refreshRequest = states.front()->tokenRefreshRequest();
    // Warm every side (connections, first-use costs).
    refreshThroughStates(states, false);
    refreshThroughSession(refreshRequest, false);
    refreshThroughCurl(multi, base + "/token", false);

    std::printf("%-22s %13s %13s %11s %16s %18s\n", "200 token refreshes", "AuthState ms", "URLSession ms",
                "libcurl ms", "AuthState/curl", "AuthState/session");
    double handedOff = 0, handedOffCurl = 0;
    for (bool sequential : {true, false}) {
        std::vector<double> ours, session, theirs, minimal;
        // Each side runs once untimed right before its timed run: the threads taking part change from one
        // side to the next, and the scheduler needs some round trips to place them again.
        auto settled = [](auto side) {
            side();
            return side();
        };
        for (int round = 0; round < kRounds; ++round) {
            ours.push_back(settled([&] { return refreshThroughStates(states, sequential); }));
            session.push_back(settled([&] { return refreshThroughSession(refreshRequest, sequential); }));
            theirs.push_back(settled([&] { return refreshThroughCurl(multi, base + "/token", sequential); }));
            if (sequential)
                minimal.push_back(settled([&] { return refreshThroughCurlThread(worker, workerEasy, &workerOut); }));
        }
        double a = median(ours), s = median(session), b = median(theirs);
        std::printf("%-22s %13.1f %13.1f %11.1f %15.2fx %17.2fx\n", sequential ? "one after the other" : "at once", a,
                    s, b, a / b, a / s);
        if (sequential) {
            handedOff = median(minimal);
            handedOffCurl = b;
        }
    }
    std::printf("one after the other, libcurl on a thread of its own handing each reply to the main loop: %.1f ms "
                "(%.2fx libcurl alone)\n",
                handedOff, handedOff / handedOffCurl);
    std::printf("goal: AuthState/curl at most 1.30x\n");
    curl_multi_cleanup(multi);
    curl_easy_cleanup(workerEasy);
    curl_slist_free_all(workerHeaders);
    server.stop();
    serving.join();
    curl_global_cleanup();
    return 0;
}
