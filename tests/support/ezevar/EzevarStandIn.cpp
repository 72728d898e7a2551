// Starting the Ezevar stand-in and driving its pages.
#include "tests/support/ezevar/EzevarStandIn.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <stdexcept>
#include <thread>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include "tests/support/HttpTestServer.hpp"

extern char** environ;

namespace brisko::testing {

namespace {

constexpr const char* kInstallPeers = "scripts/install-test-peers.sh installs them";

struct Reply {
    long status = 0;
    std::string body;
    std::optional<std::string> location;
};

// Keeps the Location field as sent: libcurl would resolve an app-scheme address as a relative one.
size_t captureLocation(char* data, size_t size, size_t count, void* out) {
    std::string_view line(data, size * count);
    constexpr std::string_view kName = "location:";
    if (line.size() > kName.size() && strncasecmp(line.data(), kName.data(), kName.size()) == 0) {
        std::string_view value = line.substr(kName.size());
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' '))
            value.remove_suffix(1);
        *static_cast<std::optional<std::string>*>(out) = std::string(value);
    }
    return size * count;
}

size_t appendBody(char* data, size_t size, size_t count, void* out) {
    auto* body = static_cast<std::string*>(out);
    // Pages of the stand-in are small; a runaway reply is cut off.
    if (body->size() > (4u << 20)) return 0;
    body->append(data, size * count);
    return size * count;
}

// One request with the test CA trusted, no redirect following, cookies in `jar` (libcurl's format).
Reply perform(const std::string& url, const std::optional<std::string>& form, std::string* jar,
              const std::optional<std::string>& json = std::nullopt) {
    Reply reply;
    CURL* curl = curl_easy_init();
    if (!curl) return reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, HttpTestServer::caCertificatePath().c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, captureLocation);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.location);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    std::string cookieFile;
    if (jar) {
        // libcurl reads and writes its jar through files: a private one per request.
        char path[] = "/tmp/brisko-cookies.XXXXXX";
        int fd = mkstemp(path);
        if (fd >= 0) {
            (void)!write(fd, jar->data(), jar->size());
            close(fd);
            cookieFile = path;
            curl_easy_setopt(curl, CURLOPT_COOKIEFILE, cookieFile.c_str());
            curl_easy_setopt(curl, CURLOPT_COOKIEJAR, cookieFile.c_str());
        }
    }
    curl_slist* headers = nullptr;
    if (form) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form->c_str());
    } else if (json) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, json->c_str());
    }
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    }
    if (headers) curl_slist_free_all(headers);
    curl_easy_cleanup(curl);  // writes the jar
    if (!cookieFile.empty()) {
        if (FILE* f = std::fopen(cookieFile.c_str(), "rb")) {
            jar->clear();
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) jar->append(buffer, n);
            std::fclose(f);
        }
        std::remove(cookieFile.c_str());
    }
    return reply;
}

std::string htmlUnescape(std::string s) {
    for (auto [from, to] : {std::pair{"&amp;", "&"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}}) {
        for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + 1))
            s.replace(at, std::strlen(from), to);
    }
    return s;
}

std::string formEncode(const std::string& s) {
    return platform::percentEncode(s, platform::CharacterSet::unreserved());
}

}  // namespace

EzevarStandIn::EzevarStandIn(std::string clientID) : clientID_(std::move(clientID)) {
    const std::string script = std::string(BRISKO_SOURCE_DIR) + "/tests/support/ezevar/ezevar-standin.mjs";
    // The stand-in runs on the npm peers; without them node fails with its reason on stderr alone.
    if (!std::filesystem::exists(std::string(BRISKO_SOURCE_DIR) + "/node_modules/oidc-provider/package.json")) {
        throw std::runtime_error(std::string("the Ezevar stand-in cannot start: the npm peers are missing from ") +
                                 BRISKO_SOURCE_DIR + "/node_modules (" + kInstallPeers + ")");
    }
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args{"node",        script,
                                  "--cert",      HttpTestServer::serverCertificatePath(),
                                  "--key",       HttpTestServer::serverKeyPath(),
                                  "--client-id", clientID_,
                                  "--root",      std::string(BRISKO_SOURCE_DIR)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "node", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        throw std::runtime_error(std::string("the Ezevar stand-in cannot start node: ") + std::strerror(rc) +
                                 " (node and the npm peers are needed; " + kInstallPeers + ")");
    }
    pid_ = pid;
    std::string line;
    char c;
    while (line.size() < 4096 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (!json.is_object() || !json.contains("port")) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the Ezevar stand-in did not start; its errors are on stderr above (node and the "
                                 "npm peers are needed; " +
                                 std::string(kInstallPeers) + "). It printed: \"" + line + "\"");
    }
    port_ = json["port"].get<int>();
}

