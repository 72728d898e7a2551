// Sleep and wake from logind: posts the workspace will-sleep and did-wake notifications on the main
// thread and holds a delay inhibitor so that a last sample and upload can run before the suspend.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace brisko::platform {

class SleepWatcher {
  public:
    struct Options {
        // The bus logind is on: empty for the system bus, else a D-Bus address (tests use a private bus).
        std::string busAddress;
        // The longest the inhibitor is held after the will-sleep observers ran while deferrals are
        // outstanding (logind's own limit, InhibitDelayMaxSec, is 5 s by default).
        std::chrono::milliseconds maxDelay{4000};
    };

    // Create, start and destroy on the main thread, with a QCoreApplication running its event loop.
    SleepWatcher();
    explicit SleepWatcher(Options options);
    ~SleepWatcher();
    SleepWatcher(const SleepWatcher&) = delete;
    SleepWatcher& operator=(const SleepWatcher&) = delete;

    // Subscribes to logind's PrepareForSleep and takes the delay inhibitor. False when there is no
    // bus (logged once; nothing else happens).
    bool start();
    bool isWatching() const;
    // True while this watcher holds a delay inhibitor.
    bool holdsInhibitor() const;

    // Keeps a pending suspend waiting (up to maxDelay) until the returned token is dropped. Observers
    // of the will-sleep notification call it for work that must finish first (the last upload);
    // outside a pending suspend it returns a token that holds nothing. Main thread only.
    static std::shared_ptr<void> deferSleep();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace brisko::platform
