// The network thread's loop and the libcurl multi driver on top of it.
#include "platform/net/CurlMulti.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace brisko::platform::detail {

// MARK: - NetworkLoop

namespace {
// The eventfd's tag in epoll events; sockets carry their serial in the high half and cannot match it.
constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};
constexpr int kEventsPerLook = 64;

std::uint64_t socketTag(int fd, std::uint32_t serial) {
    return (std::uint64_t{serial} << 32) | static_cast<std::uint32_t>(fd);
}

[[noreturn]] void cannotRun(const char* what) {
    std::fprintf(stderr, "brisko: the network thread cannot start: %s failed (%d)\n", what, errno);
    std::abort();
}
}  // namespace

NetworkLoop& NetworkLoop::instance() {
    // Never destroyed: sessions may still post work while static objects are destroyed at exit.
    static NetworkLoop* loop = new NetworkLoop;
    return *loop;
}

NetworkLoop::NetworkLoop() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) cannotRun("epoll_create1");
    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) cannotRun("eventfd");
    // Edge-triggered: every write is an edge, so the counter is never read (it cannot fill up in the
    // life of a process).
    epoll_event event{};
    event.events = EPOLLIN | EPOLLET;
    event.data.u64 = kWakeTag;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event) != 0) cannotRun("epoll_ctl");
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
    thread_.detach();
}

void NetworkLoop::run() {
    pthread_setname_np(pthread_self(), "brisko-network");
    epoll_event events[kEventsPerLook];
    for (;;) {
        // Work queued meanwhile (by this thread, which writes no wake-up) is run after one look that does
        // not wait.
        bool queued;
        {
            std::lock_guard lock(postedMutex_);
            queued = !posted_.empty();
            // From here to the end of the wait, a post from another thread has to wake the loop.
            waiting_.store(!queued, std::memory_order_relaxed);
        }
        const int count = ::epoll_wait(epoll_, events, kEventsPerLook, queued ? 0 : waitMilliseconds());
        // Awake: what is posted now is taken below (or, posted later, at the next look) without a wake-up.
        waiting_.store(false, std::memory_order_relaxed);
        for (int i = 0; i < count; ++i) {
            if (events[i].data.u64 != kWakeTag) onSocketEvent(events[i].data.u64, events[i].events);
        }
        runDueTimers();
        {
            std::lock_guard lock(postedMutex_);
            ready_.swap(posted_);
        }
        // The two vectors trade places each turn, so neither allocates once both have grown.
        for (auto& work : ready_) {
            try {
                runHandler(work);
            } catch (...) {
                // Work items report their own failures; one that throws must not stop the network.
            }
        }
        ready_.clear();
    }
}

void NetworkLoop::post(UniqueFunction<void()> work) {
    bool wake;
    {
        std::lock_guard lock(postedMutex_);
        // Only a loop that waits (or is about to) needs waking, and only once: a queue that holds work
        // already has its wake-up written. A loop at work takes the queue before it waits again.
        wake = waiting_.load(std::memory_order_relaxed) && posted_.empty();
        posted_.push_back(std::move(work));
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_, &one, sizeof one);
    }
}

int NetworkLoop::waitMilliseconds() {
    if (timers_.empty()) return -1;
    const auto left = timers_.begin()->first.first - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    // Rounded up: a timer never fires early, and a loop woken a little before its deadline would only go
    // round once more for nothing.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void NetworkLoop::runDueTimers() {
    if (timers_.empty()) return;
    const auto now = Clock::now();
    if (timers_.begin()->first.first > now) return;
    try {
        runHandler([&] {
            while (!timers_.empty() && timers_.begin()->first.first <= now) {
                auto node = timers_.extract(timers_.begin());
                timerTimes_.erase(node.key().second);
                node.mapped()();
            }
        });
    } catch (...) {
        // As for work items: the others run on the next turn.
    }
}

bool NetworkLoop::control(int fd, Watched& w, std::uint32_t events) {
    if (events == w.registered) return true;
    epoll_event event{};
    event.events = events;
    event.data.u64 = socketTag(fd, w.serial);
    if (events == 0) {
        // Watching nothing is not watching: errors and hang-ups would still be reported, on every look.
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, &event);
        w.registered = 0;
        return true;
    }
    int op = w.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    int result = ::epoll_ctl(epoll_, op, fd, &event);
    // The kernel dropped a registration when its socket closed behind our back (ENOENT), or a descriptor
    // came back registered still (EEXIST): the other operation then does it.
    if (result != 0 && (errno == ENOENT || errno == EEXIST)) {
        op = op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
        result = ::epoll_ctl(epoll_, op, fd, &event);
    }
    w.registered = result == 0 ? events : 0;
    return result == 0;
}

bool NetworkLoop::watch(int fd, bool in, bool out, SocketHandler handler, void* owner) {
    if (fd < 0) return false;
    if (static_cast<std::size_t>(fd) >= watched_.size()) watched_.resize(static_cast<std::size_t>(fd) + 1);
    auto& w = watched_[static_cast<std::size_t>(fd)];
    if (w.owner != owner || w.handler != handler) {
        // A descriptor new to its owner: events still queued for whoever had it before are stale.
        w.owner = owner;
        w.handler = handler;
        w.serial = nextSerial_++;
        if (w.registered) {
            // Registered under the old serial: tell epoll the new one.
            epoll_event event{};
            event.events = w.registered;
            event.data.u64 = socketTag(fd, w.serial);
            if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &event) != 0) w.registered = 0;
        }
    }
    w.in = in;
    w.out = out;
    // Reading stays watched once it was; writing only while wanted.
    const std::uint32_t events = (in || (w.registered & EPOLLIN) ? EPOLLIN : 0u) | (out ? EPOLLOUT : 0u);
    return control(fd, w, events);
}