EzevarStandIn::~EzevarStandIn() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string EzevarStandIn::host() const {
    return "127.0.0.1:" + std::to_string(port_);
}

platform::URLSessionConfiguration EzevarStandIn::trustingConfiguration() {
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.tlsTrustedCAFile = HttpTestServer::caCertificatePath();
    return configuration;
}

std::vector<EzevarStandIn::Request> EzevarStandIn::requests() const {
    auto reply = perform(baseURL() + "/__standin/requests", std::nullopt, nullptr);
    std::vector<Request> result;
    auto json = nlohmann::json::parse(reply.body, nullptr, false);
    if (!json.is_array()) return result;
    for (const auto& r : json) result.push_back({r.value("method", ""), r.value("path", ""), r.value("target", "")});
    return result;
}

std::vector<EzevarStandIn::Request> EzevarStandIn::requestsTo(std::string_view path) const {
    std::vector<Request> result;
    for (auto& r : requests())
        if (r.path == path) result.push_back(r);
    return result;
}

void EzevarStandIn::configure(std::string_view json) const {
    perform(baseURL() + "/__standin/config", std::nullopt, nullptr, std::string(json));
}

std::optional<std::string> ScriptedBrowser::signIn(std::string_view authorizationURL) {
    return run(authorizationURL, false);
}

std::optional<std::string> ScriptedBrowser::denyConsent(std::string_view authorizationURL) {
    return run(authorizationURL, true);
}

std::optional<std::string> ScriptedBrowser::run(std::string_view start, bool deny) {
    static const std::regex formPattern(R"re(<form[^>]*action="([^"]*)"[^>]*method="post")re", std::regex::icase);
    static const std::regex inputPattern(R"re(<input[^>]*name="([^"]+)"(?:[^>]*value="([^"]*)")?)re",
                                         std::regex::icase);
    std::string url(start);
    std::optional<std::string> form;
    for (int page = 0; page < 20; ++page) {
        visited_.push_back(url);
        Reply reply = perform(url, form, &cookieJar_);
        form.reset();
        if (reply.status >= 300 && reply.status < 400 && reply.location) {
            // An absolute address of another scheme is the redirect to the app; others are pages.
            auto absolute = platform::URL::parse(*reply.location);
            if (absolute && absolute->scheme() != "https" && absolute->scheme() != "http") return *reply.location;
            auto base = platform::URL::parse(url);
            auto next = base ? platform::URL::parse(*reply.location, *base) : std::nullopt;
            if (!next) {
                lastError_ = "unusable redirect " + *reply.location;
                return std::nullopt;
            }
            url = next->absoluteString();
            continue;
        }
        std::smatch match;
        // A page without a form on the user's own machine is the loopback listener's answer.
        auto here = platform::URL::parse(url);
        if (reply.status == 200 && here && here->host() == "127.0.0.1" && here->path() != "/" &&
            reply.body.find("<form") == std::string::npos && url.find("/interaction/") == std::string::npos)
            return url;
        if (reply.status != 200 || !std::regex_search(reply.body, match, formPattern)) {
            lastError_ = "page " + url + " answered " + std::to_string(reply.status) + ": " + reply.body.substr(0, 300);
            return std::nullopt;
        }
        const std::string action = htmlUnescape(match[1].str());
        const std::string formHTML = reply.body.substr(static_cast<std::size_t>(match.position(0)));
        std::string fields;
        bool consent = false;
        for (std::sregex_iterator it(formHTML.begin(), formHTML.end(), inputPattern), end; it != end; ++it) {
            const std::string name = (*it)[1].str();
            std::string value = (*it)[2].matched ? htmlUnescape((*it)[2].str()) : "";
            if (name == "login") value = login_;
            if (name == "password") value = "any";
            if (name == "prompt" && value == "consent") consent = true;
            fields += (fields.empty() ? "" : "&") + formEncode(name) + "=" + formEncode(value);
        }
        auto base = platform::URL::parse(url);
        auto target = base ? platform::URL::parse(action, *base) : std::nullopt;
        if (!target) {
            lastError_ = "form without a usable action on " + url;
            return std::nullopt;
        }
        if (consent && deny) {
            // The provider's own way out of the consent page: the abort link.
            auto abort = platform::URL::parse(action + "/abort", *base);
            if (!abort) return std::nullopt;
            url = abort->absoluteString();
            continue;
        }
        url = target->absoluteString();
        form = fields;
    }
    lastError_ = "too many pages";
    return std::nullopt;
}

}  // namespace brisko::testing
