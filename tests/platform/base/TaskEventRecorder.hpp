// A URL-session delegate for the streamed-body and authentication tests: supplies body streams, answers
// challenges as the test says and records what the task went through.
#pragma once

#include <doctest/doctest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/net/InputStream.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::testing {

class TaskEventRecorder : public platform::URLSessionDelegate {
public:
    using Answer = std::pair<platform::URLSessionAuthChallengeDisposition, std::optional<platform::URLCredential>>;

    // Called for each needNewBodyStream (nothing answers nil).
    std::function<std::shared_ptr<platform::InputStream>()> provideStream;
    // Called for each HTTP-authentication challenge (nothing: default handling).
    std::function<Answer(const platform::URLAuthenticationChallenge&)> answerChallenge;

    void needNewBodyStream(const std::shared_ptr<platform::URLSession>&,
                           const std::shared_ptr<platform::URLSessionTask>&, BodyStreamCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            ++streamsAsked_;
        }
        completion(provideStream ? provideStream() : nullptr);
    }
    void didReceiveChallenge(const std::shared_ptr<platform::URLSession>&,
                             const std::shared_ptr<platform::URLSessionTask>&,
                             const platform::URLAuthenticationChallenge& challenge,
                             ChallengeCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            challenges_.push_back(challenge);
        }
        if (answerChallenge) {
            auto [disposition, credential] = answerChallenge(challenge);
            completion(disposition, std::move(credential));
        } else {
            completion(platform::URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        }
    }
    void didReceiveResponse(const std::shared_ptr<platform::URLSession>&,
                            const std::shared_ptr<platform::URLSessionDataTask>&,
                            const std::shared_ptr<const platform::HTTPURLResponse>& response,
                            ResponseCompletion completion) override {
        {
            std::lock_guard lock(mutex_);
            status_ = response->statusCode();
        }
        completion(platform::URLSessionResponseDisposition::allow);
    }
    void didReceiveData(const std::shared_ptr<platform::URLSession>&,
                        const std::shared_ptr<platform::URLSessionDataTask>&, const platform::Data& data) override {
        std::lock_guard lock(mutex_);
        body_.append(data.begin(), data.end());
    }
    void didSendBodyData(const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
                         std::int64_t, std::int64_t total, std::int64_t expected) override {
        std::lock_guard lock(mutex_);
        sent_ = total;
        expectedToSend_ = expected;
    }
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                              const std::shared_ptr<platform::URLSessionTask>&,
                              const std::optional<platform::Error>& error) override {
        std::lock_guard lock(mutex_);
        error_ = error;
        completed_ = true;
        cv_.notify_all();
    }

    void waitForCompletion() {
        std::unique_lock lock(mutex_);
        REQUIRE(cv_.wait_for(lock, std::chrono::seconds(20), [&] { return completed_; }));
    }
    std::optional<platform::Error> error() {
        std::lock_guard lock(mutex_);
        return error_;
    }
    int status() {
        std::lock_guard lock(mutex_);
        return status_;
    }
    std::string body() {
        std::lock_guard lock(mutex_);
        return body_;
    }
    int streamsAsked() {
        std::lock_guard lock(mutex_);
        return streamsAsked_;
    }
    std::vector<platform::URLAuthenticationChallenge> challenges() {
        std::lock_guard lock(mutex_);
        return challenges_;
    }
    std::pair<std::int64_t, std::int64_t> sent() {
        std::lock_guard lock(mutex_);
        return {sent_, expectedToSend_};
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool completed_ = false;
    std::optional<platform::Error> error_;
    int status_ = 0;
    std::string body_;
    int streamsAsked_ = 0;
    std::vector<platform::URLAuthenticationChallenge> challenges_;
    std::int64_t sent_ = 0, expectedToSend_ = 0;
};

}  // namespace brisko::testing
