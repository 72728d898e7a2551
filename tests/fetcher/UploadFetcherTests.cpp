// The resumable upload fetcher against a local server of the upload protocol.
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include <doctest/doctest.h>

#include "fetcher/SessionFetcherService.hpp"
#include "fetcher/SessionUploadFetcher.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/fetcher/UploadProtocolServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;

namespace {

std::string payload(std::size_t size) {
    std::string out(size, '\0');
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return out;
}

struct TempFile {
    std::filesystem::path path;
    explicit TempFile(const std::string& contents) {
        static int counter = 0;
        path = std::filesystem::temp_directory_path() /
               ("fetcher-upload-" + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".bin");
        std::ofstream(path, std::ios::binary) << contents;
    }
    ~TempFile() { std::filesystem::remove(path); }
    platform::URL url() const { return platform::URL::fileURLWithPath(path.string()); }
};

// Bodies without a type go out as forms, which the test server refuses above 8 KiB: declare them as bytes.
void octetStreamBodies(std::shared_ptr<SessionFetcher>, platform::URLSessionConfiguration& configuration) {
    configuration.httpAdditionalHeaders.set("Content-Type", "application/octet-stream");
}

std::shared_ptr<SessionUploadFetcher> uploadFetcher(const UploadProtocolServer& server,
                                                    std::int64_t chunkSize) {
    platform::URLRequest request(server.startURL());
    auto fetcher = SessionUploadFetcher::uploadFetcherWithRequest(request, "application/octet-stream",
                                                                  chunkSize, nullptr);
    fetcher->setAllowLocalhostRequest(true);
    fetcher->setConfigurationBlock(octetStreamBodies);
    return fetcher;
}

// Begins the upload and makes its backoff steps short, as begin resets them to the defaults.
Completion runUpload(const std::shared_ptr<SessionUploadFetcher>& fetcher, double backoff = 0.005) {
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    fetcher->setMinUploadRetryInterval(backoff);
    REQUIRE(recorder.wait(std::chrono::seconds(20)));
    CHECK(recorder.count() == 1);
    if (recorder.first().error) MESSAGE("upload failed: " << recorder.first().error->description());
    return recorder.first();
}

// Compares what the server holds with the payload without printing megabytes on a mismatch.
bool sameBytes(const std::optional<UploadProtocolServer::Upload>& upload, const std::string& expected) {
    if (!upload) return false;
    if (upload->data.size() != expected.size()) {
        MESSAGE("server holds " << upload->data.size() << " bytes, expected " << expected.size());
        return false;
    }
    return upload->data == expected;
}

// A temporary folder of the test's own, so that parallel test runs do not see each other's chunk files.
struct PrivateTemporaryDirectory {
    std::filesystem::path path;
    std::optional<std::string> previous;
    PrivateTemporaryDirectory() {
        path = std::filesystem::temp_directory_path() / ("fetcher-tmp-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        if (const char* old = std::getenv("TMPDIR")) previous = old;
        ::setenv("TMPDIR", path.c_str(), 1);
    }
    ~PrivateTemporaryDirectory() {
        if (previous) {
            ::setenv("TMPDIR", previous->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        std::filesystem::remove_all(path);
    }
};

std::size_t temporaryChunkFiles() {
    std::size_t n = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(platform::FileSystem::temporaryDirectory())) {
        if (entry.path().filename().string().rfind("ETMUpload_temp_", 0) == 0) ++n;
    }
    return n;
}

}  // namespace

TEST_CASE("data is uploaded in chunks, a short tail going with the chunk before it") {
    FetcherEnvironment env;
    struct Case {
        std::size_t size;
        std::int64_t chunk;
        std::vector<std::string> commands;
    };
    const Case cases[] = {
        {250, 100, {"upload, finalize@0"}},
        {7400, 5000, {"upload, finalize@0"}},
        {7500, 5000, {"upload@0", "upload, finalize@5000"}},
        {10000, 5000, {"upload@0", "upload, finalize@5000"}},
        {12000, 5000, {"upload@0", "upload, finalize@5000"}},
        {0, 5000, {"finalize@0"}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.size);
        UploadProtocolServer server;
        auto data = payload(c.size);
        auto fetcher = uploadFetcher(server, c.chunk);
        fetcher->setUploadData(platform::toData(data));
        auto done = runUpload(fetcher);
        CHECK_FALSE(done.error);
        CHECK(text(done.data) == R"({"size":)" + std::to_string(c.size) + "}");
        CHECK(server.commands() == c.commands);
        REQUIRE(server.onlyUpload());
        CHECK(sameBytes(server.onlyUpload(), data));
        CHECK(server.onlyUpload()->finalized);
        CHECK(fetcher->statusCode() == 200);
        CHECK_FALSE(fetcher->uploadLocationURL());
        CHECK_FALSE(fetcher->isFetching());
    }
}

TEST_CASE("the start request announces the upload and every request carries the protocol headers") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto fetcher = uploadFetcher(server, 1000);
    fetcher->setUploadData(platform::toData(payload(1500)));
    NotificationCounter located(kSessionFetcherUploadLocationObtainedNotification, fetcher.get());
    runUpload(fetcher);
    auto requests = server.server.requests();
    REQUIRE(requests.size() == 2);
    CHECK(requests[0].method == "POST");
    CHECK(requests[0].header("X-Ezev-Upload-Command") == "start");
    CHECK(requests[0].header("X-Ezev-Upload-Content-Type") == "application/octet-stream");
    CHECK(requests[0].header("X-Ezev-Upload-Content-Length") == "1500");
    auto userAgent = requests[0].header("User-Agent").value_or("");
    CHECK(userAgent == standardUserAgentString(nullptr) + " (ETMSUF/1)");
    CHECK(requests[1].method == "PUT");
    CHECK(requests[1].header("X-Ezev-Upload-Protocol") == "resumable");
    CHECK(requests[1].header("User-Agent") == userAgent);
    CHECK(requests[1].header("Content-Length") == "1500");
    CHECK(requests[1].header("X-Ezev-Upload-Offset") == "0");
    CHECK(located.count() == 1);
}

TEST_CASE("a file is uploaded in chunks read from it, or straight from it when one request holds it all") {
    FetcherEnvironment env;
    auto contents = payload(300000);
    TempFile file(contents);
    PrivateTemporaryDirectory temporary;
    auto before = temporaryChunkFiles();

    SUBCASE("in chunks") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 100000);
        fetcher->setUploadFileURL(file.url());
        std::vector<std::int64_t> progressTotals;
        fetcher->setSendProgressBlock([&](std::int64_t, std::int64_t total, std::int64_t expected) {
            progressTotals.push_back(total);
            CHECK(expected == 300000);
        });
        auto done = runUpload(fetcher);
        CHECK_FALSE(done.error);
        CHECK(server.commands() ==
              std::vector<std::string>{"upload@0", "upload@100000", "upload, finalize@200000"});
        CHECK(sameBytes(server.onlyUpload(), contents));
        REQUIRE_FALSE(progressTotals.empty());
        CHECK(progressTotals.back() == 300000);
        CHECK(temporaryChunkFiles() == before);
    }
    SUBCASE("whole") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 1 << 20);
        fetcher->setUploadFileURL(file.url());
        CHECK_FALSE(runUpload(fetcher).error);
        CHECK(server.commands() == std::vector<std::string>{"upload, finalize@0"});
        CHECK(sameBytes(server.onlyUpload(), contents));
    }
    SUBCASE("a chunk size of 0 is one request, not an endless loop") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 0);
        CHECK(fetcher->chunkSize() == std::numeric_limits<std::int64_t>::max());
        fetcher->setUploadFileURL(file.url());
        CHECK_FALSE(runUpload(fetcher).error);
        CHECK(server.commands() == std::vector<std::string>{"upload, finalize@0"});
    }
    SUBCASE("from a file handle") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 128000);
        fetcher->setUploadFileHandle(std::make_shared<std::ifstream>(file.path, std::ios::binary));
        CHECK_FALSE(runUpload(fetcher).error);
        CHECK(sameBytes(server.onlyUpload(), contents));
    }
}

