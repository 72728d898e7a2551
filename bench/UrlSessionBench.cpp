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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/URLSession.hpp"

using namespace brisko::platform;
using SteadyClock = std::chrono::steady_clock;

namespace {

int kRequests = 100;
int kRounds = 7;
const std::string kBody =
    R"({"date":"2024-05-01","entries":[{"timestamp":"2024-05-01T10:00:00Z","appName":"Terminal",)"
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

// libcurl used directly: one easy handle, reused, so the connection is kept.
double rawCurl(const std::string& url) {
    curl_slist* headers = makeHeaders();
    CURL* easy = makeEasy(url, headers);
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        if (curl_easy_perform(easy) != CURLE_OK) std::fprintf(stderr, "curl request failed\n");
    }
    auto elapsed = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    return elapsed;
}

// The same requests through a URLSession, each awaited before the next (as the app's upload does).
double throughSession(const std::shared_ptr<URLSession>& session, const URL& url) {
    const URLRequest request = makeRequest(url);
    std::mutex m;
    std::condition_variable cv;
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        bool done = false;
        session
            ->dataTaskWithRequest(
                request,
                [&](const std::optional<Data>&, const std::shared_ptr<const HTTPURLResponse>& r,
                    const std::optional<Error>& e) {
                    if (e || !r || r->statusCode() != 200) std::fprintf(stderr, "session request failed\n");
                    std::lock_guard lock(m);
                    done = true;
                    cv.notify_one();
                })
            ->resume();
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// All requests at once: libcurl's multi interface with the same per-host connection limit (6).
double rawCurlConcurrent(const std::string& url) {
    CURLM* multi = curl_multi_init();
    curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, 6L);
    curl_slist* headers = makeHeaders();
    std::vector<CURL*> handles;
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        CURL* easy = makeEasy(url, headers);
        curl_multi_add_handle(multi, easy);
        handles.push_back(easy);
    }
    int running = 1;
    while (running) {
        curl_multi_perform(multi, &running);
        if (running) curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    auto elapsed = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    for (CURL* easy : handles) {
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
    }
    curl_slist_free_all(headers);
    curl_multi_cleanup(multi);
    return elapsed;
}

double sessionConcurrent(const std::shared_ptr<URLSession>& session, const URL& url) {
    const URLRequest request = makeRequest(url);
    std::mutex m;
    std::condition_variable cv;
    int remaining = kRequests;
    auto start = SteadyClock::now();
    for (int i = 0; i < kRequests; ++i) {
        session
            ->dataTaskWithRequest(
                request,
                [&](const std::optional<Data>&, const std::shared_ptr<const HTTPURLResponse>& r,
                    const std::optional<Error>& e) {
                    if (e || !r || r->statusCode() != 200) std::fprintf(stderr, "session request failed\n");
                    std::lock_guard lock(m);
                    if (--remaining == 0) cv.notify_one();
                })
            ->resume();
    }
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return remaining == 0; });
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double thisThreadCPU() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// CPU seconds the network thread has used so far (from /proc; 0 when it cannot be read).
double networkThreadCPU() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name != "brisko-network") continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14 || i == 15) ticks += std::stod(field);
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // Optional: url_session_bench [requests] [rounds] (for profiling with more requests).
    if (argc > 1) kRequests = std::max(1, std::atoi(argv[1]));
    if (argc > 2) kRounds = std::max(1, std::atoi(argv[2]));
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

    const std::string text = "http://127.0.0.1:" + std::to_string(port) + "/api/mac-activity/ingest";
    const URL url = *URL::parse(text);
    auto session =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());

    // Warm up both paths (connections, threads, allocators).
    rawCurl(text);
    throughSession(session, url);

    rawCurlConcurrent(text);
    sessionConcurrent(session, url);

    std::vector<double> raw, viaSession, rawAll, sessionAll;
    double networkCPU = 0, curlCPU = 0;
    for (int round = 0; round < kRounds; ++round) {
        const double cpuBefore = thisThreadCPU();
        raw.push_back(rawCurl(text));
        curlCPU += thisThreadCPU() - cpuBefore;
        const double before = networkThreadCPU();
        viaSession.push_back(throughSession(session, url));
        networkCPU += networkThreadCPU() - before;
        rawAll.push_back(rawCurlConcurrent(text));
        sessionAll.push_back(sessionConcurrent(session, url));
    }
    auto report = [](const char* title, double r, double s) {
        std::printf("%s\n", title);
        std::printf("  libcurl directly: %8.2f ms  (%6.1f us per request)\n", r, r * 1000 / kRequests);
        std::printf("  URLSession:       %8.2f ms  (%6.1f us per request)\n", s, s * 1000 / kRequests);
        std::printf("  ratio URLSession / libcurl: %.2f (goal: at most 1.20)\n", s / r);
    };
    std::printf("%d small POSTs to a local server, median of %d rounds\n", kRequests, kRounds);
    report("one after another (each awaited before the next):", median(raw), median(viaSession));
    report("all at once (6 connections):", median(rawAll), median(sessionAll));
    const double perRequest = 1e6 / (static_cast<double>(kRequests) * kRounds);
    std::printf("CPU per request, one after another: libcurl's thread %.1f us, the network thread %.1f us\n",
                curlCPU * perRequest, networkCPU * perRequest);

    session->invalidateAndCancel();
    server.stop();
    serverThread.join();
    return 0;
}
