// Peak memory of receiving a large response body through the session fetcher, against libcurl writing it
// into a string: each in a fresh process, against the same kind of in-process local server.
#include <sys/resource.h>

#include <curl/curl.h>
#include <httplib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "fetcher/SessionFetcher.hpp"
#include "platform/base/Dispatch.hpp"

using namespace brisko;

namespace {

constexpr std::size_t kBodyMiB = 24;

long peakKB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// One fetch of the body with `how` ("fetcher" or "curl"); prints how much the peak grew, in KiB.
int runChild(const std::string& how) {
    const std::string body(kBodyMiB << 20, 'x');
    httplib::Server server;
    server.Get("/big", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content(body, "application/octet-stream");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&] { server.listen_after_bind(); });
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big";
    const long before = peakKB();
    std::size_t received = 0;
    if (how == "curl") {
        std::string got;
        CURL* easy = curl_easy_init();
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(
            easy, CURLOPT_WRITEFUNCTION, +[](char* p, std::size_t s, std::size_t n, void* out) {
                static_cast<std::string*>(out)->append(p, s * n);
                return s * n;
            });
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &got);
        curl_easy_perform(easy);
        curl_easy_cleanup(easy);
        received = got.size();
    } else {
        auto fetcher = fetcher::SessionFetcher::fetcherWithURLString(url);
        fetcher->setAllowLocalhostRequest(true);
        bool done = false;
        fetcher->beginFetchWithCompletionHandler(
            [&](std::optional<platform::Data> data, std::optional<platform::Error>) {
                received = data ? data->size() : 0;
                done = true;
            });
        platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(60));
    }
    std::printf("%ld %zu\n", peakKB() - before, received);
    server.stop();
    serving.join();
    return received == body.size() ? 0 : 1;
}

long runInFreshProcess(const char* self, const char* how) {
    std::string command = std::string("'") + self + "' " + how;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    long grewKB = -1;
    std::size_t received = 0;
    if (!pipe || std::fscanf(pipe.get(), "%ld %zu", &grewKB, &received) != 2) return -1;
    return grewKB;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) return runChild(argv[1]);
    const long curl = runInFreshProcess(argv[0], "curl");
    const long fetcher = runInFreshProcess(argv[0], "fetcher");
    std::printf("A %zu MiB response body (the in-process server holds one copy of it as well)\n", kBodyMiB);
    std::printf("  libcurl into a string: peak grew by %6ld KiB\n", curl);
    std::printf("  session fetcher:       peak grew by %6ld KiB\n", fetcher);
    std::printf("  ratio %.2f (goal: at most 1.10)\n", static_cast<double>(fetcher) / static_cast<double>(curl));
    return 0;
}