TEST_CASE("a connection dropped mid-chunk is resumed from the offset the server reports") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto data = payload(20000);
    auto fetcher = uploadFetcher(server, 5000);
    fetcher->setRetryEnabled(true);
    fetcher->setUploadData(platform::toData(data));
    server.dropNextChunkKeeping(1234);
    NotificationCounter backoffs(kSessionFetcherUploadInitialBackoffStartedNotification, fetcher.get());
    auto done = runUpload(fetcher);
    CHECK_FALSE(done.error);
    CHECK(sameBytes(server.onlyUpload(), data));
    CHECK(server.commands() == std::vector<std::string>{"upload@0", "query", "upload@1234", "upload@6234",
                                                        "upload@11234", "upload, finalize@16234"});
    // One backoff before the chunk after the query; the chunk that went through ended it.
    CHECK(backoffs.count() == 1);
    CHECK(fetcher->nextUploadRetryInterval() == 0);
}

TEST_CASE("a file's chunks are sent from the file in place, also from the offset an interrupted chunk left") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto contents = payload(20000);
    TempFile file(contents);
    PrivateTemporaryDirectory temporary;
    auto before = temporaryChunkFiles();
    auto fetcher = uploadFetcher(server, 5000);
    fetcher->setRetryEnabled(true);
    fetcher->setUploadFileURL(file.url());
    server.dropNextChunkKeeping(1234);
    auto done = runUpload(fetcher);
    CHECK_FALSE(done.error);
    CHECK(sameBytes(server.onlyUpload(), contents));
    CHECK(server.commands() == std::vector<std::string>{"upload@0", "query", "upload@1234", "upload@6234",
                                                        "upload@11234", "upload, finalize@16234"});
    CHECK(temporaryChunkFiles() == before);
}

