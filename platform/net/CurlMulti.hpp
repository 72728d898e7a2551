// Internal: the process-wide network thread (an epoll loop) and libcurl multi handles driven by it.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/base/UniqueFunction.hpp"

struct epoll_event;

namespace brisko::platform::detail {

// Receives readiness of the descriptors it watches.
class SocketHandler {
  public:
    virtual ~SocketHandler() = default;
    virtual void onSocketReady(int fd, std::uint32_t events) = 0;
};

// The one thread that moves bytes for every URL session. It waits in epoll (level-triggered, so a
// socket is registered once per change of interest, not per wait) with the timeout of its nearest
// timer: no system call per timer or per wait besides epoll_wait itself.
class NetworkLoop {
  public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    static NetworkLoop& instance();
    bool onThread() const { return std::this_thread::get_id() == threadId_; }

    // Runs work on the network thread, in order (always queued, never inline).
    void post(UniqueFunction<void()> work);

    // Network thread only.
    // Tells `handler` when the descriptor is ready for `events` (EPOLLIN / EPOLLOUT); calling watch
    // again changes the interest; 0 or unwatch() stops watching.
    void watch(int fd, std::uint32_t events, SocketHandler* handler);
    void unwatch(int fd);
    // Stops reporting the descriptor but keeps it registered with its interest, for a socket likely to
    // be watched again soon with the same interest (a kept-alive connection between transfers): that
    // costs no system call then. Readiness while parked unregisters it. Still unwatch before closing.
    void park(int fd);
    TimerId schedule(Clock::time_point when, UniqueFunction<void()> action);
    // Moves a pending timer to another time (without allocating); false when it is no longer pending.
    bool reschedule(TimerId id, Clock::time_point when);
    void cancel(TimerId id);
    // Runs `action` once the loop has handled everything that is ready now, before it sleeps (used
    // to hand a batch of events to another thread with one wake-up).
    void atEndOfIteration(UniqueFunction<void()> action);

  private:
    NetworkLoop();
    void run();
    void runTimers();
    int waitMilliseconds() const;
    // Looks for ready descriptors or posted work for a short while; the number of ready descriptors.
    int spin(::epoll_event* events);
    void dispatch(const ::epoll_event* events, int count);

    int epoll_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
    std::thread::id threadId_;

    std::mutex mutex_;
    std::vector<UniqueFunction<void()>> queue_;
    bool sleeping_ = false;
    std::atomic<bool> posted_{false};  // work was queued since the loop last took it

    struct Watch {
        std::uint32_t events = 0;
        SocketHandler* handler = nullptr;
    };
    std::unordered_map<int, Watch> watches_;
    std::vector<UniqueFunction<void()>> endOfIteration_;
    std::map<std::pair<Clock::time_point, TimerId>, UniqueFunction<void()>> timers_;
    std::unordered_map<TimerId, Clock::time_point> timerTimes_;
    TimerId nextTimer_ = 1;
};

// Shorthands for the network thread.
bool onNetworkThread();
void postToNetwork(UniqueFunction<void()> work);

// One multi handle (one connection pool) driven by the network loop. Network thread only.
class CurlMulti : public SocketHandler {
  public:
    // Called for each finished transfer with its result.
    using DoneHandler = UniqueFunction<void(CURL* easy, CURLcode result)>;

    explicit CurlMulti(DoneHandler onDone);
    ~CurlMulti() override;
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    CURLM* handle() const { return multi_; }
    // Starts a transfer; false when libcurl refuses it.
    bool add(CURL* easy);
    // Stops a transfer without a done call (the easy handle can be cleaned up afterwards).
    void remove(CURL* easy);
    // Sets the socket callbacks of an easy handle: a socket is forgotten before it closes, and the
    // sockets of connections are known as such (they are parked between transfers).
    void prepare(CURL* easy);

    // An easy handle to reuse (reset), or a new one; and back when a transfer is over.
    CURL* takeEasy();
    void giveBackEasy(CURL* easy);

    void onSocketReady(int fd, std::uint32_t events) override;

  private:
    static int socketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
    static int timerCallback(CURLM* multi, long timeoutMs, void* userp);
    static int closeSocketCallback(void* clientp, curl_socket_t s);
    static int socketOptionCallback(void* clientp, curl_socket_t s, curlsocktype purpose);
    void action(curl_socket_t s, int flags);
    void drainMessages();
    void forget(curl_socket_t s);

    CURLM* multi_ = nullptr;
    DoneHandler onDone_;
    NetworkLoop::TimerId timer_ = 0;
    NetworkLoop::Clock::time_point timerAt_{};
    std::unordered_set<curl_socket_t> sockets_;
    std::unordered_set<curl_socket_t> connections_;  // closed through closeSocketCallback only
    std::vector<CURL*> spareEasy_;
    std::shared_ptr<bool> alive_;
};

}  // namespace brisko::platform::detail
