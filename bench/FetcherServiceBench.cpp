// Benchmark of the fetcher against libcurl used directly: 500 small JSON fetches through a fetcher service
// and through libcurl's multi interface on a network thread fed one request at a time, and a 50 MB file through the
// resumable upload fetcher and a plain curl upload. Each side runs in a fresh child process so that its peak memory is
// its own.
#include <curl/curl.h>
#include <httplib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/Figures.hpp"
#include "bench/SelfRun.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "fetcher/SessionUploadFetcher.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/storage/UserDefaults.hpp"

using namespace brisko;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;
using brisko::bench::peakKilobytes;

constexpr int kFetches = 500;
constexpr int kRounds = 9;
constexpr long kPerHostLimit = 10;  // the fetcher service's default
constexpr std::int64_t kUploadSize = 50LL * 1024 * 1024;
constexpr std::int64_t kUploadChunkSize = 8LL * 1024 * 1024;
const std::string kJSON =
    R"({"kind":"identitytoolkit#GetAccountInfoResponse","users":[{"localId":"abc","email":"a@b.c"}]})";

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// ---- The measured sides (each in its own process) ----

double fetchesThroughService(const std::shared_ptr<fetcher::SessionFetcherService>& service, const std::string& url) {
    std::atomic<int> done{0}, failed{0};
    auto start = SteadyClock::now();
    for (int i = 0; i < kFetches; ++i) {
        service->fetcherWithURLString(url)->beginFetchWithCompletionHandler(
            [&](std::optional<platform::Data> data, std::optional<platform::Error> error) {
                if (error || !data || data->size() != kJSON.size()) ++failed;
                ++done;
            });
    }
    platform::MainLoop::runUntil([&] { return done == kFetches; }, std::chrono::seconds(60));
    double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
    if (failed) std::fprintf(stderr, "%d fetches failed\n", failed.load());
    return ms;
}

// The platform's URL session alone, for telling the fetcher's own cost from the session's.
double fetchesThroughSession(const std::shared_ptr<platform::URLSession>& session, const std::string& url) {
    std::atomic<int> done{0};
    auto start = SteadyClock::now();
    for (int i = 0; i < kFetches; ++i) {
        session
            ->dataTaskWithRequest(platform::URLRequest(platform::URL::parse(url)),
                                  [&](std::optional<platform::Data>, std::shared_ptr<const platform::HTTPURLResponse>,
                                      std::optional<platform::Error>) { ++done; })
            ->resume();
    }
    while (done < kFetches) std::this_thread::sleep_for(std::chrono::microseconds(200));
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// libcurl's multi interface on a network thread of its own, used the way the fetcher service uses its
// session: the caller makes each request and hands it over as it goes (the thread adds it to the multi
// handle at once), and each finished transfer's body comes back to the caller, which checks it. The
// easy handle is released as its transfer finishes, as the fetcher releases its task.
class CurlNetworkThread {
public:
    CurlNetworkThread() : multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHostLimit);
        // Idle connections are kept from the warm-up run to the measured one, as the session keeps them.
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 4 * kPerHostLimit);
        thread_ = std::thread([this] { run(); });
    }
    ~CurlNetworkThread() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        curl_multi_wakeup(multi_);
        thread_.join();
        curl_multi_cleanup(multi_);
    }

    double fetch(const std::string& url) {
        auto start = SteadyClock::now();
        for (int i = 0; i < kFetches; ++i) {
            auto* transfer = new Transfer;
            transfer->easy = curl_easy_init();
            curl_easy_setopt(transfer->easy, CURLOPT_URL, url.c_str());
            curl_easy_setopt(transfer->easy, CURLOPT_WRITEFUNCTION, &collect);
            curl_easy_setopt(transfer->easy, CURLOPT_WRITEDATA, &transfer->body);
            curl_easy_setopt(transfer->easy, CURLOPT_PRIVATE, transfer);
            curl_easy_setopt(transfer->easy, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(transfer->easy, CURLOPT_ACCEPT_ENCODING, "");
            {
                std::lock_guard lock(mutex_);
                incoming_.push_back(transfer);
            }
            curl_multi_wakeup(multi_);
        }
        int failures = 0;
        for (int finished = 0; finished < kFetches;) {
            std::vector<Transfer*> done;
            {
                std::unique_lock lock(mutex_);
                doneChanged_.wait(lock, [&] { return !done_.empty(); });
                done.swap(done_);
            }
            for (auto* transfer : done) {
                if (transfer->result != CURLE_OK || transfer->body.size() != kJSON.size()) ++failures;
                delete transfer;
                ++finished;
            }
        }
        double ms = std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
        if (failures) std::fprintf(stderr, "%d curl fetches failed\n", failures);
        return ms;
    }

private:
    struct Transfer {
        CURL* easy = nullptr;
        std::string body;
        CURLcode result = CURLE_OK;
    };

    static std::size_t collect(char* p, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(p, size * count);
        return size * count;
    }

    void run() {
        std::vector<Transfer*> incoming;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stopping_) return;
                incoming.swap(incoming_);
            }
            for (auto* transfer : incoming) curl_multi_add_handle(multi_, transfer->easy);
            incoming.clear();
            int running = 0;
            curl_multi_perform(multi_, &running);
            std::vector<Transfer*> finished;
            int queued = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* transfer = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &transfer);
                transfer->result = msg->data.result;
                curl_multi_remove_handle(multi_, transfer->easy);
                curl_easy_cleanup(transfer->easy);
                finished.push_back(transfer);
            }
            if (!finished.empty()) {
                {
                    std::lock_guard lock(mutex_);
                    done_.insert(done_.end(), finished.begin(), finished.end());
                }
                doneChanged_.notify_one();
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    CURLM* multi_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable doneChanged_;
    std::vector<Transfer*> incoming_;
    std::vector<Transfer*> done_;
    bool stopping_ = false;
};