TEST_CASE("offsets are rounded to the server's granularity for the header and the bytes alike") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    server.setGranularity(262144);
    auto data = payload(2000000);
    auto fetcher = uploadFetcher(server, 1000000);
    fetcher->setRetryEnabled(true);
    fetcher->setUploadData(platform::toData(data));
    server.dropNextChunkKeeping(300000);
    auto done = runUpload(fetcher);
    CHECK_FALSE(done.error);
    CHECK(fetcher->uploadGranularity() == 262144);
    CHECK(server.commands() == std::vector<std::string>{"upload@0", "query", "upload@262144",
                                                        "upload@1048576", "upload, finalize@1835008"});
    CHECK(sameBytes(server.onlyUpload(), data));
}

TEST_CASE("failures the upload cannot recover from reach the caller") {
    FetcherEnvironment env;
    SUBCASE("a start reply without an upload address") {
        UploadProtocolServer server;
        server.omitLocation();
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData("abc"));
        auto done = runUpload(fetcher);
        REQUIRE(done.error);
        CHECK(done.error->domain() == kSessionFetcherStatusDomain);
        CHECK(done.error->code() == 501);
    }
    SUBCASE("a chunk answered 404 keeps the upload address for a later restart") {
        UploadProtocolServer server;
        server.failNextChunkWithStatus(404);
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData(payload(3000)));
        auto done = runUpload(fetcher);
        REQUIRE(done.error);
        CHECK(done.error->code() == 404);
        CHECK(fetcher->uploadLocationURL());
    }
    SUBCASE("a chunk answered 400 while the server is active goes through an offset query") {
        UploadProtocolServer server;
        server.failNextChunkWithStatus(400);
        auto fetcher = uploadFetcher(server, 1000);
        auto data = payload(3000);
        fetcher->setUploadData(platform::toData(data));
        CHECK_FALSE(runUpload(fetcher).error);
        CHECK(sameBytes(server.onlyUpload(), data));
    }
    SUBCASE("a 503 with retry off is delivered") {
        UploadProtocolServer server;
        server.failNextChunkWithStatus(503);
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData(payload(3000)));
        auto done = runUpload(fetcher);
        REQUIRE(done.error);
        CHECK(done.error->code() == 503);
    }
    SUBCASE("backoff past the maximum ends with Retry Limit Reached") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData(payload(3000)));
        server.failNextChunkWithStatus(400);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        fetcher->setMinUploadRetryInterval(0.005);
        fetcher->setMaxUploadRetryInterval(0.004);
        REQUIRE(recorder.wait());
        REQUIRE(recorder.first().error);
        CHECK(recorder.first().error->code() == -2);
        CHECK(*recorder.first().error->userInfoValue("description")->string() == "Retry Limit Reached");
    }
}

