// A local stand-in for the companion service: cpp-httplib on 127.0.0.1 (free port) serving the ingest
// and pairing endpoints, recording every request and answering with scripted statuses (a 3xx sends the
// client to a redirect target that answers 200).
#pragma once

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brisko::app::test {

class FakeCompanionService {
  public:
    static constexpr const char* kIngestPath = "/api/mac-activity/ingest";
    static constexpr const char* kPairingPath = "/api/user/desktop-companion";
    // Where a scripted 3xx reply sends the client; it answers GET and POST with 200.
    static constexpr const char* kRedirectTarget = "/redirected";

    struct Request {
        std::string method;
        std::string path;
        std::map<std::string, std::string> headers;  // names lower-cased
        std::string body;
        int clientPort = 0;  // the connection it came over

        std::optional<std::string> header(const std::string& name) const {
            auto it = headers.find(name);
            if (it == headers.end()) return std::nullopt;
            return it->second;
        }
    };

    // `keepAlive` false closes each connection after its reply (tests stop the server at once).
    explicit FakeCompanionService(bool keepAlive = false) {
        if (!keepAlive) server_.set_keep_alive_max_count(1);
        auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
        server_.Post(kIngestPath, handler);
        server_.Post(kPairingPath, handler);
        server_.Delete(kPairingPath, handler);
        server_.Get(kRedirectTarget, handler);
        server_.Post(kRedirectTarget, handler);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // Bound already: connections wait in the backlog until the loop runs.
        while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~FakeCompanionService() {
        releaseReplies();
        server_.stop();
        if (thread_.joinable()) thread_.join();
    }

    int port() const { return port_; }
    std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // The next replies of "METHOD path", in order; once used up, 200.
    void script(const std::string& method, const std::string& path, std::vector<int> statuses) {
        std::lock_guard lock(mutex_);
        auto& q = scripts_[method + " " + path];
        q.insert(q.end(), statuses.begin(), statuses.end());
    }
    void scriptIngest(std::vector<int> statuses) { script("POST", kIngestPath, std::move(statuses)); }
    // The ingest replies announce a body of `announced` bytes and send `sent` of them (then close),
    // rather than "{}".
    void answerIngestWithBody(std::size_t announced, std::size_t sent) {
        std::lock_guard lock(mutex_);
        ingestBody_ = {announced, sent};
    }

    // While held, requests are recorded but not answered: a client is then surely waiting for its reply.
    void holdReplies() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void releaseReplies() {
        std::lock_guard lock(mutex_);
        held_ = false;
        released_.notify_all();
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<Request> requests(const std::string& method, const std::string& path) const {
        std::vector<Request> out;
        for (auto& r : requests()) {
            if (r.method == method && r.path == path) out.push_back(r);
        }
        return out;
    }
    std::vector<Request> ingests() const { return requests("POST", kIngestPath); }
    void clear() {
        std::lock_guard lock(mutex_);
        requests_.clear();
    }

  private:
    void handle(const httplib::Request& req, httplib::Response& res) {
        Request r{req.method, req.path, {}, req.body, req.remote_port};
        for (auto& [name, value] : req.headers) {
            std::string lower = name;
            for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            r.headers[lower] = value;
        }
        int status = 200;
        std::optional<std::pair<std::size_t, std::size_t>> body;
        {
            std::unique_lock lock(mutex_);
            requests_.push_back(std::move(r));
            released_.wait(lock, [this] { return !held_; });
            auto& q = scripts_[req.method + " " + req.path];
            if (!q.empty()) {
                status = q.front();
                q.pop_front();
            }
            if (req.path == kIngestPath) body = ingestBody_;
        }
        res.status = status;
        if (status >= 300 && status <= 399) res.set_header("Location", kRedirectTarget);
        if (!body) {
            res.set_content("{}", "application/json");
            return;
        }
        const std::size_t sent = body->second;
        res.set_content_provider(body->first, "application/json",
                                 [sent](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                     if (offset >= sent) return false;  // closes the connection
                                     static const std::string spaces(64 * 1024, ' ');
                                     const auto n = std::min({length, spaces.size(), sent - offset});
                                     return sink.write(spaces.data(), n);
                                 });
    }

    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    std::vector<Request> requests_;
    std::map<std::string, std::deque<int>> scripts_;
    std::optional<std::pair<std::size_t, std::size_t>> ingestBody_;
};

}  // namespace brisko::app::test