void NetworkLoop::unwatch(int fd, void* owner) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= watched_.size()) return;
    auto& w = watched_[static_cast<std::size_t>(fd)];
    if (w.owner != owner) return;
    control(fd, w, 0);
    w = Watched{};
}

void NetworkLoop::onSocketEvent(std::uint64_t data, std::uint32_t events) {
    const auto fd = static_cast<int>(static_cast<std::uint32_t>(data));
    if (static_cast<std::size_t>(fd) >= watched_.size()) return;
    auto& w = watched_[static_cast<std::size_t>(fd)];
    // Let go of (or handed to another owner) by a handler that ran on this look.
    if (!w.owner || w.serial != static_cast<std::uint32_t>(data >> 32)) return;
    const bool ended = events & (EPOLLHUP | EPOLLERR);
    int flags = 0;
    if (w.in && (events & (EPOLLIN | EPOLLRDHUP) || ended)) flags |= CURL_CSELECT_IN;
    if (w.out && (events & EPOLLOUT || ended)) flags |= CURL_CSELECT_OUT;
    if (flags && (events & EPOLLERR)) flags |= CURL_CSELECT_ERR;
    if (!w.in && (events & (EPOLLIN | EPOLLRDHUP) || ended)) {
        // Readable (or ended) while nobody reads it: it would be reported on every look until then.
        control(fd, w, w.out ? EPOLLOUT : 0u);
    }
    if (!flags) return;
    noteSocketEvent();
    const auto handler = w.handler;
    void* owner = w.owner;
    try {
        runHandler([&] { handler(owner, fd, flags); });
    } catch (...) {
    }
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
    return id;
}

bool NetworkLoop::reschedule(TimerId id, Clock::time_point when) {
    auto it = timerTimes_.find(id);
    if (it == timerTimes_.end()) return false;
    auto node = timers_.extract(std::make_pair(it->second, id));
    node.key().first = when;
    timers_.insert(std::move(node));
    it->second = when;
    return true;
}

void NetworkLoop::cancel(TimerId id) {
    auto it = timerTimes_.find(id);
    if (it == timerTimes_.end()) return;
    timers_.erase(std::make_pair(it->second, id));
    timerTimes_.erase(it);
}

namespace {
// The most times a batch goes round the loop's queue before it is handed on: each round lets the loop
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
    post([this] { flushEndOfIteration(); });
}

void NetworkLoop::flushEndOfIteration() {
    // Sockets were busy since the last look: look once more before handing the batch on.
    if (looksLeft_ > 0 && socketEvents_ != socketEventsAtLook_) {
        --looksLeft_;
        socketEventsAtLook_ = socketEvents_;
        post([this] { flushEndOfIteration(); });
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
    for (curl_socket_t s : sockets_) loop.unwatch(s, this);
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
// Which open file a descriptor number holds: its inode, 0 when the number is free. Inodes of sockets
// count up, so a socket opened later under the same number has another.
std::uint64_t socketIdentity(curl_socket_t s) {
    struct stat st {};
    return ::fstat(s, &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

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
    if (multi->transfers_ != 0 || spares.size() >= kSpareMultis) return;  // torn down here
    // Connections libcurl closed itself: their numbers may be anyone's now.
    std::erase_if(multi->connections_, [&](const auto& connection) {
        if (socketIdentity(connection.first) == connection.second) return false;
        multi->forgetWatch(connection.first);
        return true;
    });
    if (multi->connections_.size() > kMostConnectionsOfASpareMulti) return;
    for (const auto& [s, identity] : multi->connections_) {
        multi->forgetWatch(s);
        endConnection(s);
    }
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
    if (purpose == CURLSOCKTYPE_IPCXN) static_cast<CurlMulti*>(clientp)->connections_[s] = socketIdentity(s);
    return CURL_SOCKOPT_OK;
}

void CurlMulti::forget(curl_socket_t s) {
    connections_.erase(s);
    forgetWatch(s);
}

void CurlMulti::forgetWatch(curl_socket_t s) {
    if (sockets_.erase(s) != 0) NetworkLoop::instance().unwatch(s, this);
}

int CurlMulti::socketCallback(CURL*, curl_socket_t s, int what, void* userp, void*) {
    auto* self = static_cast<CurlMulti*>(userp);
    auto& loop = NetworkLoop::instance();
    if (what == CURL_POLL_REMOVE) {
        if (self->connections_.contains(s)) {
            // A connection goes back to the pool between transfers: it stays registered for the next
            // one, waiting for nothing, until libcurl closes it through our callback.
            if (self->sockets_.contains(s)) loop.watch(s, false, false, &CurlMulti::onSocketReady, self);
        } else {
            // Any other socket (the resolver's) may be closed by libcurl without our callback.
            self->forgetWatch(s);
        }
        return 0;
    }
    self->sockets_.insert(s);
    if (!loop.watch(s, what & CURL_POLL_IN, what & CURL_POLL_OUT, &CurlMulti::onSocketReady, self)) {
        self->forgetWatch(s);
        return -1;  // the transfer fails rather than waiting forever
    }
    return 0;
}

void CurlMulti::onSocketReady(void* self, int fd, int flags) {
    static_cast<CurlMulti*>(self)->action(fd, flags);
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
