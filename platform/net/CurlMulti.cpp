// The network thread's io_context and the libcurl multi driver on top of it.
#include "platform/net/CurlMulti.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>

namespace brisko::platform::detail {

// MARK: - NetworkLoop

NetworkLoop& NetworkLoop::instance() {
    // Never destroyed: sessions may still post work while static objects are destroyed at exit.
    static NetworkLoop* loop = new NetworkLoop;
    return *loop;
}

NetworkLoop::NetworkLoop() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
    thread_.detach();
}

void NetworkLoop::run() {
    pthread_setname_np(pthread_self(), "brisko-network");
    auto guard = asio::make_work_guard(io_);
    for (;;) {
        try {
            io_.run();
            return;
        } catch (...) {
            // Work items report their own failures; one that throws must not stop the network.
        }
    }
}

void NetworkLoop::post(UniqueFunction<void()> work) {
    asio::post(io_, [this, work = std::move(work)]() mutable { runHandler(work); });
}

void NetworkLoop::afterHandler(UniqueFunction<void()> action) {
    if (handlerDepth_ == 0 || runningAfterHandler_) {
        post(std::move(action));
        return;
    }
    afterHandler_.push_back(std::move(action));
}

void NetworkLoop::runAfterHandler() {
    // The two vectors trade places, so neither allocates once both have grown.
    afterHandler_.swap(runningAfter_);
    runningAfterHandler_ = true;
    std::size_t next = 0;
    try {
        while (next < runningAfter_.size()) runningAfter_[next++]();
    } catch (...) {
        // The others still run, later.
        for (; next < runningAfter_.size(); ++next) post(std::move(runningAfter_[next]));
        runningAfter_.clear();
        runningAfterHandler_ = false;
        throw;
    }
    runningAfter_.clear();
    runningAfterHandler_ = false;
}

void NetworkLoop::postAfterHandler() {
    for (auto& action : afterHandler_) post(std::move(action));
    afterHandler_.clear();
}

NetworkLoop::TimerId NetworkLoop::schedule(Clock::time_point when, UniqueFunction<void()> action) {
    const TimerId id = nextTimer_++;
    timers_.emplace(std::make_pair(when, id), std::move(action));
    timerTimes_.emplace(id, when);
    if (when < alarmAt_) armAlarm(when);
    return id;
}

bool NetworkLoop::reschedule(TimerId id, Clock::time_point when) {
    auto it = timerTimes_.find(id);
    if (it == timerTimes_.end()) return false;
    auto node = timers_.extract(std::make_pair(it->second, id));
    node.key().first = when;
    timers_.insert(std::move(node));
    it->second = when;
    if (when < alarmAt_) armAlarm(when);
    return true;
}

void NetworkLoop::cancel(TimerId id) {
    // The alarm stays armed: waking once for nothing is cheaper than re-arming it on every cancel.
    auto it = timerTimes_.find(id);
    if (it == timerTimes_.end()) return;
    timers_.erase(std::make_pair(it->second, id));
    timerTimes_.erase(it);
}

void NetworkLoop::armAlarm(Clock::time_point when) {
    alarmAt_ = when;
    alarm_.expires_at(when);
    alarm_.async_wait([this](const std::error_code& ec) {
        if (ec != asio::error::operation_aborted) onAlarm();
    });
}

void NetworkLoop::onAlarm() {
    alarmAt_ = Clock::time_point::max();
    const auto now = Clock::now();
    runHandler([&] {
        while (!timers_.empty() && timers_.begin()->first.first <= now) {
            auto node = timers_.extract(timers_.begin());
            timerTimes_.erase(node.key().second);
            node.mapped()();
        }
    });
    if (!timers_.empty() && timers_.begin()->first.first < alarmAt_) armAlarm(timers_.begin()->first.first);
}

namespace {
// The most times a batch goes round the loop's queue before it is handed on: each round lets the reactor
// look at the sockets again (without waiting) and run what it finds. With the identity backend's
// benchmark (50 calls in flight), a batch then gathers three to four replies, against fewer than two
// without the looks.
constexpr int kMostLooks = 4;
}  // namespace

