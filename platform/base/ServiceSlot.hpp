// The process-wide instance of a replaceable service (workspace, accessibility, idle time), with a
// fallback that stands in until the app installs a real one.
#pragma once

#include <atomic>
#include <memory>

namespace brisko::platform {

template <class Interface, class Fallback>
class ServiceSlot {
  public:
    static std::shared_ptr<Interface> get() { return slot().load(); }
    // Installs the service; null puts the fallback back.
    static void set(std::shared_ptr<Interface> service) {
        slot().store(service ? std::move(service) : std::make_shared<Fallback>());
    }

  private:
    static std::atomic<std::shared_ptr<Interface>>& slot() {
        static std::atomic<std::shared_ptr<Interface>> instance{std::make_shared<Fallback>()};
        return instance;
    }
};

}  // namespace brisko::platform
