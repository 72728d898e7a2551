// A controllable accessibility service for tests: trust, a prompt counter and titles by process id.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "platform/desktop/Accessibility.hpp"

namespace brisko::platform {

class FakeAccessibility : public Accessibility {
  public:
    bool isProcessTrusted() override {
        std::lock_guard lock(mutex_);
        return trusted_;
    }
    bool promptForTrust() override {
        std::lock_guard lock(mutex_);
        ++promptCount_;
        if (trustOnPrompt_) trusted_ = true;
        return trusted_;
    }
    std::string untrustedReason() override { return isProcessTrusted() ? std::string() : "untrusted (test)"; }
    std::optional<std::string> focusedWindowTitle(std::int64_t pid) override {
        std::lock_guard lock(mutex_);
        if (!trusted_) return std::nullopt;
        auto it = titles_.find(pid);
        if (it == titles_.end() || it->second.empty()) return std::nullopt;
        return it->second;
    }

    void setTrusted(bool trusted) {
        std::lock_guard lock(mutex_);
        trusted_ = trusted;
    }
    // When true, the next prompt grants trust (the user said yes at once).
    void setTrustOnPrompt(bool grant) {
        std::lock_guard lock(mutex_);
        trustOnPrompt_ = grant;
    }
    void setTitle(std::int64_t pid, std::optional<std::string> title) {
        std::lock_guard lock(mutex_);
        if (title)
            titles_[pid] = *title;
        else
            titles_.erase(pid);
    }
    int promptCount() const {
        std::lock_guard lock(mutex_);
        return promptCount_;
    }

  private:
    mutable std::mutex mutex_;
    bool trusted_ = true;
    bool trustOnPrompt_ = false;
    int promptCount_ = 0;
    std::unordered_map<std::int64_t, std::string> titles_;
};

}  // namespace brisko::platform
