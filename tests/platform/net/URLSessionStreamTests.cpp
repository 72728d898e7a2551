// Streamed request bodies: input streams, the bounded reader and uploads of streams to a local server.
#include <doctest/doctest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "platform/net/InputStream.hpp"
#include "platform/net/URLSession.hpp"
#include "platform/net/URLSessionBodyStream.hpp"
#include "tests/platform/base/TaskEventRecorder.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko::platform;
using brisko::testing::HttpTestServer;
using brisko::testing::TaskEventRecorder;

namespace {

char patternByte(std::int64_t i) {
    return static_cast<char>('a' + i % 23);
}

std::string pattern(std::int64_t size) {
    std::string s(static_cast<std::size_t>(size), '\0');
    for (std::int64_t i = 0; i < size; ++i) s[static_cast<std::size_t>(i)] = patternByte(i);
    return s;
}

// Makes `size` pattern bytes as it is read (no copy of the whole body exists); can fail after
// `failAt` bytes, and can stop before each read until the test lets it go on.
class PatternStream : public InputStream {
public:
    explicit PatternStream(std::int64_t size, std::optional<std::int64_t> failAt = std::nullopt)
        : size_(size), failAt_(failAt) {}

    std::function<void(std::int64_t produced)> onRead;
    std::atomic<bool> closed{false};

    // Reads past `bytes` wait for release().
    void holdAfter(std::int64_t bytes) {
        std::lock_guard lock(mutex_);
        holdAfter_ = bytes;
    }
    void release() {
        std::lock_guard lock(mutex_);
        holdAfter_.reset();
        cv_.notify_all();
    }
    bool waitUntilHeld() {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return held_; });
    }

protected:
    std::int64_t readSource(std::uint8_t* buffer, std::size_t maxLength, std::optional<Error>& error) override {
        {
            std::unique_lock lock(mutex_);
            if (holdAfter_ && position_ >= *holdAfter_) {
                held_ = true;
                cv_.notify_all();
                cv_.wait(lock, [&] { return !holdAfter_; });
            }
        }
        if (failAt_ && position_ >= *failAt_) {
            error = Error::posix(EIO, "test stream");
            return -1;
        }
        std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(maxLength), size_ - position_);
        if (failAt_) n = std::min(n, *failAt_ - position_);
        for (std::int64_t i = 0; i < n; ++i) buffer[i] = static_cast<std::uint8_t>(patternByte(position_ + i));
        position_ += n;
        if (onRead) onRead(position_);
        return n;
    }
    void closeSource() override { closed = true; }

private:
    std::int64_t size_;
    std::optional<std::int64_t> failAt_;
    std::int64_t position_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<std::int64_t> holdAfter_;
    bool held_ = false;
};

std::string readAll(InputStream& stream, std::size_t pieceSize = 7) {
    std::string out;
    std::vector<std::uint8_t> buffer(pieceSize);
    while (true) {
        auto n = stream.read(buffer.data(), buffer.size());
        if (n <= 0) break;
        out.append(buffer.begin(), buffer.begin() + n);
    }
    return out;
}

URLRequest streamedPost(const URL& url, std::optional<std::int64_t> contentLength = std::nullopt) {
    URLRequest request(url);
    request.setHTTPMethod("POST");
    request.setValue("application/octet-stream", "Content-Type");
    if (contentLength) request.setValue(std::to_string(*contentLength), "Content-Length");
    return request;
}

}  // namespace

TEST_CASE("input streams read memory and files in pieces, then report the end or the error") {
    auto data = InputStream::inputStreamWithData(toData("hello, stream"));
    CHECK(data->read(nullptr, 0) == -1);  // not open yet
    data->open();
    CHECK(data->streamStatus() == StreamStatus::open);
    CHECK(readAll(*data) == "hello, stream");
    CHECK(data->streamStatus() == StreamStatus::atEnd);
    CHECK_FALSE(data->hasBytesAvailable());
    data->close();
    CHECK(data->streamStatus() == StreamStatus::closed);

    auto path = std::filesystem::temp_directory_path() / ("brisko-stream-" + std::to_string(::getpid()));
    std::ofstream(path) << "file body";
    auto file = InputStream::inputStreamWithURL(URL::fileURLWithPath(path.string()));
    REQUIRE(file);
    file->open();
    CHECK(readAll(*file, 4) == "file body");
    std::filesystem::remove(path);

    auto missing = InputStream::inputStreamWithFileAtPath(path.string());
    missing->open();
    CHECK(missing->streamStatus() == StreamStatus::error);
    REQUIRE(missing->streamError());
    CHECK(missing->streamError()->code() == ENOENT);
    CHECK(missing->read(nullptr, 1) == -1);

    CHECK_FALSE(InputStream::inputStreamWithURL(*URL::parse("https://example.com/x")));
}

