// A component description: the protocol a library's per-app service provides, when to create it, and
// the block that creates it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace brisko::core {

class ComponentContainer;

// The base of every component instance, so a container can hold any of them and check the protocol.
class ComponentInstance {
  public:
    virtual ~ComponentInstance() = default;
};

// A service protocol: its run-time name (the container's key) and a check that an instance conforms.
class Protocol {
  public:
    template <class P>
    static Protocol of(std::string name) {
        return Protocol(std::move(name), [](const ComponentInstance& instance) {
            return dynamic_cast<const P*>(&instance) != nullptr;
        });
    }
    const std::string& name() const { return name_; }
    bool isConformedToBy(const ComponentInstance& instance) const { return conforms_(instance); }

  private:
    Protocol(std::string name, std::function<bool(const ComponentInstance&)> conforms)
        : name_(std::move(name)), conforms_(std::move(conforms)) {}
    std::string name_;
    std::function<bool(const ComponentInstance&)> conforms_;
};

enum class InstantiationTiming : std::int64_t {
    lazy = 0,               // created on first request
    alwaysEager = 1,        // created when any app is configured
    eagerInDefaultApp = 2,  // created when the default app is configured, lazily elsewhere
};

class Component {
  public:
    // Called with the container and a cacheable flag that starts false; returns the instance or null
    // and sets the flag when the instance may be kept.
    using CreationBlock =
        std::function<std::shared_ptr<ComponentInstance>(ComponentContainer& container, bool& isCacheable)>;

    static Component componentWithProtocol(Protocol protocol, CreationBlock creationBlock) {
        return Component(std::move(protocol), InstantiationTiming::lazy, std::move(creationBlock));
    }
    static Component componentWithProtocol(Protocol protocol, InstantiationTiming timing,
                                           CreationBlock creationBlock) {
        return Component(std::move(protocol), timing, std::move(creationBlock));
    }
    Component(Protocol protocol, InstantiationTiming timing, CreationBlock creationBlock)
        : protocol_(std::move(protocol)),
          instantiationTiming_(timing),
          creationBlock_(std::move(creationBlock)) {}

    const Protocol& protocol() const { return protocol_; }
    InstantiationTiming instantiationTiming() const { return instantiationTiming_; }
    const CreationBlock& creationBlock() const { return creationBlock_; }

  private:
    Protocol protocol_;
    InstantiationTiming instantiationTiming_;
    CreationBlock creationBlock_;
};

}  // namespace brisko::core