void octetStream(std::shared_ptr<fetcher::SessionFetcher>, platform::URLSessionConfiguration& configuration) {
    configuration.httpAdditionalHeaders.set("Content-Type", "application/octet-stream");
}

double uploadThroughFetcher(const std::string& url, const std::string& file) {
    platform::URLRequest request(platform::URL::parse(url));
    auto upload = fetcher::SessionUploadFetcher::uploadFetcherWithRequest(request, "application/octet-stream",
                                                                          kUploadChunkSize, nullptr);
    upload->setAllowLocalhostRequest(true);
    upload->setConfigurationBlock(octetStream);
    upload->setUploadFileURL(platform::URL::fileURLWithPath(file));
    bool done = false;
    auto start = SteadyClock::now();
    upload->beginFetchWithCompletionHandler([&](std::optional<platform::Data>, std::optional<platform::Error> error) {
        if (error) std::fprintf(stderr, "upload failed: %s\n", error->description().c_str());
        done = true;
    });
    platform::MainLoop::runUntil([&] { return done; }, std::chrono::seconds(120));
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double uploadThroughCurl(const std::string& url, const std::string& file) {
    // The same exchange without the fetcher: the start request, then the file in the same chunks.
    auto start = SteadyClock::now();
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    std::string location;
    auto header = +[](char* p, std::size_t size, std::size_t count, void* user) {
        std::string line(p, size * count);
        const std::string name = "X-Ezev-Upload-URL: ";
        if (line.rfind(name, 0) == 0)
            *static_cast<std::string*>(user) = line.substr(name.size(), line.find('\r') - name.size());
        return size * count;
    };
    curl_slist* startHeaders = nullptr;
    startHeaders = curl_slist_append(startHeaders, "X-Ezev-Upload-Protocol: resumable");
    startHeaders = curl_slist_append(startHeaders, "X-Ezev-Upload-Command: start");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, startHeaders);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, "");
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &location);
    curl_easy_perform(easy);
    curl_slist_free_all(startHeaders);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, nullptr);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);

    FILE* in = std::fopen(file.c_str(), "rb");
    for (std::int64_t offset = 0; offset < kUploadSize; offset += kUploadChunkSize) {
        std::int64_t length = std::min(kUploadChunkSize, kUploadSize - offset);
        bool last = offset + length >= kUploadSize;
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "X-Ezev-Upload-Protocol: resumable");
        headers = curl_slist_append(headers,
                                    last ? "X-Ezev-Upload-Command: upload, finalize" : "X-Ezev-Upload-Command: upload");
        headers = curl_slist_append(headers, ("X-Ezev-Upload-Offset: " + std::to_string(offset)).c_str());
        headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
        headers = curl_slist_append(headers, "Expect:");
        std::fseek(in, static_cast<long>(offset), SEEK_SET);
        curl_easy_setopt(easy, CURLOPT_URL, location.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_READDATA, in);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length));
        if (curl_easy_perform(easy) != CURLE_OK) std::fprintf(stderr, "curl upload failed\n");
        curl_slist_free_all(headers);
    }
    std::fclose(in);
    curl_easy_cleanup(easy);
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// One side: a warm-up run (connections are opened then, and kept), then the measured run; prints its time
// and the peak memory.
int runChild(int argc, char** argv) {
    platform::UserDefaults::Store::setShared(platform::UserDefaults::Store::inMemory());
    std::string mode = argv[1];
    std::string url = argv[2];
    auto service = fetcher::SessionFetcherService::make();
    service->setAllowLocalhostRequest(true);
    service->setMaxRunningFetchersPerHost(kPerHostLimit);
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.httpMaximumConnectionsPerHost = kPerHostLimit;
    auto session = platform::URLSession::sessionWithConfiguration(configuration);
    std::optional<CurlNetworkThread> curl;
    if (mode == "--curl") curl.emplace();
    double ms = 0;
    for (int run = 0; run < 2; ++run) {
        if (mode == "--fetcher") ms = fetchesThroughService(service, url);
        if (mode == "--curl") ms = curl->fetch(url);
        if (mode == "--session") ms = fetchesThroughSession(session, url);
        if (mode == "--upload-fetcher" && argc > 3) ms = uploadThroughFetcher(url, argv[3]);
        if (mode == "--upload-curl" && argc > 3) ms = uploadThroughCurl(url, argv[3]);
    }
    platform::MainLoop::runFor(std::chrono::milliseconds(50));
    std::printf("%f %ld\n", ms, peakKilobytes());
    curl.reset();
    session->invalidateAndCancel();
    return 0;
}