void NetworkLoop::atEndOfIteration(UniqueFunction<void()> action) {
    endOfIteration_.push_back(std::move(action));
    if (endOfIterationPosted_) return;
    if (transfers_ == 0 && handlerDepth_ > 0 && !runningAfterHandler_) {
        // No transfer runs that could add to the batch: it goes when this handler returns.
        endOfIterationPosted_ = true;
        looksLeft_ = 0;
        afterHandler_.push_back([this] { flushEndOfIteration(); });
        return;
    }
    endOfIterationPosted_ = true;
    looksLeft_ = kMostLooks;
    socketEventsAtLook_ = socketEvents_;
    // Posted from the network thread, it runs after the handlers that are ready now.
    asio::post(io_, [this] { flushEndOfIteration(); });
}

void NetworkLoop::flushEndOfIteration() {
    // Sockets were busy since the last look: look once more before handing the batch on.
    if (looksLeft_ > 0 && socketEvents_ != socketEventsAtLook_) {
        --looksLeft_;
        socketEventsAtLook_ = socketEvents_;
        asio::post(io_, [this] { flushEndOfIteration(); });
        return;
    }
    endOfIterationPosted_ = false;
    // The two vectors trade places, so neither allocates once both have grown; an action that queues
    // more posts another flush.
    endOfIteration_.swap(flushing_);
    for (auto& a : flushing_) a();
    flushing_.clear();
}

bool onNetworkThread() {
    return NetworkLoop::instance().onThread();
}
void postToNetwork(UniqueFunction<void()> work) {
    NetworkLoop::instance().post(std::move(work));
}

// MARK: - CurlMulti

// A socket libcurl asked us to watch, registered with the loop's reactor. Pending waits hold it, so a
// wait that ends after the socket was let go finds it marked and does nothing.
struct CurlMulti::Socket {
    Socket(asio::io_context& io, curl_socket_t s) : fd(s), descriptor(io) {}
    ~Socket() { release(); }
    // Lets the reactor forget the descriptor without closing it (libcurl owns it), ending pending waits.
    void release() {
        gone = true;
        if (!descriptor.is_open()) return;
        descriptor.release();
    }

    curl_socket_t fd;
    asio::posix::stream_descriptor descriptor;
    int wanted = 0;        // the CURL_POLL_IN / CURL_POLL_OUT bits libcurl waits for now
    bool reading = false;  // a wait for each direction is pending
    bool writing = false;
    bool watchesWrites = false;  // a write wait was ever started: the reactor reports writability too
    bool pooled = false;         // a connection that finished a transfer and may serve more
    bool gone = false;
};

CurlMulti::CurlMulti(DoneHandler onDone)
    : multi_(curl_multi_init()), onDone_(std::move(onDone)), alive_(std::make_shared<bool>(true)) {
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
}

CurlMulti::~CurlMulti() {
    *alive_ = false;
    auto& loop = NetworkLoop::instance();
    if (timer_) loop.cancel(timer_);
    // Transfers still on the handle end with it.
    for (; transfers_ > 0; --transfers_) loop.noteTransferEnded();
    for (CURL* easy : spareEasy_) curl_easy_cleanup(easy);
    // Cleaning up closes the pooled connections through our close-socket callback.
    curl_multi_cleanup(multi_);
    for (auto& [fd, socket] : sockets_) socket->release();
    sockets_.clear();
}

void CurlMulti::prepare(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlMulti::closeSocketCallback);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &CurlMulti::socketOptionCallback);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
}

void endConnection(curl_socket_t s) {
    // A local socket whose peer is gone: a copy of it reads as ended and polls as hung up.
    static const int ended = [] {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
        ::close(pair[1]);
        return pair[0];
    }();
    if (ended < 0 || ::dup3(ended, s, O_CLOEXEC) < 0) ::shutdown(s, SHUT_RDWR);
}

namespace {
// Multi handles that finished pools left behind (network thread only). Few and small: each holds the
// ended sockets of its former connections until libcurl lets go of them.
constexpr std::size_t kSpareMultis = 4;
constexpr std::size_t kMostConnectionsOfASpareMulti = 4;
std::vector<std::unique_ptr<CurlMulti>>& spareMultis() {
    static auto* spares = new std::vector<std::unique_ptr<CurlMulti>>;
    return *spares;
}
}  // namespace

