// Looks a protocol's instance up in an app's component container.
#pragma once

#include <memory>

#include "core/ComponentContainer.hpp"

namespace brisko::core {

// Looks a protocol's instance up in a container.
class ComponentType {
  public:
    static std::shared_ptr<ComponentInstance> instanceForProtocol(
        const Protocol& protocol, const std::shared_ptr<ComponentContainer>& container) {
        return container ? container->instanceForProtocol(protocol) : nullptr;
    }
    template <class P>
    static std::shared_ptr<P> instanceForProtocol(const Protocol& protocol,
                                                  const std::shared_ptr<ComponentContainer>& container) {
        return std::dynamic_pointer_cast<P>(instanceForProtocol(protocol, container));
    }
};

}  // namespace brisko::core
