// Internal: the process-wide network thread (an Asio io_context) and libcurl multi handles driven by it.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform::detail {

// The one thread that moves bytes for every URL session. It runs an io_context: sockets are waited on
// through its reactor, and the loop's timers share one Asio timer that is re-armed only when a timer
// earlier than the armed one appears, so moving a deadline later costs nothing.
class NetworkLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;

    static NetworkLoop& instance();
    bool onThread() const { return std::this_thread::get_id() == threadId_; }
    asio::io_context& context() { return io_; }

    // Runs work on the network thread, in order (always queued, never inline).
    void post(UniqueFunction<void()> work);
    // Runs `action` as soon as the network-thread handler that calls it returns, before the loop looks at
    // its sockets again (each look is a system call); called outside such a handler, or by an action run
    // this way, it is posted instead, so such actions cannot keep the loop from its sockets. Network
    // thread only.
    void afterHandler(UniqueFunction<void()> action);
    // Runs `work` as a handler of the loop: what it leaves to afterHandler runs when it returns.
    template <class F> void runHandler(F&& work) {
        ++handlerDepth_;
        try {
            work();
        } catch (...) {
            if (--handlerDepth_ == 0) postAfterHandler();
            throw;
        }
        if (--handlerDepth_ == 0 && !afterHandler_.empty()) runAfterHandler();
    }

    // Network thread only.
    TimerId schedule(Clock::time_point when, UniqueFunction<void()> action);
    // Moves a pending timer to another time (without allocating); false when it is no longer pending.
    bool reschedule(TimerId id, Clock::time_point when);
    void cancel(TimerId id);
    // Runs `action` once the loop has caught up with its sockets: after the handlers that are ready now
    // and, while those include socket events, after what a few more looks at the sockets find ready.
    // Used to hand a batch of events to another thread with one wake-up. Under load, replies arrive one
    // after another; a batch that takes in the next few saves wake-ups (each costs the waking thread an
    // interrupt to another CPU) and lets the work that follows them run in one burst. A quiet loop hands
    // its batch on at once, and while no transfer runs there is no reply to wait for: the batch then goes
    // as soon as the handler that made it returns (see afterHandler).
    void atEndOfIteration(UniqueFunction<void()> action);
    // Counts a socket event (for the looks above).
    void noteSocketEvent() { ++socketEvents_; }
    // Counts the transfers running on the loop's connection pools.
    void noteTransferStarted() { ++transfers_; }
    void noteTransferEnded() { --transfers_; }

private:
    NetworkLoop();
    void run();
    void armAlarm(Clock::time_point when);
    void onAlarm();
    void flushEndOfIteration();
    void runAfterHandler();
    void postAfterHandler();

    asio::io_context io_{1};
    asio::steady_timer alarm_{io_};
    Clock::time_point alarmAt_ = Clock::time_point::max();
    std::thread thread_;
    std::thread::id threadId_;

    std::vector<UniqueFunction<void()>> endOfIteration_;
    std::vector<UniqueFunction<void()>> flushing_;  // the batch being run
    bool endOfIterationPosted_ = false;
    int looksLeft_ = 0;  // before the posted flush runs the batch
    std::uint64_t socketEvents_ = 0;
    std::uint64_t socketEventsAtLook_ = 0;
    int transfers_ = 0;
    int handlerDepth_ = 0;
    bool runningAfterHandler_ = false;
    std::vector<UniqueFunction<void()>> afterHandler_;
    std::vector<UniqueFunction<void()>> runningAfter_;  // the actions being run
    std::map<std::pair<Clock::time_point, TimerId>, UniqueFunction<void()>> timers_;
    std::unordered_map<TimerId, Clock::time_point> timerTimes_;
    TimerId nextTimer_ = 1;
};

// Ends a connection whose descriptor libcurl still holds: the descriptor becomes a copy of a local socket
// whose peer is gone. The connection closes at once, as closing the descriptor would, and libcurl, which
// finds a descriptor that reads as ended, takes the connection for dead, never reuses it, and closes the
// copy. (Shutting the connection down costs about twice as much, in the kernel: its end is then processed
// twice, once at the shutdown and once at the close.)
void endConnection(curl_socket_t s);

// Shorthands for the network thread.
bool onNetworkThread();
void postToNetwork(UniqueFunction<void()> work);

// One multi handle (one connection pool) driven by the network loop through libcurl's socket
// interface. Network thread only.
class CurlMulti {
public:
    // Called for each finished transfer with its result.
    using DoneHandler = UniqueFunction<void(CURL* easy, CURLcode result)>;

    explicit CurlMulti(DoneHandler onDone);
    ~CurlMulti();
    CurlMulti(const CurlMulti&) = delete;
    CurlMulti& operator=(const CurlMulti&) = delete;

    // A multi handle for a new connection pool: one a finished pool left behind, or a new one. Setting a
    // multi handle up and tearing it down costs libcurl more than a small request, and some sessions
    // live for one request.
    static std::unique_ptr<CurlMulti> make(DoneHandler onDone);
    // Ends a pool. Its multi handle is kept for a later one when no transfer runs on it, with nothing of
    // this pool left that could serve the next: its connections are ended (endConnection: libcurl finds
    // them dead and never reuses them) and its easy handles that ran TLS, whose TLS sessions could be
    // resumed under another pool's trust decisions, are cleaned up. Otherwise it is torn down.
    static void recycle(std::unique_ptr<CurlMulti> multi);

    CURLM* handle() const { return multi_; }
    // Starts a transfer; false when libcurl refuses it.
    bool add(CURL* easy);
    // Stops a transfer without a done call (the easy handle can be cleaned up afterwards).
    void remove(CURL* easy);
    // Sets the socket callbacks of an easy handle: a socket is let go by the reactor before it closes,
    // and the sockets of connections are known as such (they stay registered between transfers).
    void prepare(CURL* easy);

    // An easy handle to reuse (reset), or a new one; and back when a transfer is over.
    CURL* takeEasy();
    void giveBackEasy(CURL* easy);
    // Notes that an easy handle talks TLS: it then never serves another pool.
    void markTLS(CURL* easy) { tlsEasy_.insert(easy); }

private:
    struct Socket;

    static int socketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
    static int timerCallback(CURLM* multi, long timeoutMs, void* userp);
    static int closeSocketCallback(void* clientp, curl_socket_t s);
    static int socketOptionCallback(void* clientp, curl_socket_t s, curlsocktype purpose);
    void watch(curl_socket_t s, int what);
    void arm(const std::shared_ptr<Socket>& socket);
    void onReady(const std::shared_ptr<Socket>& socket, int direction, const std::error_code& ec);
    void action(curl_socket_t s, int flags);
    void drainMessages();
    void forget(curl_socket_t s);

    CURLM* multi_ = nullptr;
    DoneHandler onDone_;
    NetworkLoop::TimerId timer_ = 0;
    NetworkLoop::Clock::time_point timerAt_{};
    bool kickPosted_ = false;  // a 0 ms timeout is on its way (after the handler, or through the queue)
    std::unordered_map<curl_socket_t, std::shared_ptr<Socket>> sockets_;
    std::unordered_set<curl_socket_t> connections_;  // closed through closeSocketCallback only
    std::vector<CURL*> spareEasy_;
    std::unordered_set<CURL*> tlsEasy_;  // easy handles (spare or in use) that ran TLS
    int transfers_ = 0;                  // easy handles added and not yet removed
    std::shared_ptr<bool> alive_;
};

}  // namespace brisko::platform::detail