std::unique_ptr<CurlMulti> CurlMulti::make(DoneHandler onDone) {
    auto& spares = spareMultis();
    if (spares.empty()) return std::make_unique<CurlMulti>(std::move(onDone));
    auto multi = std::move(spares.back());
    spares.pop_back();
    multi->onDone_ = std::move(onDone);
    return multi;
}

void CurlMulti::recycle(std::unique_ptr<CurlMulti> multi) {
    if (!multi) return;
    auto& spares = spareMultis();
    if (multi->transfers_ != 0 || multi->connections_.size() > kMostConnectionsOfASpareMulti ||
        spares.size() >= kSpareMultis) {
        return;  // torn down here
    }
    for (curl_socket_t s : multi->connections_) endConnection(s);
    std::erase_if(multi->spareEasy_, [&](CURL* easy) {
        if (!multi->tlsEasy_.contains(easy)) return false;
        curl_easy_cleanup(easy);
        return true;
    });
    multi->tlsEasy_.clear();
    multi->onDone_ = nullptr;
    spares.push_back(std::move(multi));
}

bool CurlMulti::add(CURL* easy) {
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) return false;
    ++transfers_;
    NetworkLoop::instance().noteTransferStarted();
    return true;
}

void CurlMulti::remove(CURL* easy) {
    if (curl_multi_remove_handle(multi_, easy) != CURLM_OK) return;
    --transfers_;
    NetworkLoop::instance().noteTransferEnded();
}

CURL* CurlMulti::takeEasy() {
    if (spareEasy_.empty()) return curl_easy_init();
    CURL* easy = spareEasy_.back();
    spareEasy_.pop_back();
    curl_easy_reset(easy);
    return easy;
}

void CurlMulti::giveBackEasy(CURL* easy) {
    if (spareEasy_.size() < 16) {
        spareEasy_.push_back(easy);
    } else {
        tlsEasy_.erase(easy);
        curl_easy_cleanup(easy);
    }
}

int CurlMulti::closeSocketCallback(void* clientp, curl_socket_t s) {
    static_cast<CurlMulti*>(clientp)->forget(s);
    return ::close(s);
}

int CurlMulti::socketOptionCallback(void* clientp, curl_socket_t s, curlsocktype purpose) {
    if (purpose == CURLSOCKTYPE_IPCXN) static_cast<CurlMulti*>(clientp)->connections_.insert(s);
    return CURL_SOCKOPT_OK;
}

void CurlMulti::forget(curl_socket_t s) {
    connections_.erase(s);
    auto it = sockets_.find(s);
    if (it == sockets_.end()) return;
    it->second->release();
    sockets_.erase(it);
}

int CurlMulti::socketCallback(CURL*, curl_socket_t s, int what, void* userp, void*) {
    auto* self = static_cast<CurlMulti*>(userp);
    if (what == CURL_POLL_REMOVE) {
        if (self->connections_.contains(s)) {
            // A connection goes back to the pool between transfers: it stays registered for the next
            // one, with nothing waited for, until libcurl closes it through our callback.
            if (auto it = self->sockets_.find(s); it != self->sockets_.end()) {
                it->second->wanted = 0;
                it->second->pooled = true;
            }
        } else {
            // Any other socket (the resolver's) may be closed by libcurl without our callback.
            self->forget(s);
        }
        return 0;
    }
    const int wanted = what & (CURL_POLL_IN | CURL_POLL_OUT);
    auto& socket = self->sockets_[s];
    // The reactor keeps watching a descriptor for writability once it was asked to, and every change of
    // its send buffer (each acknowledgement) would then wake the loop. A connection that lives on, one
    // that went back to the pool, is registered afresh for reading only when libcurl no longer wants to
    // write (three system calls, once per connection rather than a wake per request). Its first transfer
    // keeps the registration: most connections made for one request close after it, and re-registering
    // those would cost more than the few wakes it saves.
    bool pooled = false;
    if (socket && socket->watchesWrites && socket->pooled && !(wanted & CURL_POLL_OUT)) {
        socket->release();
        socket.reset();
        pooled = true;
    }
    if (!socket) {
        socket = std::make_shared<Socket>(NetworkLoop::instance().context(), s);
        socket->pooled = pooled;
        std::error_code ec;
        socket->descriptor.assign(s, ec);
        if (ec) {
            self->sockets_.erase(s);
            return -1;  // the transfer fails rather than waiting forever
        }
    }
    socket->wanted = wanted;
    self->arm(socket);
    return 0;
}

