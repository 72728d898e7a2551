// Benchmark of a token refresh through the OAuth authorization state against libcurl posting the same form
// to the same local token endpoint: 200 refreshes one after the other (one state), and 200 at once (200
// states). Goals: the authorization state takes at most 1.3 times as long as libcurl, and, one refresh after
// the other, at most 1.15 times as long as the design's minimal version below (at once, no more than the
// 1.17 times it took before).
//
// Every side sends the same form to the same server over libcurl's multi interface with at most six
// connections to the host (the URL session's default), kept alive for the whole run, and parses each reply
// into the token response's fields. Beside libcurl alone and the authorization state it times:
// - the design's minimal version, with none of our code: libcurl on a network thread of its own, the
//   caller on a main loop (a bare Asio io_context) handing it each refresh and getting each parsed reply
//   back there, as the authorization state's caller does. Its time against libcurl alone is what the two
//   hand-offs per refresh cost on this machine, and so the best the design can reach here;
// - the refresh's HTTP request, made once, as a bare data task of the URL session the client uses, its
//   reply parsed where it arrives and handed to the main queue: what the authorization state adds on top
//   of it is the OAuth client's own.
// One after the other, the sides take turns refresh by refresh, so that all of them meet the same machine;
// where each side's CPU time goes is measured in runs of its own. After all rounds the turns are taken once
// more, round for round, with the CPUs held out of their idle states (CPUsHeldAwake, when the bench may: as
// root). Every side goes idle about as often per refresh, but on a virtual machine each wake-up of a halted
// CPU costs what the host makes it cost, and the code woken runs slower after it; held awake, the figures
// show what each side's own code costs. A KVM guest's CPUs poll a while before they halt (haltpoll), unless
// that is set off: the bench says when it is.
#include <curl/curl.h>
#include <httplib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <nlohmann/json.hpp>

#include "bench/Figures.hpp"
#include "oauth/AuthState.hpp"
#include "platform/base/Dispatch.hpp"

using namespace brisko;
using SteadyClock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;
using brisko::bench::ratioRange;
using brisko::bench::threadIds;

constexpr int kRefreshes = 200;
constexpr int kRounds = 15;
constexpr long kPerHost = 6;
const std::string kRefreshToken = "refresh-token-value-0123456789";
const std::string kReply = R"({"access_token":"access-token-value-0123456789","token_type":"Bearer","expires_in":3600,)"
                           R"("refresh_token":")" +
                           kRefreshToken + R"(","scope":"openid email"})";
// The form and header the authorization state sends for the states below (the reply hands back the same
// refresh token, so every refresh sends the same form).
const std::string kForm = "client_id=bench-client&grant_type=refresh_token&refresh_token=" + kRefreshToken;
constexpr const char* kFormType = "Content-Type: application/x-www-form-urlencoded; charset=UTF-8";