struct Figures {
    double ms = 0;
    long peakKB = 0;
    // The lowest and highest ratio of one round's pair of runs (measured side only).
    double lowRatio = 0, highRatio = 0;
};

Figures runSide(const char* self, std::vector<std::string> args) {
    const std::string out = bench::runSelf(self, std::move(args));
    Figures f;
    std::sscanf(out.c_str(), "%lf %ld", &f.ms, &f.peakKB);
    return f;
}

// Runs the two sides in turn, a fresh process each time, so that both meet the same machine load.
std::pair<Figures, Figures> compare(const char* self, const std::vector<std::string>& reference,
                                    const std::vector<std::string>& measured) {
    std::vector<double> referenceTimes, measuredTimes;
    Figures a, b;
    for (int round = 0; round < kRounds; ++round) {
        // Alternate which side goes first: the machine's load drifts.
        Figures r, m;
        if (round % 2 == 0) {
            r = runSide(self, reference);
            m = runSide(self, measured);
        } else {
            m = runSide(self, measured);
            r = runSide(self, reference);
        }
        referenceTimes.push_back(r.ms);
        measuredTimes.push_back(m.ms);
        a.peakKB = std::max(a.peakKB, r.peakKB);
        b.peakKB = std::max(b.peakKB, m.peakKB);
        const double ratio = r.ms > 0 ? m.ms / r.ms : 0;
        b.lowRatio = round == 0 ? ratio : std::min(b.lowRatio, ratio);
        b.highRatio = round == 0 ? ratio : std::max(b.highRatio, ratio);
    }
    a.ms = median(referenceTimes);
    b.ms = median(measuredTimes);
    return {a, b};
}

// The server: the small JSON answer, and the upload protocol keeping only byte counts.
struct BenchServer {
    httplib::Server server;
    std::thread thread;
    int port = 0;
    std::mutex mutex;
    std::map<std::string, std::int64_t> received;
    int next = 0;

