// Internal: the process-wide network thread (an epoll loop of our own) and libcurl multi handles driven
// by it.
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

#include <asio/execution_context.hpp>

#include "platform/base/PostingExecutor.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::platform::detail {

// The one thread that moves bytes for every URL session. Each turn of its loop looks at the sockets once
// (one epoll_wait, which also sleeps until the next timer or until work is posted), runs the handlers of
// the sockets that are ready and the timers that are due, then the work queued before the turn's look.
// Sockets are watched level-triggered and stay registered between waits: libcurl's usual waits (the
// reply's head, then its body, on a kept-alive connection) cost no system call beyond the look itself.
// Work posted from other threads wakes the loop through an eventfd, written only while the loop waits
// (or is about to) and nothing is queued yet: a loop at work takes the queue before it waits again.
class NetworkLoop {
public:
    using Clock = std::chrono::steady_clock;
    using TimerId = std::uint64_t;
    // Handles readiness of a watched socket: `flags` are libcurl's CURL_CSELECT_* bits.
    using SocketHandler = void (*)(void* owner, int fd, int flags);

    static NetworkLoop& instance();
    bool onThread() const { return std::this_thread::get_id() == threadId_; }
    // The execution context of the loop's executor (Asio objects made with the executor belong to it).
    asio::execution_context& context() { return context_; }
    // Posts to the loop; a dispatch queue over it runs its work on the network thread.
    PostingExecutor executor() {
        return PostingExecutor(context_, [](void* loop, UniqueFunction<void()> work) {
            static_cast<NetworkLoop*>(loop)->post(std::move(work));
        }, this);
    }

    // Runs work on the network thread, in order (always queued, never inline). Any thread.
    void post(UniqueFunction<void()> work);

    // Watches a socket for what libcurl waits for (network thread only). A socket nobody waits on stays
    // registered for reading, so the next wait costs nothing; should it turn readable meanwhile (the peer
    // closed a pooled connection, say) it is then taken out. Writability is never watched longer than
    // wanted: a writable socket would wake the loop on every turn. False when the socket cannot be watched.
    bool watch(int fd, bool in, bool out, SocketHandler handler, void* owner);
    // Stops watching a socket of `owner` (before it is closed, or when it is no longer libcurl's).
    void unwatch(int fd, void* owner);
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
    // What the loop knows of a socket it watches, by descriptor.
    struct Watched {
        SocketHandler handler = nullptr;
        void* owner = nullptr;     // null: not watched
        std::uint32_t serial = 0;  // told to epoll with the descriptor, so stale events are known
        std::uint32_t registered = 0;  // the events epoll watches (0: not registered)
        bool in = false;               // what libcurl waits for
        bool out = false;
    };

    NetworkLoop();
    void run();
    int waitMilliseconds();
    void runDueTimers();
    void onSocketEvent(std::uint64_t data, std::uint32_t events);
    bool control(int fd, Watched& w, std::uint32_t events);
    void flushEndOfIteration();
    void runAfterHandler();
    void postAfterHandler();

    asio::execution_context context_;
    int epoll_ = -1;
    int wake_ = -1;  // an eventfd, registered edge-triggered: each write wakes the loop, none is read
    std::mutex postedMutex_;
    std::vector<UniqueFunction<void()>> posted_;  // guarded by postedMutex_
    // Set (under postedMutex_) when the loop found nothing posted and is about to wait; cleared when the
    // wait ends. Posts write the wake-up only while it is set.
    std::atomic<bool> waiting_{false};
    std::vector<UniqueFunction<void()>> ready_;   // taken from posted_, run this turn
    std::vector<Watched> watched_;
    std::uint32_t nextSerial_ = 1;
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
    // Sets the socket callbacks of an easy handle: a socket is let go by the loop before it closes,
    // and the sockets of connections are known as such (they stay registered between transfers).
    void prepare(CURL* easy);

    // An easy handle to reuse (reset), or a new one; and back when a transfer is over.
    CURL* takeEasy();
    void giveBackEasy(CURL* easy);
    // Notes that an easy handle talks TLS: it then never serves another pool.
    void markTLS(CURL* easy) { tlsEasy_.insert(easy); }

private:
    static int socketCallback(CURL* easy, curl_socket_t s, int what, void* userp, void* socketp);
    static int timerCallback(CURLM* multi, long timeoutMs, void* userp);
    static int closeSocketCallback(void* clientp, curl_socket_t s);
    static int socketOptionCallback(void* clientp, curl_socket_t s, curlsocktype purpose);
    static void onSocketReady(void* self, int fd, int flags);
    void action(curl_socket_t s, int flags);
    void drainMessages();
    void forget(curl_socket_t s);
    void forgetWatch(curl_socket_t s);

    CURLM* multi_ = nullptr;
    DoneHandler onDone_;
    NetworkLoop::TimerId timer_ = 0;
    NetworkLoop::Clock::time_point timerAt_{};
    bool kickPosted_ = false;  // a 0 ms timeout is on its way (after the handler, or through the queue)
    std::unordered_set<curl_socket_t> sockets_;      // watched through the loop
    // Connection sockets, each with the socket it was opened as (socketIdentity). libcurl closes most
    // through closeSocketCallback, but not all: one whose transfer is taken off while it connects it closes
    // itself, and the number goes to whoever opens a descriptor next.
    std::unordered_map<curl_socket_t, std::uint64_t> connections_;
    std::vector<CURL*> spareEasy_;
    std::unordered_set<CURL*> tlsEasy_;  // easy handles (spare or in use) that ran TLS
    int transfers_ = 0;                  // easy handles added and not yet removed
    std::shared_ptr<bool> alive_;
};

}  // namespace brisko::platform::detail
