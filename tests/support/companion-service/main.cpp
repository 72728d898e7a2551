// A local companion service to run the app against: `companion-service [--port N]` prints its port on
// the first line, then one line for each request it receives (pairing, unpairing and each upload with
// its samples), and shows everything received as JSON at "/" for a browser.
#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace {

constexpr const char* kIngestPath = "/api/mac-activity/ingest";
constexpr const char* kPairingPath = "/api/user/desktop-companion";
// At most this many requests are kept for "/" (the oldest go first).
constexpr std::size_t kKeptRequests = 1000;

std::mutex gMutex;
nlohmann::json gReceived = nlohmann::json::array();

// Enough of the bearer token to tell accounts apart, never the whole token.
std::string tokenHint(const httplib::Request& req) {
    auto value = req.get_header_value("Authorization");
    if (value.empty()) return "(none)";
    if (value.rfind("Bearer ", 0) != 0) return "(not a bearer token)";
    return "Bearer " + value.substr(7, 10) + "…";
}

void record(const httplib::Request& req, nlohmann::json details) {
    details["method"] = req.method;
    details["path"] = req.path;
    details["authorization"] = tokenHint(req);
    std::string line = req.method + " " + req.path + " [" + details["authorization"].get<std::string>() + "]";
    if (details.contains("summary")) line += " " + details["summary"].get<std::string>();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    std::lock_guard lock(gMutex);
    gReceived.push_back(std::move(details));
    if (gReceived.size() > kKeptRequests) gReceived.erase(gReceived.begin());
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: companion-service [--port N]\n");
            return 2;
        }
    }
    httplib::Server server;
    server.Post(kIngestPath, [](const httplib::Request& req, httplib::Response& res) {
        auto body = nlohmann::json::parse(req.body, nullptr, false);
        if (!body.is_object() || !body.contains("entries") || !body["entries"].is_array()) {
            record(req, {{"summary", "rejected: not an activity payload"}});
            res.status = 400;
            return;
        }
        std::string apps;
        for (const auto& entry : body["entries"]) {
            if (!entry.is_object()) continue;
            auto name = entry.value("appName", std::string("?"));
            if (apps.find(name) == std::string::npos) apps += (apps.empty() ? "" : ", ") + name;
        }
        record(req, {{"summary", std::to_string(body["entries"].size()) + " samples of " + body.value("date", "?") +
                                     " (" + apps + ")"},
                     {"payload", body}});
        res.set_content(R"({"ok":true})", "application/json");
    });
    auto pairing = [](const httplib::Request& req, httplib::Response& res) {
        auto body = nlohmann::json::parse(req.body, nullptr, false);
        std::string summary = req.method == "DELETE" ? "unpaired" : "paired";
        if (body.is_object() && body.contains("deviceName") && body["deviceName"].is_string())
            summary += " " + body["deviceName"].get<std::string>();
        record(req, {{"summary", summary}});
        res.set_content(R"({"ok":true})", "application/json");
    };
    server.Post(kPairingPath, pairing);
    server.Delete(kPairingPath, pairing);
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        std::lock_guard lock(gMutex);
        res.set_content(gReceived.dump(2), "application/json");
    });
    const int bound =
        port ? (server.bind_to_port("127.0.0.1", port) ? port : -1) : server.bind_to_any_port("127.0.0.1");
    if (bound <= 0) {
        std::fprintf(stderr, "companion-service: cannot listen on 127.0.0.1:%d\n", port);
        return 1;
    }
    std::printf("%d\n", bound);
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