double elapsedMs(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// Failed refreshes (none expected): the figures are then not of the work they name.
std::atomic<int> failures{0};
void failed(const char* side) {
    if (failures++ == 0) std::fprintf(stderr, "%s: refresh failed\n", side);
}

// A token reply read as the token response reads it: the known members into fields (the lifetime as
// a date), the others kept as they are.
struct Tokens {
    std::optional<std::string> accessToken, tokenType, refreshToken, scope;
    std::optional<std::chrono::system_clock::time_point> expiry;
    nlohmann::json additional = nlohmann::json::object();
};

std::optional<std::string>* textField(Tokens& tokens, const std::string& name) {
    if (name == "access_token") return &tokens.accessToken;
    if (name == "token_type") return &tokens.tokenType;
    if (name == "refresh_token") return &tokens.refreshToken;
    if (name == "scope") return &tokens.scope;
    return nullptr;
}

std::optional<Tokens> parseTokens(const std::string& body) {
    auto json = nlohmann::json::parse(body, nullptr, false);
    if (!json.is_object()) return std::nullopt;
    Tokens tokens;
    for (auto& [name, value] : json.items()) {
        if (auto* field = textField(tokens, name); field && value.is_string()) {
            *field = value.get<std::string>();
        } else if (name == "expires_in" && value.is_number()) {
            tokens.expiry = std::chrono::system_clock::now() + std::chrono::seconds(value.get<std::int64_t>());
        } else {
            tokens.additional[name] = value;
        }
    }
    if (!tokens.accessToken) return std::nullopt;
    return tokens;
}

// libcurl's socket interface driven by poll(2) on whichever thread runs it, as the URL session drives
// libcurl on its network thread: every refresh handed to one multi handle (six connections to the host,
// kept between rounds), each with an easy handle of its own released when it is done, its reply parsed
// where the transfer ends. Refreshes come either from the running thread (add) or, with a wake-up, from
// any other thread (post).
class CurlLoop {
public:
    using Done = std::function<void(std::optional<Tokens>)>;

    explicit CurlLoop(std::string url) : url_(std::move(url)) {
        headers_ = curl_slist_append(nullptr, kFormType);
        multi_ = curl_multi_init();
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kPerHost);
        // Idle connections are kept between rounds, as the session keeps them.
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 32L);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlLoop::onSocket);
        curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlLoop::onTimer);
        curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    }
    ~CurlLoop() {
        curl_multi_cleanup(multi_);
        curl_slist_free_all(headers_);
        ::close(wake_);
    }

    // On the running thread.
    void add(Done done) {
        auto* transfer = new Transfer{curl_easy_init(), {}, std::move(done)};
        curl_easy_setopt(transfer->easy, CURLOPT_URL, url_.c_str());
        curl_easy_setopt(transfer->easy, CURLOPT_COPYPOSTFIELDS, kForm.c_str());
        curl_easy_setopt(transfer->easy, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(transfer->easy, CURLOPT_NOSIGNAL, 1L);
        // Offered as the session offers it (the server answers uncompressed to both).
        curl_easy_setopt(transfer->easy, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
        curl_easy_setopt(transfer->easy, CURLOPT_WRITEFUNCTION, &CurlLoop::collect);
        curl_easy_setopt(transfer->easy, CURLOPT_WRITEDATA, &transfer->body);
        curl_easy_setopt(transfer->easy, CURLOPT_PRIVATE, transfer);
        curl_multi_add_handle(multi_, transfer->easy);
    }
    // From any thread: the running thread adds it when it wakes.
    void post(Done done) {
        {
            std::lock_guard lock(mutex_);
            posted_.push_back(std::move(done));
        }
        wake();
    }
    // Ends the running thread's wait.
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(wake_, &one, sizeof one);
    }
    // Moves bytes until `finished` holds (checked after each event).
    void runUntil(const std::function<bool()>& finished) {
        std::vector<pollfd> fds;
        while (!finished()) {
            fds.assign(1, pollfd{wake_, POLLIN, 0});
            for (const auto& [fd, what] : sockets_) {
                short events = 0;
                if (what & CURL_POLL_IN) events |= POLLIN;
                if (what & CURL_POLL_OUT) events |= POLLOUT;
                fds.push_back(pollfd{fd, events, 0});
            }
            const long timeout = timeoutMs_ < 0 ? 1000 : timeoutMs_;
            const int ready = timeout == 0 ? 0 : ::poll(fds.data(), fds.size(), static_cast<int>(timeout));
            int running = 0;
            if (ready == 0 && timeoutMs_ >= 0) {
                timeoutMs_ = -1;
                curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
            }
            for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
                if (!fds[i].revents) continue;
                int flags = 0;
                if (fds[i].revents & POLLIN) flags |= CURL_CSELECT_IN;
                if (fds[i].revents & POLLOUT) flags |= CURL_CSELECT_OUT;
                if (fds[i].revents & (POLLERR | POLLHUP)) flags |= CURL_CSELECT_ERR;
                curl_multi_socket_action(multi_, fds[i].fd, flags, &running);
            }
            if (ready > 0 && fds[0].revents) takePosted();
            finishDone();
        }
    }

private:
    struct Transfer {
        CURL* easy;
        std::string body;
        Done done;
    };

    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* out) {
        static_cast<std::string*>(out)->append(data, size * count);
        return size * count;
    }
    static int onSocket(CURL*, curl_socket_t fd, int what, void* self, void*) {
        auto& sockets = static_cast<CurlLoop*>(self)->sockets_;
        if (what == CURL_POLL_REMOVE) {
            sockets.erase(fd);
        } else {
            sockets[fd] = what;
        }
        return 0;
    }
    static int onTimer(CURLM*, long ms, void* self) {
        static_cast<CurlLoop*>(self)->timeoutMs_ = ms;
        return 0;
    }
    void takePosted() {
        std::uint64_t count;
        [[maybe_unused]] auto read = ::read(wake_, &count, sizeof count);
        std::vector<Done> posted;
        {
            std::lock_guard lock(mutex_);
            posted.swap(posted_);
        }
        for (auto& done : posted) add(std::move(done));
    }
    void finishDone() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            Transfer* transfer = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
            const bool ok = message->data.result == CURLE_OK;
            curl_multi_remove_handle(multi_, transfer->easy);
            curl_easy_cleanup(transfer->easy);
            transfer->done(ok ? parseTokens(transfer->body) : std::nullopt);
            delete transfer;
        }
    }

    std::string url_;
    curl_slist* headers_ = nullptr;
    CURLM* multi_ = nullptr;
    std::map<curl_socket_t, int> sockets_;
    long timeoutMs_ = -1;
    int wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::mutex mutex_;
    std::vector<Done> posted_;
};

