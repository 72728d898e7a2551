// Benchmark: 100 small POSTs to a local server through URLSession and through libcurl directly.
#include <curl/curl.h>
#include <httplib.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "bench/Figures.hpp"
#include "platform/base/Async.hpp"
#include "platform/net/URLSession.hpp"

using namespace brisko::platform;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;
using brisko::bench::ratioRange;
using brisko::bench::threadIds;

int kRequests = 100;
int kRounds = 7;
const std::string kBody = R"({"date":"2024-05-01","entries":[{"timestamp":"2024-05-01T10:00:00Z","appName":"Terminal",)"
                          R"("windowTitle":"bench","idleSeconds":3,"isAwake":true}]})";

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// The request as the session sends it: JSON body, no "Expect", compression offered.
CURL* makeEasy(const std::string& url, curl_slist* headers) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, kBody.c_str());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(kBody.size()));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    return easy;
}

curl_slist* makeHeaders() {
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    return curl_slist_append(headers, "Expect:");
}

URLRequest makeRequest(const URL& url) {
    URLRequest request(url);
    request.setHTTPMethod("POST");
    request.setValue("application/json", "Content-Type");
    request.setHTTPBody(toData(kBody));
    return request;
}

// libcurl used directly: one easy handle for every round, so its connection is kept as the session keeps
// its own.
double rawCurl(CURL* easy) {
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        if (curl_easy_perform(easy) != CURLE_OK) std::fprintf(stderr, "curl request failed\n");
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// Starts one POST through the session; `finished` runs under `m` when it completes.
template <class Finished>
void startPost(const std::shared_ptr<URLSession>& session, const URLRequest& request, std::mutex& m,
               Finished finished) {
    session
        ->dataTaskWithRequest(request,
                              [&m, finished](const std::optional<Data>&,
                                             const std::shared_ptr<const HTTPURLResponse>& r,
                                             const std::optional<Error>& e) mutable {
                                  if (e || !r || r->statusCode() != 200)
                                      std::fprintf(stderr, "session request failed\n");
                                  std::lock_guard lock(m);
                                  finished();
                              })
        ->resume();
}

// The same requests through a URLSession, each awaited before the next by a thread that blocks on a
// completion handler.
double throughSession(const std::shared_ptr<URLSession>& session, const URL& url) {
    const URLRequest request = makeRequest(url);
    std::mutex m;
    std::condition_variable cv;
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        bool done = false;
        startPost(session, request, m, [&] {
            done = true;
            cv.notify_one();
        });
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The same requests awaited one after another by a coroutine on the main loop, as the app's upload awaits
// URLSession::data.
Task<void> awaitEach(std::shared_ptr<URLSession> session, URLRequest request) {
    for (int i = 0; i < kRequests; ++i) {
        auto reply = co_await session->data(request);
        if (!reply.response || reply.response->statusCode() != 200) std::fprintf(stderr, "session request failed\n");
    }
}

double throughSessionAwaited(const std::shared_ptr<URLSession>& session, const URL& url) {
    auto start = SteadyClock::now();
    runOnMainLoop(awaitEach(session, makeRequest(url)), std::chrono::seconds(60));
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The same requests as a sequence running on the network thread's own queue: each completion resumes the
// sequence where the transfer ended, and only the end is handed back to the waiting thread.
double throughSessionOnNetwork(const std::shared_ptr<URLSession>& session, const URL& url) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    auto start = SteadyClock::now();
    spawn(URLSession::networkQueue(), awaitEach(session, makeRequest(url)), [&](std::exception_ptr) {
        std::lock_guard lock(m);
        done = true;
        cv.notify_one();
    });
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The network loop's design with nothing of ours around it: an io_context run by the calling thread drives
// libcurl's socket interface (sockets kept registered between transfers, a 0 ms timeout posted, one timer),
// and each finished request starts the next from its completion. It shows what the loop itself costs
// against libcurl's blocking interface; the URL session's own share is what it adds on top.
class MinimalLoop {
public:
    MinimalLoop(const std::string& url, curl_slist* headers) : easy_(makeEasy(url, headers)) {
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &MinimalLoop::onSocket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &MinimalLoop::onTimer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
        curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETFUNCTION, &MinimalLoop::onClose);
        curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETDATA, this);
    }
    ~MinimalLoop() {
        curl_multi_remove_handle(multi_, easy_);
        curl_easy_cleanup(easy_);
        curl_multi_cleanup(multi_);
        for (auto& [fd, socket] : sockets_) socket->descriptor.release();
    }

    double run() {
        left_ = kRequests;
        auto start = SteadyClock::now();
        curl_multi_add_handle(multi_, easy_);
        io_.restart();
        io_.run();
        return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    }

    // The same loop on a thread of its own, with the calling thread handing over each request and
    // blocking until its end is handed back: the two thread hand-offs per request that a caller on another
    // thread cannot avoid, with nothing else of ours.
    double runHandedOver() {
        io_.restart();
        auto guard = asio::make_work_guard(io_);
        std::thread network([this] { io_.run(); });
        auto start = SteadyClock::now();
        for (int i = 0; i < kRequests; ++i) {
            std::unique_lock lock(handOverMutex_);
            finished_ = false;
            left_ = 1;
            asio::post(io_, [this] { curl_multi_add_handle(multi_, easy_); });
            handedBack_.wait(lock, [this] { return finished_; });
        }
        const double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        guard.reset();
        io_.stop();
        network.join();
        return ms;
    }

private:
    struct Socket {
        explicit Socket(asio::io_context& io, curl_socket_t s) : fd(s), descriptor(io, s) {}
        curl_socket_t fd;
        asio::posix::stream_descriptor descriptor;
        int wanted = 0;
        bool reading = false, writing = false;
    };

    static int onSocket(CURL*, curl_socket_t s, int what, void* userp, void*) {
        auto* self = static_cast<MinimalLoop*>(userp);
        auto& socket = self->sockets_[s];
        if (!socket) socket = std::make_unique<Socket>(self->io_, s);
        socket->wanted = what == CURL_POLL_REMOVE ? 0 : what;
        self->arm(socket.get());
        return 0;
    }
    static int onClose(void* clientp, curl_socket_t s) {
        auto* self = static_cast<MinimalLoop*>(clientp);
        if (auto it = self->sockets_.find(s); it != self->sockets_.end()) {
            it->second->descriptor.release();
            self->sockets_.erase(it);
        }
        return ::close(s);
    }
    static int onTimer(CURLM*, long ms, void* userp) {
        auto* self = static_cast<MinimalLoop*>(userp);
        if (ms < 0) return 0;
        if (ms == 0) {
            asio::post(self->io_, [self] { self->act(CURL_SOCKET_TIMEOUT, 0); });
            return 0;
        }
        self->timer_.expires_after(std::chrono::milliseconds(ms));
        self->timer_.async_wait([self](const std::error_code& ec) {
            if (!ec) self->act(CURL_SOCKET_TIMEOUT, 0);
        });
        return 0;
    }
    void arm(Socket* socket) {
        if ((socket->wanted & CURL_POLL_IN) && !socket->reading) {
            socket->reading = true;
            socket->descriptor.async_wait(
                asio::posix::stream_descriptor::wait_read,
                [this, fd = socket->fd](const std::error_code& ec) { ready(fd, CURL_POLL_IN, ec); });
        }
        if ((socket->wanted & CURL_POLL_OUT) && !socket->writing) {
            socket->writing = true;
            socket->descriptor.async_wait(
                asio::posix::stream_descriptor::wait_write,
                [this, fd = socket->fd](const std::error_code& ec) { ready(fd, CURL_POLL_OUT, ec); });
        }
    }
    void ready(curl_socket_t fd, int direction, const std::error_code& ec) {
        auto it = sockets_.find(fd);
        if (ec == asio::error::operation_aborted || it == sockets_.end()) return;
        Socket* socket = it->second.get();
        (direction == CURL_POLL_IN ? socket->reading : socket->writing) = false;
        if (!(socket->wanted & direction)) return;
        act(fd, direction == CURL_POLL_IN ? CURL_CSELECT_IN : CURL_CSELECT_OUT);
        if (auto again = sockets_.find(fd); again != sockets_.end()) arm(again->second.get());
    }
    void act(curl_socket_t fd, int flags) {
        int running = 0;
        curl_multi_socket_action(multi_, fd, flags, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            if (msg->data.result != CURLE_OK) std::fprintf(stderr, "curl request failed\n");
            curl_multi_remove_handle(multi_, easy_);
            if (--left_ > 0) {
                curl_multi_add_handle(multi_, easy_);
            } else if (handingOver()) {
                std::lock_guard lock(handOverMutex_);
                finished_ = true;
                handedBack_.notify_one();
            } else {
                io_.stop();
            }
        }
    }

    asio::io_context io_{1};
    asio::steady_timer timer_{io_};
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    std::unordered_map<curl_socket_t, std::unique_ptr<Socket>> sockets_;
    int left_ = 0;
    std::mutex handOverMutex_;
    std::condition_variable handedBack_;
    bool finished_ = true;
    bool handingOver() const { return !finished_; }
};

// Runs `work` on a new thread while this one waits for its end, as a caller of the network queue does;
// the time is the work's own.
template <class Work> double onAnotherThread(Work work) {
    double ms = 0;
    std::thread([&] { ms = work(); }).join();
    return ms;
}

// All requests at once: libcurl's multi interface with the same per-host connection limit (6). The multi
// handle (and so its connections) lives for every round, as the session's does; each request gets an easy
// handle of its own, as each task does, released when it is done, as the session releases its own.
double rawCurlConcurrent(CURLM* multi, const std::string& url, curl_slist* headers) {
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) curl_multi_add_handle(multi, makeEasy(url, headers));
    int running = 1;
    while (running) {
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) continue;
            if (msg->data.result != CURLE_OK) std::fprintf(stderr, "curl request failed\n");
            CURL* easy = msg->easy_handle;
            curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
        }
        if (running) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double sessionConcurrent(const std::shared_ptr<URLSession>& session, const URL& url) {
    const URLRequest request = makeRequest(url);
    std::mutex m;
    std::condition_variable cv;
    int remaining = kRequests;
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        startPost(session, request, m, [&] {
            if (--remaining == 0) cv.notify_one();
        });
    }
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return remaining == 0; });
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// User CPU seconds used so far by this process's threads other than the server's (from /proc): the
// caller's, and the session's network thread and dispatch pool, or libcurl's calling thread.
std::set<std::string> serverThreads;