TEST_CASE("a server that keeps answering active without taking the upload ends it after a few chunks") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    SUBCASE("chunks answered with the same received size") { server.reportReceivedSize("0"); }
    SUBCASE("a finalize that never ends the upload") { server.neverFinalize(); }
    auto fetcher = uploadFetcher(server, 1000);
    fetcher->setUploadData(platform::toData(payload(3000)));
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    // Short backoff steps, and a maximum the steps stay under: only the count of such replies ends it.
    fetcher->setMinUploadRetryInterval(0.005);
    fetcher->setMaxUploadRetryInterval(1000);
    REQUIRE(recorder.wait(std::chrono::seconds(20)));
    REQUIRE(recorder.first().error);
    CHECK(recorder.first().error->domain() == kSessionFetcherErrorDomain);
    CHECK(recorder.first().error->code() == -2);
    CHECK(recorder.first().error->userInfoValue("description")->string()->find("no progress") !=
          std::string::npos);
    // Each reply without progress waited longer than the one before, and there were only a few.
    CHECK(server.commands().size() <= 10);
    CHECK(fetcher->nextUploadRetryInterval() > 0.3);
    CHECK(fetcher->uploadLocationURL());
}

TEST_CASE("a received size the upload cannot have is a protocol error that ends it") {
    FetcherEnvironment env;
    SUBCASE("from a chunk reply") {
        for (std::string size : {"9223372036854775807", "-1", "-9223372036854775808", "3001"}) {
            CAPTURE(size);
            UploadProtocolServer server;
            server.reportReceivedSize(size);
            auto fetcher = uploadFetcher(server, 1000);
            fetcher->setUploadData(platform::toData(payload(3000)));
            auto done = runUpload(fetcher);
            REQUIRE(done.error);
            CHECK(done.error->domain() == kSessionFetcherStatusDomain);
            CHECK(done.error->code() == 501);
            CHECK(server.commands().size() == 1);
        }
    }
    SUBCASE("also from an offset query") {
        UploadProtocolServer server;
        std::string contents = payload(3000);
        auto location = server.createUpload(contents.substr(0, 1000));
        server.reportReceivedSize("4000");
        auto fetcher = SessionUploadFetcher::uploadFetcherWithLocation(location, "application/octet-stream",
                                                                       1000, nullptr);
        fetcher->setAllowLocalhostRequest(true);
        fetcher->setUploadData(platform::toData(contents));
        auto done = runUpload(fetcher);
        REQUIRE(done.error);
        CHECK(done.error->code() == 501);
        CHECK(server.commands() == std::vector<std::string>{"query"});
    }
}

TEST_CASE("a data provider supplies the chunks and may tell the full length late") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto data = payload(10000);
    auto fetcher = uploadFetcher(server, 5000);
    fetcher->setUploadDataLength(-1, [data](std::int64_t offset, std::int64_t length,
                                            SessionUploadFetcher::DataProviderResponse reply) {
        auto end = std::min<std::int64_t>(offset + length, static_cast<std::int64_t>(data.size()));
        auto begin = std::min<std::int64_t>(offset, end);
        // The length becomes known only once the provider is asked past the end.
        auto size = static_cast<std::int64_t>(data.size());
        reply(platform::Data(data.begin() + begin, data.begin() + end), offset >= size ? size : -1,
              std::nullopt);
    });
    CHECK_FALSE(runUpload(fetcher).error);
    CHECK(sameBytes(server.onlyUpload(), data));
    CHECK(server.commands() == std::vector<std::string>{"upload@0", "upload@5000", "finalize@10000"});
}