TEST_CASE("the body reader keeps at most its capacity in memory however long the stream") {
    constexpr std::int64_t size = 8 * 1024 * 1024;
    auto stream = std::make_shared<PatternStream>(size);
    std::mutex mutex;
    std::condition_variable cv;
    int wakes = 0;
    auto reader = std::make_shared<detail::URLSessionBodyStream>(stream, std::nullopt, [&] {
        std::lock_guard lock(mutex);
        ++wakes;
        cv.notify_all();
    });
    std::atomic<std::int64_t> mostAhead{0};
    stream->onRead = [&](std::int64_t produced) { mostAhead = std::max(mostAhead.load(), produced - reader->taken()); };
    reader->start();

    std::string received;
    std::vector<char> buffer(100000);
    while (true) {
        int wakesBefore;
        {
            std::lock_guard lock(mutex);
            wakesBefore = wakes;
        }
        auto taken = reader->take(buffer.data(), buffer.size());
        if (taken.state == detail::URLSessionBodyStream::State::end) break;
        REQUIRE(taken.state != detail::URLSessionBodyStream::State::failed);
        if (taken.state == detail::URLSessionBodyStream::State::wait) {
            std::unique_lock lock(mutex);
            REQUIRE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return wakes > wakesBefore; }));
            continue;
        }
        received.append(buffer.data(), taken.count);
    }
    CHECK(received.size() == static_cast<std::size_t>(size));
    CHECK(received == pattern(size));
    CHECK(mostAhead.load() <=
          static_cast<std::int64_t>(detail::URLSessionBodyStream::kCapacity + detail::URLSessionBodyStream::kReadSize));
    reader->stop();
}

TEST_CASE("a streamed body arrives whole, chunked or with its Content-Length, with upload progress") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::text(200, "stored"));
    const std::int64_t size = 300000;

    struct Case {
        const char* name;
        bool announceLength;
        bool streamInRequest;
    };
    for (auto c :
         {Case{"chunked, stream from the delegate", false, false}, Case{"chunked, stream in the request", false, true},
          Case{"Content-Length, stream from the delegate", true, false},
          Case{"Content-Length, stream in the request", true, true}}) {
        CAPTURE(std::string(c.name));
        server.clearRequests();
        auto delegate = std::make_shared<TaskEventRecorder>();
        delegate->provideStream = [&] { return std::make_shared<PatternStream>(size); };
        auto session =
            URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        auto request = streamedPost(server.url("/upload"), c.announceLength ? std::optional(size) : std::nullopt);
        if (c.streamInRequest) request.setHTTPBodyStream(std::make_shared<PatternStream>(size));
        auto task = session->uploadTaskWithStreamedRequest(request);
        task->resume();
        delegate->waitForCompletion();
        CHECK_FALSE(delegate->error());
        CHECK(delegate->status() == 200);
        CHECK(delegate->body() == "stored");
        CHECK(delegate->streamsAsked() == (c.streamInRequest ? 0 : 1));
        auto received = server.requestsTo("/upload");
        REQUIRE(received.size() == 1);
        CHECK(received[0].body == pattern(size));
        if (c.announceLength) {
            CHECK(received[0].header("Content-Length") == std::to_string(size));
            CHECK_FALSE(received[0].header("Transfer-Encoding"));
        } else {
            CHECK(received[0].header("Transfer-Encoding") == "chunked");
        }
        auto [sent, expected] = delegate->sent();
        CHECK(sent == size);
        CHECK(expected == (c.announceLength ? size : kURLSessionTransferSizeUnknown));
        CHECK(task->countOfBytesSent() == size);
        session->finishTasksAndInvalidate();
    }
}

