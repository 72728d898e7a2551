// A controllable workspace for tests: a settable frontmost application and a record of opened URLs.
#pragma once

#include <mutex>
#include <vector>

#include "platform/desktop/Workspace.hpp"

namespace brisko::platform {

class FakeWorkspace : public Workspace {
  public:
    std::optional<RunningApplication> frontmostApplication() override {
        std::lock_guard lock(mutex_);
        return frontmost_;
    }
    bool openURL(std::string_view url) override {
        std::lock_guard lock(mutex_);
        openedURLs_.emplace_back(url);
        return openSucceeds_;
    }

    void setFrontmostApplication(std::optional<RunningApplication> app) {
        std::lock_guard lock(mutex_);
        frontmost_ = std::move(app);
    }
    // What openURL answers (the URL is recorded either way).
    void setOpenSucceeds(bool succeeds) {
        std::lock_guard lock(mutex_);
        openSucceeds_ = succeeds;
    }
    std::vector<std::string> openedURLs() const {
        std::lock_guard lock(mutex_);
        return openedURLs_;
    }

  private:
    mutable std::mutex mutex_;
    std::optional<RunningApplication> frontmost_;
    std::vector<std::string> openedURLs_;
    bool openSucceeds_ = true;
};

}  // namespace brisko::platform