TEST_CASE("stopping an upload cancels it on the server once it has an address") {
    FetcherEnvironment env;
    SUBCASE("before the start reply: the cancellation handler gets nothing") {
        UploadProtocolServer server;
        server.server.on("POST", "/upload",
                         server.server.delayed(std::chrono::milliseconds(1000),
                                               brisko::testing::HttpTestServer::text(200, "")));
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData("abc"));
        int called = 0;
        bool allNothing = false;
        fetcher->setCancellationHandler([&](auto f, auto data, auto error) {
            ++called;
            allNothing = !f && !data && !error;
        });
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(server.server.waitForRequests(1));
        fetcher->stopFetching();
        REQUIRE(platform::MainLoop::runUntil([&] { return called > 0; }));
        CHECK(allNothing);
        CHECK(recorder.count() == 0);
    }
    SUBCASE("after it: a cancel request, whose result the handler receives") {
        UploadProtocolServer server;
        auto fetcher = uploadFetcher(server, 1000);
        fetcher->setUploadData(platform::toData(payload(5000)));
        std::optional<std::string> cancelStatus;
        fetcher->setCancellationHandler([&](std::shared_ptr<SessionFetcher> f, auto, auto error) {
            CHECK_FALSE(error);
            cancelStatus = f ? f->responseHeaders()->get("X-Ezev-Upload-Status") : std::nullopt;
        });
        fetcher->pauseFetching();
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(platform::MainLoop::runUntil([&] { return fetcher->uploadLocationURL().has_value(); }));
        fetcher->stopFetching();
        REQUIRE(platform::MainLoop::runUntil([&] { return cancelStatus.has_value(); }));
        CHECK(*cancelStatus == "cancelled");
        CHECK(server.onlyUpload()->cancelled);
        CHECK(server.commands().back() == "cancel");
        CHECK(recorder.count() == 0);
    }
}

TEST_CASE("pause stops sending and resume continues from the server's offset") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto data = payload(4000);
    auto fetcher = uploadFetcher(server, 1000);
    fetcher->setUploadData(platform::toData(data));
    fetcher->pauseFetching();
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(platform::MainLoop::runUntil([&] { return fetcher->uploadLocationURL().has_value(); }));
    platform::MainLoop::runFor(std::chrono::milliseconds(100));
    CHECK(server.commands().empty());
    fetcher->resumeFetching();
    REQUIRE(recorder.wait());
    CHECK_FALSE(recorder.first().error);
    CHECK(server.commands().front() == "query");
    CHECK(sameBytes(server.onlyUpload(), data));
}

TEST_CASE(
    "an upload whose chunk fetcher ran in a background session is rebuilt and finished after a restart") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto contents = payload(50000);
    TempFile file(contents);
    // The previous run got 20000 bytes to the server, then ended during the chunk after them.
    auto location = server.createUpload(contents.substr(0, 20000));
    platform::Dictionary metadata{{"_upChunk", true},
                                  {"_upFileURL", file.url().absoluteString()},
                                  {"_upFileLen", static_cast<std::int64_t>(contents.size())},
                                  {"_upLocURL", location.absoluteString()},
                                  {"_uploadMIME", "application/octet-stream"},
                                  {"_upChSize", 0},
                                  {"_upOffset", 20000}};
    std::string identifier;
    {
        auto lostChunk = SessionFetcher::fetcherWithURL(location);
        identifier = lostChunk->createSessionIdentifierWithMetadata(metadata);
    }
    platform::UserDefaults::standard()->setObject(
        platform::Value(platform::Array{platform::Value(identifier)}),
        kSessionFetcherPersistedDestinationKey);

    auto restored = SessionUploadFetcher::uploadFetchersForBackgroundSessions();
    REQUIRE(restored.size() == 1);
    auto upload = restored[0];
    upload->setConfigurationBlock(octetStreamBodies);
    CHECK(upload->chunkSize() == std::numeric_limits<std::int64_t>::max());
    CHECK(upload->currentOffset() == 20000);
    CHECK(upload->uploadLocationURL() == location);
    CHECK(upload->chunkFetcher()->sessionIdentifier() == identifier);
    CHECK(SessionUploadFetcher::uploadFetcherForSessionIdentifier(identifier) == upload);
    CHECK(SessionUploadFetcher::parentUploadFetcher(upload->chunkFetcher()) == nullptr);

    CompletionRecorder recorder;
    upload->setCompletionHandler(recorder.handler());
    upload->setMinUploadRetryInterval(0.005);
    REQUIRE(recorder.wait(std::chrono::seconds(10)));
    CHECK_FALSE(recorder.first().error);
    CHECK(server.commands().front() == "query");
    CHECK(sameBytes(server.upload(location.lastPathComponent()), contents));
}