// The tokens each side keeps on the caller's thread, one slot for each state, as each state keeps its last
// token response: a refresh replaces (and frees there) the tokens its slot held.
using Kept = std::vector<std::optional<Tokens>>;

void keep(Kept& kept, int slot, std::optional<Tokens> tokens, const char* side) {
    if (!tokens) failed(side);
    kept[static_cast<std::size_t>(slot)] = std::move(tokens);
}

// A way of refreshing: start(slot, done) begins a refresh of the slot's state, which adds one to done when
// it has finished; wait(done, count) runs the caller's loop until done reaches count.
struct Refresher {
    std::function<void(int slot, int& done)> start;
    std::function<void(const int& done, int count)> wait;
};

// One refresh, begun and awaited.
void refreshOnce(const Refresher& refresher) {
    int done = 0;
    refresher.start(0, done);
    refresher.wait(done, 1);
}

// Runs the refreshes one after the other (all of the first state), each begun once the one before has
// finished, or all at once (one for each state).
double refreshes(const Refresher& refresher, bool sequential) {
    auto begin = SteadyClock::now();
    if (sequential) {
        for (int i = 0; i < kRefreshes; ++i) refreshOnce(refresher);
    } else {
        int done = 0;
        for (int slot = 0; slot < kRefreshes; ++slot) refresher.start(slot, done);
        refresher.wait(done, kRefreshes);
    }
    return elapsedMs(begin);
}

// libcurl alone on the calling thread.
Refresher throughCurl(CurlLoop& curl, Kept& kept) {
    return {[&curl, &kept](int slot, int& done) {
                curl.add([&kept, &done, slot](std::optional<Tokens> tokens) {
                    keep(kept, slot, std::move(tokens), "libcurl");
                    ++done;
                });
            },
            [&curl](const int& done, int count) { curl.runUntil([&] { return done == count; }); }};
}

// The design's minimal version: the loop above on a network thread of its own, the caller on a main loop
// of its own that hands it each refresh and gets each parsed reply back.
class MinimalDesign {
public:
    explicit MinimalDesign(const std::string& url)
        : curl_(url), network_([this] { curl_.runUntil([this] { return stopping_.load(); }); }) {}
    ~MinimalDesign() {
        stopping_ = true;
        curl_.wake();
        network_.join();
    }

    Refresher refresher(Kept& kept) {
        return {[this, &kept](int slot, int& done) {
                    curl_.post([this, &kept, &done, slot](std::optional<Tokens> tokens) {
                        asio::post(main_, [&kept, &done, slot, tokens = std::move(tokens)]() mutable {
                            keep(kept, slot, std::move(tokens), "minimal design");
                            ++done;
                        });
                    });
                },
                [this](const int& done, int count) {
                    while (done < count) main_.run_one();
                }};
    }

private:
    asio::io_context main_{1};
    asio::executor_work_guard<asio::io_context::executor_type> keep_{main_.get_executor()};
    std::atomic<bool> stopping_{false};
    CurlLoop curl_;
    std::thread network_;
};

std::shared_ptr<oauth::AuthState> makeState(const std::string& base) {
    auto configuration = std::make_shared<const oauth::ServiceConfiguration>(*platform::URL::parse(base + "/auth"),
                                                                             *platform::URL::parse(base + "/token"));
    auto request = oauth::AuthorizationRequest::make(configuration, "bench-client", std::nullopt, {"openid"},
                                                     *platform::URL::parse("com.example.app:/cb"), "code", {});
    auto response = oauth::AuthorizationResponse::make(request, platform::Dictionary{{"code", "c"}});
    auto tokens =
        oauth::TokenResponse::make(response->tokenExchangeRequest(),
                                   platform::Dictionary{{"access_token", "a"}, {"refresh_token", kRefreshToken}});
    return oauth::AuthState::make(response, tokens);
}

