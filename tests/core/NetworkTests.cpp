// The utilities' network client against a local HTTP server.
#include <doctest/doctest.h>

#include <httplib.h>
#include <utime.h>

#include <atomic>
#include <thread>

#include "core/Gzip.hpp"
#include "core/Network.hpp"
#include "platform/storage/FileSystem.hpp"
#include "tests/core/CoreTestEnvironment.hpp"

using namespace brisko;
using namespace brisko::core;

namespace {

class LocalServer {
  public:
    LocalServer() {
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~LocalServer() {
        server_.stop();
        thread_.join();
    }
    httplib::Server& server() { return server_; }
    platform::URL url(std::string_view path) const {
        return *platform::URL::parse("http://127.0.0.1:" + std::to_string(port_) + std::string(path));
    }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

struct Outcome {
    std::shared_ptr<const platform::HTTPURLResponse> response;
    std::optional<platform::Data> data;
    std::optional<platform::Error> error;
    bool onMain = false;
};

struct Capture {
    std::optional<Outcome> outcome;
    Network::Completion completion() {
        return [this](auto response, auto data, auto error) {
            outcome = Outcome{response, data, error, platform::isMainThread()};
        };
    }
    const Outcome& wait() {
        REQUIRE(testing::waitOnMain([&] { return outcome.has_value(); }));
        return *outcome;
    }
};

// The payload as posted: the local server may or may not have inflated the gzip body already.
std::string postedPayload(const std::string& body) {
    if (auto inflated = dataByInflatingGzippedData(platform::toData(body)))
        return platform::toString(*inflated);
    return body;
}

std::shared_ptr<Network> makeNetwork() {
    auto fake = platform::FakeReachability::make();
    static std::vector<std::shared_ptr<platform::FakeReachability>> keep;
    keep.push_back(fake);
    auto network = Network::initWithReachabilityHost("127.0.0.1", fake->api());
    REQUIRE(network);
    return network;
}

}  // namespace

TEST_CASE(
    "a POST sends the payload gzip-compressed with its headers and delivers the reply on the main queue") {
    LocalServer local;
    std::string encoding, type, length, custom, body;
    local.server().Post("/upload", [&](const httplib::Request& req, httplib::Response& res) {
        encoding = req.get_header_value("Content-Encoding");
        type = req.get_header_value("Content-Type");
        length = req.get_header_value("Content-Length");
        custom = req.get_header_value("X-Custom");
        body = req.body;
        res.set_content("accepted", "text/plain");
    });
    auto network = makeNetwork();
    Capture capture;
    const std::string payload(2000, 'x');
    auto sessionID = network->postURL(local.url("/upload"), {{"X-Custom", "yes"}}, platform::toData(payload),
                                      nullptr, false, capture.completion());
    REQUIRE(sessionID);
    CHECK(sessionID->starts_with("com.eul.network.background-upload-"));
    CHECK(network->hasUploadInProgress());
    const auto& outcome = capture.wait();
    CHECK_FALSE(outcome.error);
    REQUIRE(outcome.response);
    CHECK(outcome.response->statusCode() == 200);
    CHECK(outcome.data == platform::toData("accepted"));
    CHECK(outcome.onMain);
    CHECK_FALSE(network->hasUploadInProgress());
    CHECK(encoding == "gzip");
    CHECK(type == "application/x-www-form-urlencoded");
    CHECK(custom == "yes");
    CHECK(postedPayload(body) == payload);
}

TEST_CASE("an empty payload is posted with an empty body and a zero length") {
    LocalServer local;
    std::string length = "unset";
    std::size_t size = 99;
    local.server().Post("/empty", [&](const httplib::Request& req, httplib::Response& res) {
        length = req.get_header_value("Content-Length");
        size = req.body.size();
        res.status = 204;
    });
    auto network = makeNetwork();
    Capture capture;
    network->postURL(local.url("/empty"), {}, nullptr, false, capture.completion());
    CHECK(capture.wait().response->statusCode() == 204);
    CHECK(length == "0");
    CHECK(size == 0);
}

TEST_CASE("a redirect of 302 is delivered, not followed; a 303 is followed") {
    LocalServer local;
    std::atomic<int> targetHits{0};
    local.server().Get(
        "/moved", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/target", 302); });
    local.server().Get("/see-other", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/target", 303);
    });
    local.server().Get("/target", [&](const httplib::Request&, httplib::Response& res) {
        ++targetHits;
        res.set_content("target", "text/plain");
    });
    auto network = makeNetwork();
    Capture moved;
    network->getURL(local.url("/moved"), {}, nullptr, false, moved.completion());
    CHECK(moved.wait().response->statusCode() == 302);
    CHECK(targetHits == 0);
    Capture seeOther;
    network->getURL(local.url("/see-other"), {}, nullptr, false, seeOther.completion());
    CHECK(seeOther.wait().response->statusCode() == 200);
    CHECK(seeOther.wait().data == platform::toData("target"));
}

TEST_CASE("a transfer that breaks off in the body is reported as a failure") {
    LocalServer local;
    local.server().Get("/partial", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(100000, "text/plain", [](std::size_t, std::size_t, httplib::DataSink& sink) {
            sink.write("0123456789", 10);
            return false;  // closes the connection with most of the body missing
        });
    });
    auto network = makeNetwork();
    Capture capture;
    network->getURL(local.url("/partial"), {}, nullptr, false, capture.completion());
    const auto& outcome = capture.wait();
    REQUIRE(outcome.error);
    CHECK(outcome.error->domain() == platform::kURLErrorDomain);
}

TEST_CASE("a background upload goes through a temporary file that is removed afterwards, with stale files") {
    LocalServer local;
    std::string received;
    local.server().Post("/bg", [&](const httplib::Request& req, httplib::Response& res) {
        received = req.body;
        res.status = 200;
    });
    const auto folder = NetworkURLSession::temporaryDirectory();
    platform::FileSystem::createDirectory(folder, true);
    const auto stale = folder / "EULUpload_temp_stale";
    const auto recent = folder / "EULUpload_temp_recent";
    platform::FileSystem::writeFileAtomically(stale, platform::toData("old"));
    platform::FileSystem::writeFileAtomically(recent, platform::toData("new"));
    // Without birth times the modification time stands in; where birth times exist the stale file may
    // look new, so only the upload file's own removal is certain.
    const utimbuf old{0, 0};
    ::utime(stale.c_str(), &old);

    auto network = makeNetwork();
    Capture capture;
    auto sessionID = network->postURL(local.url("/bg"), platform::toData("background body"), nullptr, true,
                                      capture.completion());
    REQUIRE(sessionID);
    const auto uploadFile = folder / ("EULUpload_temp_" + *sessionID);
    CHECK(capture.wait().response->statusCode() == 200);
    CHECK(postedPayload(received) == "background body");
    CHECK_FALSE(std::filesystem::exists(uploadFile));
    CHECK(std::filesystem::exists(recent));
}

TEST_CASE("request errors, logs and system completion handlers") {
    auto network = makeNetwork();
    struct Lines : NetworkLoggerDelegate {
        std::vector<std::pair<long, std::string>> lines;
        void networkLogWithLevel(long level, NetworkMessageCode code, const std::string& message,
                                 const std::vector<std::optional<std::string>>&) override {
            lines.emplace_back(code, message);
            (void)level;
        }
    };
    auto lines = std::make_shared<Lines>();
    network->setLoggerDelegate(lines);
    Capture capture;
    network->handleErrorWithCode(kNetworkErrorCodeGzipFailed, nullptr, capture.completion());
    const auto& outcome = capture.wait();
    REQUIRE(outcome.error);
    CHECK(outcome.error->domain() == "com.eul.network.ErrorDomain");
    CHECK(outcome.error->code() == 3);
    CHECK(outcome.error->userInfoValue("Context")->string());
    REQUIRE_FALSE(lines->lines.empty());
    CHECK(lines->lines.back().first == 900002);

    bool called = false;
    Network::handleEventsForBackgroundURLSessionID("com.eul.network.background-upload-relaunch",
                                                   [&] { called = true; });
    NetworkURLSession::callSystemCompletionHandler("com.eul.network.background-upload-relaunch");
    CHECK(testing::waitOnMain([&] { return called; }));
    CHECK(network->isNetworkConnected());
    CHECK(network->timeoutInterval() == 60);
    network->setTimeoutInterval(0);
    CHECK(network->requestWithURL(*platform::URL::parse("http://127.0.0.1/"), {}).timeoutInterval() == 60);
}