    BenchServer() {
        server.set_keep_alive_max_count(100000);
        // Small answers go out at once instead of waiting for the client's delayed acknowledgement.
        server.set_tcp_nodelay(true);
        // One worker per kept-alive connection at the least, so no connection waits for a free worker.
        server.new_task_queue = [] { return new httplib::ThreadPool(32); };
        // Both clients offer compression, but the server answers uncompressed: its brotli takes far more
        // time per answer than either client, so the figures would mostly time the server.
        server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
            const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
            return httplib::Server::HandlerResponse::Unhandled;
        });
        server.Get("/json",
                   [](const httplib::Request&, httplib::Response& res) { res.set_content(kJSON, "application/json"); });
        server.Post("/upload", [this](const httplib::Request&, httplib::Response& res) {
            std::lock_guard lock(mutex);
            std::string id = std::to_string(++next);
            received[id] = 0;
            res.set_header("X-Ezev-Upload-Status", "active");
            res.set_header("X-Ezev-Upload-URL", "http://127.0.0.1:" + std::to_string(port) + "/upload/" + id);
        });
        server.Put(R"(/upload/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex);
            auto& size = received[req.matches[1]];
            auto command = req.get_header_value("X-Ezev-Upload-Command");
            if (command != "query") size = std::stoll(req.get_header_value("X-Ezev-Upload-Offset")) + req.body.size();
            bool final = command.find("finalize") != std::string::npos;
            res.set_header("X-Ezev-Upload-Status", final ? "final" : "active");
            res.set_header("X-Ezev-Upload-Size-Received", std::to_string(size));
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~BenchServer() {
        server.stop();
        thread.join();
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) return runChild(argc, argv);

    BenchServer server;
    auto file =
        (std::filesystem::temp_directory_path() / ("fetcher-bench-" + std::to_string(getpid()) + ".bin")).string();
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, 'x');
        for (std::int64_t written = 0; written < kUploadSize; written += static_cast<std::int64_t>(block.size())) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }

    auto [viaCurl, viaFetcher] = compare(argv[0], {"--curl", server.url("/json")}, {"--fetcher", server.url("/json")});
    std::printf("%d fetches of a small JSON body, per-host limit %ld (median of %d runs, each in a fresh process)\n",
                kFetches, kPerHostLimit, kRounds);
    std::printf("  libcurl multi on a network thread, requests handed over one by one: %8.2f ms, peak %6ld KB\n",
                viaCurl.ms, viaCurl.peakKB);
    std::printf("  fetcher service: %8.2f ms, peak %6ld KB\n", viaFetcher.ms, viaFetcher.peakKB);
    std::printf("  ratio time %.2f (goal: at most 1.15), peak memory %.2f (goal: at most 1.20)\n",
                viaFetcher.ms / viaCurl.ms,
                static_cast<double>(viaFetcher.peakKB) / static_cast<double>(viaCurl.peakKB));
    std::printf("  time ratio per round: %.2f-%.2f\n", viaFetcher.lowRatio, viaFetcher.highRatio);

    auto [uploadCurl, uploadFetcher] = compare(argv[0], {"--upload-curl", server.url("/upload"), file},
                                               {"--upload-fetcher", server.url("/upload"), file});
    std::printf("Upload of a 50 MB file in 8 MiB chunks (median of %d runs)\n", kRounds);
    std::printf("  curl:                    %8.2f ms, peak %6ld KB\n", uploadCurl.ms, uploadCurl.peakKB);
    std::printf("  resumable upload fetcher: %8.2f ms, peak %6ld KB\n", uploadFetcher.ms, uploadFetcher.peakKB);
    std::printf("  ratio time %.2f, peak memory %.2f\n", uploadFetcher.ms / uploadCurl.ms,
                static_cast<double>(uploadFetcher.peakKB) / static_cast<double>(uploadCurl.peakKB));
    std::printf("  time ratio per round: %.2f-%.2f\n", uploadFetcher.lowRatio, uploadFetcher.highRatio);
    std::filesystem::remove(file);
    return 0;
}
