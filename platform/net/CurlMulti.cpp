// The network thread's epoll loop and the libcurl multi driver on top of it.
#include "platform/net/CurlMulti.hpp"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace brisko::platform::detail {

namespace {
constexpr int kMaxEvents = 64;
// After real work the loop looks for more for a little while before it sleeps: a caller's next request
// and the answer to a request just sent often come within tens of microseconds, and waking a sleeping
// thread costs as much on a virtual machine. An idle loop does not spin.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);
}  // namespace

// MARK: - NetworkLoop

NetworkLoop& NetworkLoop::instance() {
    // Never destroyed: sessions may still post work while static objects are destroyed at exit.
    static NetworkLoop* loop = new NetworkLoop;
    return *loop;
}

NetworkLoop::NetworkLoop() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &ev);
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
    thread_.detach();
}

void NetworkLoop::post(UniqueFunction<void()> work) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        posted_.store(true, std::memory_order_release);
        // Only a sleeping loop needs the wake-up write; one write is enough until it wakes.
        if (sleeping_) {
            sleeping_ = false;
            wake = true;
        }
    }
    if (wake) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof(one));
    }
}

void NetworkLoop::watch(int fd, std::uint32_t events, SocketHandler* handler) {
    if (events == 0) {
        unwatch(fd);
        return;
    }
    auto [it, inserted] = watches_.try_emplace(fd);
    it->second.handler = handler;
    if (!inserted && it->second.events == events) return;
    it->second.events = events;
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    if (epoll_ctl(epoll_, inserted ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev) != 0 && errno == ENOENT) {
        epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    }
}

void NetworkLoop::unwatch(int fd) {
    if (watches_.erase(fd) > 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void NetworkLoop::park(int fd) {
    if (auto it = watches_.find(fd); it != watches_.end()) it->second.handler = nullptr;
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

void NetworkLoop::atEndOfIteration(UniqueFunction<void()> action) {
    endOfIteration_.push_back(std::move(action));
}

int NetworkLoop::waitMilliseconds() const {
    if (timers_.empty()) return -1;
    const auto next = timers_.begin()->first.first;
    const auto now = Clock::now();
    if (next <= now) return 0;
    // Round up so a timer is never woken for just before its time.
    return static_cast<int>(std::min<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - now + std::chrono::microseconds(999))
            .count(),
        60'000));
}

void NetworkLoop::runTimers() {
    const auto now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto node = timers_.extract(timers_.begin());
        timerTimes_.erase(node.key().second);
        node.mapped()();
    }
}

int NetworkLoop::spin(epoll_event* events) {
    const auto until = Clock::now() + kSpinBeforeSleep;
    do {
        if (posted_.load(std::memory_order_acquire)) return 0;
        const int n = epoll_wait(epoll_, events, kMaxEvents, 0);
        if (n > 0) return n;
    } while (Clock::now() < until);
    return 0;
}

void NetworkLoop::run() {
    pthread_setname_np(pthread_self(), "brisko-network");
    std::vector<UniqueFunction<void()>> work;
    epoll_event events[kMaxEvents];
    int ready = 0;  // descriptors reported by the last wait
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            work.swap(queue_);
            posted_.store(false, std::memory_order_relaxed);
        }
        const bool busy = ready > 0 || !work.empty();
        for (auto& w : work) {
            try {
                w();
            } catch (...) {
                // Work items report their own failures; one that throws must not stop the network.
            }
        }
        work.clear();
        runTimers();
        while (!endOfIteration_.empty()) {
            auto actions = std::move(endOfIteration_);
            endOfIteration_.clear();
            for (auto& a : actions) a();
        }
        int timeout = waitMilliseconds();
        if (busy && timeout != 0) {
            ready = spin(events);
            if (ready > 0) {
                dispatch(events, ready);
                continue;
            }
        }
        {
            std::lock_guard lock(mutex_);
            if (!queue_.empty()) continue;
            sleeping_ = true;
        }
        ready = epoll_wait(epoll_, events, kMaxEvents, timeout);
        {
            std::lock_guard lock(mutex_);
            sleeping_ = false;
        }
        dispatch(events, ready);
    }
}

void NetworkLoop::dispatch(const epoll_event* events, int count) {
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == wakeFd_) {
            std::uint64_t value;
            [[maybe_unused]] auto r = ::read(wakeFd_, &value, sizeof(value));
            continue;
        }
        // A handler may have unwatched this or another descriptor meanwhile.
        auto it = watches_.find(fd);
        if (it == watches_.end()) continue;
        if (!it->second.handler) {
            unwatch(fd);  // parked, and ready (the peer closed it, say): nobody to tell until watched again
            continue;
        }
        it->second.handler->onSocketReady(fd, events[i].events);
    }
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
    for (CURL* easy : spareEasy_) curl_easy_cleanup(easy);
    // Cleaning up closes the pooled connections through our close-socket callback.
    curl_multi_cleanup(multi_);
    for (auto fd : sockets_) loop.unwatch(fd);
    sockets_.clear();
}

void CurlMulti::prepare(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETFUNCTION, &CurlMulti::closeSocketCallback);
    curl_easy_setopt(easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, &CurlMulti::socketOptionCallback);
    curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, this);
}

bool CurlMulti::add(CURL* easy) {
    return curl_multi_add_handle(multi_, easy) == CURLM_OK;
}

void CurlMulti::remove(CURL* easy) {
    curl_multi_remove_handle(multi_, easy);
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
    NetworkLoop::instance().unwatch(s);
    sockets_.erase(s);
    connections_.erase(s);
}

int CurlMulti::socketCallback(CURL*, curl_socket_t s, int what, void* userp, void*) {
    auto* self = static_cast<CurlMulti*>(userp);
    if (what == CURL_POLL_REMOVE) {
        // A connection goes back to the pool between transfers: it stays registered for the next one.
        // Any other socket (the resolver's) may be closed by libcurl without our callback.
        if (self->connections_.contains(s)) {
            NetworkLoop::instance().park(s);
            self->sockets_.erase(s);
        } else {
            self->forget(s);
        }
        return 0;
    }
    self->sockets_.insert(s);
    std::uint32_t events = 0;
    if (what & CURL_POLL_IN) events |= EPOLLIN;
    if (what & CURL_POLL_OUT) events |= EPOLLOUT;
    NetworkLoop::instance().watch(s, events, self);
    return 0;
}

void CurlMulti::onSocketReady(int fd, std::uint32_t events) {
    int flags = 0;
    if (events & (EPOLLIN | EPOLLHUP)) flags |= CURL_CSELECT_IN;
    if (events & EPOLLOUT) flags |= CURL_CSELECT_OUT;
    if (events & EPOLLERR) flags |= CURL_CSELECT_ERR;
    action(fd, flags);
}

int CurlMulti::timerCallback(CURLM*, long timeoutMs, void* userp) {
    auto* self = static_cast<CurlMulti*>(userp);
    auto& loop = NetworkLoop::instance();
    if (timeoutMs < 0) {
        if (self->timer_) loop.cancel(self->timer_);
        self->timer_ = 0;
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
        curl_multi_remove_handle(multi_, easy);
        onDone_(easy, result);
        if (!*alive) return;
    }
}

}  // namespace brisko::platform::detail
