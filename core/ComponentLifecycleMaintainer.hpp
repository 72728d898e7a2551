// Implemented by component instances that want to hear that their app is being deleted.
#pragma once

#include <memory>

#include "core/Component.hpp"

namespace brisko::core {

class App;

class ComponentLifecycleMaintainer : public virtual ComponentInstance {
  public:
    // The app may already be gone when only the container remains.
    virtual void appWillBeDeleted(const std::shared_ptr<App>& app) = 0;
};

}  // namespace brisko::core