void runMainQueueUntil(const int& done, int count) {
    platform::MainLoop::runUntil([&] { return done == count; }, std::chrono::seconds(60));
}

// Through the states, each forced to refresh, their actions awaited on the main queue.
Refresher throughStates(const std::vector<std::shared_ptr<oauth::AuthState>>& states) {
    return {[&states](int slot, int& done) {
                const auto& state = states[static_cast<std::size_t>(slot)];
                state->setNeedsTokenRefresh();
                state->performActionWithFreshTokens(
                    [&done](std::optional<std::string> access, std::optional<std::string>,
                            platform::OptionalError error) {
                        if (!access || error) failed("AuthState");
                        ++done;
                    });
            },
            runMainQueueUntil};
}

// The refresh's HTTP request, made once, as a bare data task of the client's session, its reply parsed
// where the transfer ends and handed to the main queue, where the caller waits: all the OAuth client adds
// (the token request and its form, the token response, the state) is left out.
Refresher throughSession(const platform::URLRequest& request, Kept& kept) {
    return {[session = oauth::URLSessionProvider::session(), &request, &kept](int slot, int& done) {
                session
                    ->dataTaskWithRequest(request,
                                          [&kept, &done, slot](std::optional<platform::Data> data,
                                                               std::shared_ptr<const platform::HTTPURLResponse>,
                                                               platform::OptionalError) {
                                              auto tokens =
                                                  parseTokens(data ? platform::toString(*data) : std::string());
                                              platform::DispatchQueue::main()->async(
                                                  [&kept, &done, slot, tokens = std::move(tokens)]() mutable {
                                                      keep(kept, slot, std::move(tokens), "URL session");
                                                      ++done;
                                                  });
                                          })
                    ->resume();
            },
            runMainQueueUntil};
}

// The threads of the server, which every side shares; the others are the client's.
std::set<std::string> serverThreads;

// Time on a CPU so far, in microseconds, of the caller's thread (this one: the main queue, and libcurl
// alone), of the client's other threads (the network thread, the minimal design's, the dispatch pool) and of
// the server's. Unlike the elapsed time it does not depend on how soon a woken thread runs, and so shows each
// side's own work, and where it is done, even on a busy machine.
struct CPUTimes {
    double caller = 0, network = 0, server = 0;
    double client() const { return caller + network; }
    CPUTimes operator-(const CPUTimes& o) const {
        return {caller - o.caller, network - o.network, server - o.server};
    }
};

CPUTimes cpuMicroseconds() {
    static const std::string caller = std::to_string(::gettid());
    CPUTimes times;
    for (const auto& id : threadIds()) {
        std::ifstream stat("/proc/self/task/" + id + "/schedstat");
        double running = 0;
        if (!(stat >> running)) continue;
        (id == caller ? times.caller : serverThreads.contains(id) ? times.server : times.network) += running / 1000;
    }
    return times;
}

// The client ports the server saw requests from: one for each connection a side used.
std::mutex portsMutex;
std::set<int> clientPorts;

std::size_t connectionsSeen() {
    std::lock_guard lock(portsMutex);
    auto count = clientPorts.size();
    clientPorts.clear();
    return count;
}

struct Side {
    Side(const char* name, Refresher refresher) : name(name), refresher(std::move(refresher)) {}
    const char* name;
    Refresher refresher;
    double run(bool sequential) const { return refreshes(refresher, sequential); }
    std::vector<double> times[3];         // one after the other (in turns), at once, in turns held awake
    std::vector<CPUTimes> cpu[2];         // microseconds per refresh, of the side's own runs
    std::size_t connections[2] = {0, 0};  // the most any of its own timed runs used
};

}  // namespace