TEST_CASE("a stream of several megabytes uploads whole") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::text(200, "stored"));
    constexpr std::int64_t size = 6 * 1024 * 1024 + 123;
    auto delegate = std::make_shared<TaskEventRecorder>();
    delegate->provideStream = [&] { return std::make_shared<PatternStream>(size); };
    auto session =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    session->uploadTaskWithStreamedRequest(streamedPost(server.url("/upload")))->resume();
    delegate->waitForCompletion();
    CHECK_FALSE(delegate->error());
    auto received = server.requestsTo("/upload");
    REQUIRE(received.size() == 1);
    CHECK(received[0].body.size() == static_cast<std::size_t>(size));
    CHECK(received[0].body == pattern(size));
    session->finishTasksAndInvalidate();
}

TEST_CASE("a 307 redirect asks for a new body stream and sends the body again") {
    HttpTestServer server;
    server.on("POST", "/moved", HttpTestServer::redirect(307, "/upload"));
    server.on("POST", "/upload", HttpTestServer::echo());
    for (bool streamInRequest : {false, true}) {
        CAPTURE(streamInRequest);
        server.clearRequests();
        auto delegate = std::make_shared<TaskEventRecorder>();
        delegate->provideStream = [] { return InputStream::inputStreamWithData(toData("the body")); };
        auto session =
            URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        auto request = streamedPost(server.url("/moved"));
        if (streamInRequest) request.setHTTPBodyStream(InputStream::inputStreamWithData(toData("the body")));
        session->uploadTaskWithStreamedRequest(request)->resume();
        delegate->waitForCompletion();
        CHECK_FALSE(delegate->error());
        CHECK(delegate->body() == "the body");
        CHECK(delegate->streamsAsked() == (streamInRequest ? 1 : 2));
        REQUIRE(server.requestsTo("/moved").size() == 1);
        CHECK(server.requestsTo("/moved")[0].body == "the body");
        session->finishTasksAndInvalidate();
    }
}

TEST_CASE("a streamed upload fails when the stream is missing, breaks or ends short") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::text(200, "stored"));
    struct Case {
        const char* name;
        std::function<std::shared_ptr<InputStream>()> provide;
        std::optional<std::int64_t> contentLength;
        int code;
    };
    const Case cases[] = {
        {"the delegate gives no stream", nullptr, std::nullopt, -1021},
        {"a read fails", [] { return std::make_shared<PatternStream>(500000, 200000); }, std::nullopt,
         static_cast<int>(URLErrorCode::noPermissionsToReadFile)},
        {"the stream cannot be opened", [] { return InputStream::inputStreamWithFileAtPath("/nonexistent/body"); },
         std::nullopt, static_cast<int>(URLErrorCode::noPermissionsToReadFile)},
        {"the stream ends before its Content-Length", [] { return std::make_shared<PatternStream>(1000); }, 5000,
         -1021},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        auto delegate = std::make_shared<TaskEventRecorder>();
        delegate->provideStream = c.provide;
        auto session =
            URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
        session->uploadTaskWithStreamedRequest(streamedPost(server.url("/upload"), c.contentLength))->resume();
        delegate->waitForCompletion();
        REQUIRE(delegate->error());
        CHECK(delegate->error()->domain() == kURLErrorDomain);
        CHECK(delegate->error()->code() == c.code);
        session->finishTasksAndInvalidate();
    }

    // Without a delegate there is nobody to ask for a stream.
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    auto task = session->uploadTaskWithStreamedRequest(streamedPost(server.url("/upload")));
    task->resume();
    REQUIRE(MainLoop::runUntil([&] { return task->state() == URLSessionTaskState::completed; }));
    CHECK(task->error()->code() == -1021);
    session->finishTasksAndInvalidate();
}

TEST_CASE("cancelling a task in the middle of a stream ends it with -999 and closes the stream") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::text(200, "stored"));
    auto stream = std::make_shared<PatternStream>(4 * 1024 * 1024);
    stream->holdAfter(100000);
    auto delegate = std::make_shared<TaskEventRecorder>();
    delegate->provideStream = [stream] { return stream; };
    auto session =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), delegate);
    auto task = session->uploadTaskWithStreamedRequest(streamedPost(server.url("/upload")));
    task->resume();
    REQUIRE(stream->waitUntilHeld());
    task->cancel();
    delegate->waitForCompletion();
    CHECK(isURLError(delegate->error(), URLErrorCode::cancelled));
    stream->release();
    CHECK(MainLoop::runUntil([&] { return stream->closed.load(); }));
    session->finishTasksAndInvalidate();
}