void CurlMulti::arm(const std::shared_ptr<Socket>& socket) {
    using Wait = asio::posix::stream_descriptor::wait_type;
    if ((socket->wanted & CURL_POLL_IN) && !socket->reading) {
        socket->reading = true;
        socket->descriptor.async_wait(Wait::wait_read,
                                      [this, socket](const std::error_code& ec) { onReady(socket, CURL_POLL_IN, ec); });
    }
    if ((socket->wanted & CURL_POLL_OUT) && !socket->writing) {
        socket->writing = true;
        socket->watchesWrites = true;
        socket->descriptor.async_wait(
            Wait::wait_write, [this, socket](const std::error_code& ec) { onReady(socket, CURL_POLL_OUT, ec); });
    }
}

void CurlMulti::onReady(const std::shared_ptr<Socket>& socket, int direction, const std::error_code& ec) {
    (direction == CURL_POLL_IN ? socket->reading : socket->writing) = false;
    // A socket let go (or a multi handle destroyed, which lets go of all of them) ends here.
    if (socket->gone || ec == asio::error::operation_aborted) return;
    if (!(socket->wanted & direction)) return;  // libcurl stopped waiting for this meanwhile
    auto& loop = NetworkLoop::instance();
    loop.noteSocketEvent();
    int flags = direction == CURL_POLL_IN ? CURL_CSELECT_IN : CURL_CSELECT_OUT;
    if (ec) flags |= CURL_CSELECT_ERR;
    loop.runHandler([&] {
        action(socket->fd, flags);
        // The readiness was handed on: wait again while libcurl still wants it (unless it was let go).
        if (!socket->gone) arm(socket);
    });
}

int CurlMulti::timerCallback(CURLM*, long timeoutMs, void* userp) {
    auto* self = static_cast<CurlMulti*>(userp);
    auto& loop = NetworkLoop::instance();
    if (timeoutMs <= 0) {
        // The timer is parked at the end of time rather than cancelled, so that the next timeout moves it
        // back without allocating.
        if (self->timer_ && self->timerAt_ != NetworkLoop::Clock::time_point::max() &&
            loop.reschedule(self->timer_, NetworkLoop::Clock::time_point::max())) {
            self->timerAt_ = NetworkLoop::Clock::time_point::max();
        }
        if (timeoutMs < 0 || self->kickPosted_) return 0;
        // "Now": once the running handler returns (else queued behind what is ready) rather than armed as a
        // timer, which would cost system calls.
        self->kickPosted_ = true;
        loop.afterHandler([self, alive = self->alive_] {
            if (!*alive) return;
            self->kickPosted_ = false;
            self->action(CURL_SOCKET_TIMEOUT, 0);
        });
        return 0;
    }
    // libcurl moves its timeout several times per transfer: the pending timer is moved along with it.
    const auto when = NetworkLoop::Clock::now() + std::chrono::milliseconds(timeoutMs);
    if (self->timer_ && (self->timerAt_ == when || loop.reschedule(self->timer_, when))) {
        self->timerAt_ = when;
        return 0;
    }
    self->timerAt_ = when;
    self->timer_ = loop.schedule(when, [self, alive = self->alive_] {
        if (!*alive) return;
        self->timer_ = 0;
        self->action(CURL_SOCKET_TIMEOUT, 0);
    });
    return 0;
}

void CurlMulti::action(curl_socket_t s, int flags) {
    int running = 0;
    auto alive = alive_;
    curl_multi_socket_action(multi_, s, flags, &running);
    if (*alive) drainMessages();
}

void CurlMulti::drainMessages() {
    auto alive = alive_;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
        if (msg->msg != CURLMSG_DONE) continue;
        CURL* easy = msg->easy_handle;
        CURLcode result = msg->data.result;
        remove(easy);
        onDone_(easy, result);
        if (!*alive) return;
    }
}

}  // namespace brisko::platform::detail
