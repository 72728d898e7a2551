// Announcement sequences over one listener each.
#include "auth/AuthStateChanges.hpp"

namespace brisko::auth {

void AuthStateChangeIterator::Stream::yield(std::shared_ptr<User> user) {
    std::optional<platform::Continuation<std::shared_ptr<User>>> resume;
    {
        std::lock_guard lock(mutex);
        if (waiter) {
            resume.swap(waiter);
        } else {
            buffer.push_back(std::move(user));
            return;
        }
    }
    resume->resume(std::move(user));
}

AuthStateChangeIterator::AuthStateChangeIterator(std::shared_ptr<Auth> auth, Kind kind)
    : auth_(std::move(auth)), kind_(kind), stream_(std::make_shared<Stream>()) {
    std::weak_ptr<Stream> weak = stream_;
    auto listener = [weak](std::shared_ptr<Auth>, std::shared_ptr<User> user) {
        if (auto stream = weak.lock()) stream->yield(std::move(user));
    };
    handle_ = kind_ == Kind::authState ? auth_->addStateDidChangeListener(listener)
                                       : auth_->addIDTokenDidChangeListener(listener);
}

AuthStateChangeIterator::~AuthStateChangeIterator() {
    if (kind_ == Kind::authState) {
        auth_->removeStateDidChangeListener(handle_);
    } else {
        auth_->removeIDTokenDidChangeListener(handle_);
    }
}

platform::Task<std::optional<std::shared_ptr<User>>> AuthStateChangeIterator::next() {
    auto stream = stream_;
    auto user = co_await platform::withContinuation<std::shared_ptr<User>>(
        [stream](platform::Continuation<std::shared_ptr<User>> c) {
            std::unique_lock lock(stream->mutex);
            if (!stream->buffer.empty()) {
                auto front = std::move(stream->buffer.front());
                stream->buffer.pop_front();
                lock.unlock();
                c.resume(std::move(front));
                return;
            }
            stream->waiter = std::move(c);
        });
    co_return std::optional<std::shared_ptr<User>>(std::move(user));
}

}  // namespace brisko::auth