int main(int argc, char** argv) {
    // "oauth_refresh_bench SIDE sequential|concurrent [RUNS]" runs one side alone (by the start of its
    // name), for tracing or profiling it.
    const std::string only = argc > 1 ? argv[1] : "";
    const bool onlySequential = argc > 2 && std::string(argv[2]) == "sequential";
    const int onlyRuns = argc > 3 ? std::max(1, std::atoi(argv[3])) : 50;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    httplib::Server server;
    // Each connection serves every request of the run: by default the server closes it after five, and
    // every side would then spend much of its time opening connections.
    server.set_keep_alive_max_count(1000000);
    // Without it, Nagle's algorithm and delayed acknowledgements hold every reply for tens of milliseconds,
    // and every side would measure only that.
    server.set_tcp_nodelay(true);
    // A worker for each kept-alive connection of every side (six each).
    server.new_task_queue = [] { return new httplib::ThreadPool(64); };
    // The server answers uncompressed: the URL session announces compression and the server's brotli
    // would dominate the figures.
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.Post("/token", [](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard lock(portsMutex);
            clientPorts.insert(req.remote_port);
        }
        if (req.body != kForm) {
            res.status = 400;
            return;
        }
        res.set_content(kReply, "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    // Bound and listening already: connections wait in the backlog until the loop accepts them.
    const auto before = threadIds();
    std::thread serving([&] { server.listen_after_bind(); });
    // The listener and its 64 workers; they start before the server reports running or soon after.
    while (threadIds().size() < before.size() + 65) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    serverThreads = threadIds();
    for (const auto& id : before) serverThreads.erase(id);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    std::vector<std::shared_ptr<oauth::AuthState>> states;
    for (int i = 0; i < kRefreshes; ++i) states.push_back(makeState(base));
    const auto refreshRequest = states.front()->tokenRefreshRequest()->URLRequest();
    CurlLoop curl(base + "/token");
    Kept curlKept(kRefreshes), minimalKept(kRefreshes), sessionKept(kRefreshes);
    {
        MinimalDesign minimal(base + "/token");
        std::vector<Side> sides{
            {"libcurl alone", throughCurl(curl, curlKept)},
            {"minimal design", minimal.refresher(minimalKept)},
            {"URL session task", throughSession(refreshRequest, sessionKept)},
            {"AuthState", throughStates(states)},
        };
        if (!only.empty()) {
            for (auto& side : sides) {
                if (!std::string(side.name).starts_with(only)) continue;
                side.run(false);
                std::vector<double> times;
                for (int run = 0; run < onlyRuns; ++run) times.push_back(side.run(onlySequential));
                std::printf("%s, %s: median %.1f ms over %d runs\n", side.name,
                            onlySequential ? "one after the other" : "at once", median(times), onlyRuns);
            }
            server.stop();
            serving.join();
            return failures > 0;
        }
        // Warm every side (connections, threads, first-use costs) at once first, so that each holds its six
        // connections for both kinds of round.
        for (auto& side : sides) side.run(false);
        // One after the other, the sides take turns, a refresh each; the side that begins a turn moves on by
        // one each turn, and the order of the turns flips each round. Run in blocks of their own, a side's time
        // depended on which side had run before it (where the scheduler had left the threads) by up to a factor
        // of two; in turns every side meets the same machine.
        auto takeTurns = [&sides](int round, int kind) {
            const std::size_t count = sides.size();
            std::vector<double> inTurns(count, 0);
            for (int turn = 0; turn < kRefreshes; ++turn) {
                for (std::size_t k = 0; k < count; ++k) {
                    const std::size_t next = static_cast<std::size_t>(turn) + k;
                    const std::size_t at = round % 2 ? next % count : (count - 1) - next % count;
                    const auto begin = SteadyClock::now();
                    refreshOnce(sides[at].refresher);
                    inTurns[at] += elapsedMs(begin);
                }
            }
            for (std::size_t at = 0; at < count; ++at) sides[at].times[kind].push_back(inTurns[at]);
        };
        for (int round = 0; round < kRounds; ++round) {
            takeTurns(round, 0);
            // Then each side on its own, one after the other and at once: where its CPU time goes and the
            // connections it uses, and the figures at once. The sides take their turns in both orders, so
            // that a drift of the machine's load favours none.
            std::vector<Side*> order;
            for (auto& side : sides) order.push_back(&side);
            if (round % 2) std::reverse(order.begin(), order.end());
            for (int kind = 0; kind < 2; ++kind) {
                for (Side* side : order) {
                    // Each side runs once untimed right before its timed run: the threads taking part change
                    // from one side to the next, and the scheduler needs some round trips to place them.
                    side->run(kind == 0);
                    connectionsSeen();
                    const auto cpu = cpuMicroseconds();
                    const double elapsed = side->run(kind == 0);
                    if (kind == 1) side->times[kind].push_back(elapsed);
                    const auto used = cpuMicroseconds() - cpu;
                    side->cpu[kind].push_back({used.caller / kRefreshes, used.network / kRefreshes,
                                               used.server / kRefreshes});
                    side->connections[kind] = std::max(side->connections[kind], connectionsSeen());
                }
            }
        }
        // The turns held awake come last, all together: what the host makes a wake-up cost follows how its CPUs
        // went idle before, and taken between the others these turns changed the machine those measure (their
        // figures came out lower).
        const bool canHoldAwake = bench::CPUsHeldAwake().held();
        if (canHoldAwake) {
            bench::CPUsHeldAwake awake;
            for (int round = 0; round < kRounds; ++round) takeTurns(round, 2);
        }
        const auto& reference = sides[0].times;
        const auto& design = sides[1].times;
        std::printf("%d token refreshes, median of %d rounds (fastest-slowest round); client CPU per refresh and the "
                    "most connections a round used, in the side's own runs\n",
                    kRefreshes, kRounds);
        std::printf("%-18s %-40s %-40s %s\n", "", "one after the other (in turns)", "at once (6 connections)",
                    canHoldAwake ? "one after the other, CPUs held awake" : "");
        auto cpuMedian = [](const std::vector<CPUTimes>& cpu, double (*part)(const CPUTimes&)) {
            std::vector<double> values;
            for (const auto& c : cpu) values.push_back(part(c));
            return median(values);
        };
        for (const auto& side : sides) {
            std::printf("%-18s", side.name);
            for (int kind = 0; kind < 2; ++kind) {
                const auto& t = side.times[kind];
                std::printf(" %6.1f ms (%5.1f-%5.1f) CPU %4.0f us, %zu conn.  ", median(t),
                            *std::min_element(t.begin(), t.end()), *std::max_element(t.begin(), t.end()),
                            cpuMedian(side.cpu[kind], [](const CPUTimes& c) { return c.client(); }),
                            side.connections[kind]);
            }
            if (canHoldAwake) {
                const auto& t = side.times[2];
                std::printf(" %6.1f ms (%5.1f-%5.1f)", median(t), *std::min_element(t.begin(), t.end()),
                            *std::max_element(t.begin(), t.end()));
            }
            std::printf("\n");
        }
        if (!canHoldAwake) {
            std::printf("(not timed with the CPUs held awake: that needs write access to /dev/cpu_dma_latency, as "
                        "root)\n");
        }
        if (const auto poll = bench::guestHaltPollNanoseconds(); poll && *poll == 0) {
            std::printf("(idle CPUs halt at once here: haltpoll's guest_halt_poll_ns is 0, the kernel's default "
                        "200000; one after the other, the figures as the machine idles carry the host's wake-up "
                        "latency)\n");
        }
        // Where each side's CPU time goes: its caller's thread, its other threads, and the server's (the
        // same work for every side: a side whose server time grows is slowed by the machine, not by its own
        // work).
        std::printf("CPU per refresh, one after the other (own runs): caller's thread / other client threads / server\n");
        for (const auto& side : sides) {
            const auto& cpu = side.cpu[0];
            std::printf("%-18s %5.0f / %5.0f / %5.0f us\n", side.name,
                        cpuMedian(cpu, [](const CPUTimes& c) { return c.caller; }),
                        cpuMedian(cpu, [](const CPUTimes& c) { return c.network; }),
                        cpuMedian(cpu, [](const CPUTimes& c) { return c.server; }));
        }
        auto ratioLine = [&](const char* title, const std::vector<double>* measured,
                             const std::vector<double>* against) {
            std::printf("%-46s", title);
            for (int kind = 0; kind < (canHoldAwake ? 3 : 2); ++kind) {
                const auto [low, high] = ratioRange(against[kind], measured[kind]);
                std::printf(" %5.2fx (per round %4.2f-%4.2f)   ", median(measured[kind]) / median(against[kind]), low,
                            high);
            }
            std::printf("\n");
        };
        ratioLine("AuthState / libcurl (goal 1.30)", sides[3].times, reference);
        ratioLine("minimal design / libcurl (the design's best)", design, reference);
        ratioLine("AuthState / minimal design (goal 1.15, 1.17)", sides[3].times, design);
        ratioLine("AuthState / URL session task", sides[3].times, sides[2].times);
        ratioLine("URL session task / minimal design", sides[2].times, design);
    }
    if (failures > 0) std::printf("%d refreshes failed: the figures above are not valid\n", failures.load());
    server.stop();
    serving.join();
    curl_global_cleanup();
    return 0;
}