double clientUserCPU() {
    double ticks = 0;
    for (const auto& id : threadIds()) {
        if (serverThreads.contains(id)) continue;
        std::ifstream stat("/proc/self/task/" + id + "/stat");
        std::string line;
        std::getline(stat, line);
        if (line.empty()) continue;
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int i = 3; i <= 14 && fields >> field; ++i) {
            if (i == 14) ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    // Optional: url_session_bench [requests] [rounds] [only] (for profiling with more requests). With
    // `only` set to "minimal" or "sequence", just that side runs, its requests once, with no figures: a
    // profiler's counts then belong to it alone.
    if (argc > 1) kRequests = std::max(1, std::atoi(argv[1]));
    if (argc > 2) kRounds = std::max(1, std::atoi(argv[2]));
    const std::string only = argc > 3 ? argv[3] : "";
    httplib::Server server;
    server.set_keep_alive_max_count(100000);
    server.set_tcp_nodelay(true);
    // Enough workers for every kept-alive connection of both clients.
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // The server answers uncompressed (its brotli would dominate the figures).
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Post("/api/mac-activity/ingest", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"ok":true})", "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serverThread([&] { server.listen_after_bind(); });
    while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The server's workers start after it reports running: wait for all 64 of them (with this thread and
    // the listener, 66), or late ones would count as the client's.
    while (threadIds().size() < 66) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Every thread so far but this one is the server's (its workers start with it).
    serverThreads = threadIds();
    serverThreads.erase(std::to_string(gettid()));

    const std::string text = "http://127.0.0.1:" + std::to_string(port) + "/api/mac-activity/ingest";
    const URL url = *URL::parse(text);
    // One session for the requests sent one after another, which then keeps one connection as the libcurl
    // side does, and one for those sent all at once (six connections): with six idle connections libcurl
    // takes them in turn, and each request would wake another of the server's threads.
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    auto concurrent = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    // The same with its completion handlers run on the network thread: the waiting thread is then woken
    // straight from there, with no delegate queue between.
    auto direct = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), nullptr,
                                                       URLSession::networkQueue());
    curl_slist* headers = makeHeaders();
    CURL* easy = makeEasy(text, headers);
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    // Idle connections are kept between rounds, as the session keeps them.
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, 32L);

    MinimalLoop minimal(text, headers);
    auto finish = [&] {
        session->invalidateAndCancel();
        concurrent->invalidateAndCancel();
        direct->invalidateAndCancel();
        curl_easy_cleanup(easy);
        curl_multi_cleanup(multi);
        curl_slist_free_all(headers);
        server.stop();
        serverThread.join();
        return 0;
    };
    if (only == "minimal") {
        minimal.run();
        return finish();
    }
    if (only == "sequence") {
        throughSessionOnNetwork(session, url);
        return finish();
    }

    // Warm up both paths (connections, threads, allocators).
    rawCurl(easy);
    minimal.run();
    throughSession(session, url);
    throughSession(direct, url);
    throughSessionAwaited(session, url);
    throughSessionOnNetwork(session, url);

    rawCurlConcurrent(multi, text, headers);
    sessionConcurrent(concurrent, url);

    std::vector<double> raw, bare, bareThread, bareHandedOver, viaSession, viaDirect, viaCoroutine, onNetwork, rawAll,
        sessionAll;
    // Each side runs a few untimed requests right before its timed ones: the threads that take part
    // change from one side to the next, and the scheduler needs a few round trips to place them again
    // (the first tens of requests after a change take two to five times as long, whichever side runs).
    const int timedRequests = kRequests;
    auto settled = [&](auto side) {
        kRequests = std::max(1, timedRequests / 5);
        side();
        kRequests = timedRequests;
        return side();
    };
    for (int round = 0; round < kRounds; ++round) {
        raw.push_back(settled([&] { return rawCurl(easy); }));
        bare.push_back(settled([&] { return minimal.run(); }));
        bareThread.push_back(onAnotherThread([&] { return settled([&] { return minimal.run(); }); }));
        bareHandedOver.push_back(settled([&] { return minimal.runHandedOver(); }));
        viaSession.push_back(settled([&] { return throughSession(session, url); }));
        viaDirect.push_back(settled([&] { return throughSession(direct, url); }));
        viaCoroutine.push_back(settled([&] { return throughSessionAwaited(session, url); }));
        onNetwork.push_back(settled([&] { return throughSessionOnNetwork(session, url); }));
        rawAll.push_back(settled([&] { return rawCurlConcurrent(multi, text, headers); }));
        sessionAll.push_back(settled([&] { return sessionConcurrent(concurrent, url); }));
    }
    auto report = [](const char* title, const std::vector<double>& reference, const std::vector<double>& measured) {
        const double r = median(reference), s = median(measured);
        const auto [low, high] = ratioRange(reference, measured);
        std::printf("%s\n", title);
        std::printf("  libcurl directly: %8.2f ms  (%6.1f us per request)\n", r, r * 1000 / kRequests);
        std::printf("  URLSession:       %8.2f ms  (%6.1f us per request)\n", s, s * 1000 / kRequests);
        std::printf("  ratio URLSession / libcurl: %.2f, per round %.2f-%.2f\n", s / r, low, high);
    };
    std::printf("%d small POSTs to a local server, median of %d rounds\n", kRequests, kRounds);
    report("one after another, awaited by another thread blocking on each completion handler (delegate queue "
           "on the pool):",
           raw, viaSession);
    std::printf("  overhead per request: %.1f us (goal: under 50 us here)\n",
                (median(viaSession) - median(raw)) * 1000 / kRequests);
    report("one after another, awaited by another thread, completion handlers on the network queue:", raw, viaDirect);
    std::printf("  overhead per request: %.1f us (goal: under 50 us here)\n",
                (median(viaDirect) - median(raw)) * 1000 / kRequests);
    report("one after another, the loop's design alone on a thread of its own, each request handed over by a "
           "waiting thread and its end handed back (the two hand-offs such a caller cannot avoid):",
           raw, bareHandedOver);
    std::printf("  overhead per request: %.1f us\n", (median(bareHandedOver) - median(raw)) * 1000 / kRequests);
    report("one after another, the loop's design alone (io_context + libcurl sockets, on the caller's thread):", raw,
           bare);
    report("one after another, the loop's design alone on a thread of its own, the caller waiting for its end:", raw,
           bareThread);
    report("one after another, a sequence on the network queue handing back its end, goal at most 1.20:", raw,
           onNetwork);
    report("one after another, awaited by a coroutine on the main loop:", raw, viaCoroutine);
    report("all at once (6 connections), goal at most 1.20:", rawAll, sessionAll);
    // CPU time comes in clock ticks (10 ms): count it over many more requests, the sides in turn (10,000
    // requests a side and round take about half a second of CPU, so a tick is about 2% of a figure).
    const int requests = kRequests;
    kRequests = std::max(requests, 10000);
    double sessionCPU = 0, sequenceCPU = 0, curlCPU = 0, bareCPU = 0;
    constexpr int kCPURounds = 3;
    for (int round = 0; round < kCPURounds; ++round) {
        double before = clientUserCPU();
        rawCurl(easy);
        curlCPU += clientUserCPU() - before;
        before = clientUserCPU();
        minimal.run();
        bareCPU += clientUserCPU() - before;
        before = clientUserCPU();
        throughSessionOnNetwork(session, url);
        sequenceCPU += clientUserCPU() - before;
        before = clientUserCPU();
        throughSession(session, url);
        sessionCPU += clientUserCPU() - before;
    }
    const double perRequest = 1e6 / (static_cast<double>(kRequests) * kCPURounds);
    kRequests = requests;
    std::printf("user CPU per request, one after another (every thread but the server's), goal at most 1.10:\n"
                "  libcurl %.1f us; the loop's design alone %.1f us (ratio %.2f); URLSession, a sequence on the "
                "network queue %.1f us (ratio %.2f); URLSession awaited by another thread %.1f us (ratio %.2f)\n",
                curlCPU * perRequest, bareCPU * perRequest, curlCPU > 0 ? bareCPU / curlCPU : 0.0,
                sequenceCPU * perRequest, curlCPU > 0 ? sequenceCPU / curlCPU : 0.0, sessionCPU * perRequest,
                curlCPU > 0 ? sessionCPU / curlCPU : 0.0);

    return finish();
}