TEST_CASE("metadata that cannot be rebuilt stops its background fetcher") {
    FetcherEnvironment env;
    CHECK_FALSE(SessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(
        platform::Dictionary{{"_upChunk", true}, {"_upFileLen", 10}}));
    CHECK_FALSE(SessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(platform::Dictionary{
        {"_upChunk", true}, {"_upFileURL", "file:///tmp/x"}, {"_upFileLen", 10}, {"_upOffset", 11}}));
    // Reals out of the integer range (an edited or damaged record) are refused, never converted.
    CHECK_FALSE(SessionUploadFetcher::uploadFetcherForSessionIdentifierMetadata(platform::Dictionary{
        {"_upChunk", true}, {"_upFileURL", "file:///tmp/x"}, {"_upFileLen", 1e300}, {"_upOffset", 0}}));

    auto lost = SessionFetcher::fetcherWithURLString("https://example.invalid/upload/1");
    auto identifier = lost->createSessionIdentifierWithMetadata(platform::Dictionary{
        {"_upChunk", true}, {"_upFileURL", "file:///tmp/x"}, {"_upFileLen", 10}, {"_upOffset", 11}});
    lost.reset();
    platform::UserDefaults::standard()->setObject(
        platform::Value(platform::Array{platform::Value(identifier)}),
        kSessionFetcherPersistedDestinationKey);
    CHECK(SessionUploadFetcher::uploadFetchersForBackgroundSessions().empty());
    // Stopped, so no longer recorded as running.
    CHECK_FALSE(platform::UserDefaults::standard()->objectForKey(kSessionFetcherPersistedDestinationKey));
}

TEST_CASE("turning background chunks on twice registers an upload once; off removes it") {
    FetcherEnvironment env;
    UploadProtocolServer server;
    auto fetcher = uploadFetcher(server, 1000);
    CHECK(fetcher->useBackgroundSession());
    fetcher->setUseBackgroundSession(true);
    fetcher->setUseBackgroundSession(false);
    CHECK_FALSE(fetcher->useBackgroundSession());
    CHECK(SessionUploadFetcher::uploadFetchersForBackgroundSessions().empty());
}

TEST_CASE("uploads joining and leaving the background registry while the reconnect scan runs do not deadlock") {
    // Joining takes the fetcher's lock and then the registry's; the scan must never take them the other
    // way round (ThreadSanitizer reports such a cycle even in a run that does not hang).
    FetcherEnvironment env;
    std::vector<std::shared_ptr<SessionUploadFetcher>> fetchers;
    for (int i = 0; i < 8; ++i) {
        fetchers.push_back(SessionUploadFetcher::uploadFetcherWithLocation(
            platform::URL::parse("http://127.0.0.1:9/upload/" + std::to_string(i)), "application/octet-stream",
            1000, nullptr));
    }
    std::atomic<bool> toggled{false};
    std::thread toggler([&] {
        for (int round = 0; round < 200; ++round) {
            for (auto& fetcher : fetchers) fetcher->setUseBackgroundSession(round % 2 == 1);
        }
        toggled = true;
    });
    int scans = 0, found = 0;
    while (!toggled && scans < 100000) {
        // None of them has a chunk fetcher in a background session: the scan finds nothing to reconnect.
        found += static_cast<int>(SessionUploadFetcher::uploadFetchersForBackgroundSessions().size());
        ++scans;
    }
    toggler.join();
    CHECK(found == 0);
    for (auto& fetcher : fetchers) CHECK(fetcher->useBackgroundSession());
}
