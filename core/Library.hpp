// Library registrants found by class name at run time: each library registers its class here (at
// static initialisation or at start-up), and the app core looks the names of its table up once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Component.hpp"

namespace brisko::core {

// A class known by name. It is a library registrant (it conforms to the library protocol) when it
// answers componentsToRegister; it may also report its own version.
struct LibraryClass {
    std::string className;
    std::function<std::vector<Component>()> componentsToRegister;
    std::function<std::optional<std::string>()> sdkVersion;

    bool isLibrary() const { return static_cast<bool>(componentsToRegister); }
};

// The process-wide lookup of classes by name: the stand-in for the platform's run-time class lookup.
class LibraryClassRegistry {
  public:
    // Adds or replaces the class of that name.
    static void registerClass(LibraryClass libraryClass);
    // The class of that name, or null when none is linked into the process.
    static std::shared_ptr<const LibraryClass> classNamed(std::string_view className);
    // Removes a class (tests).
    static void unregisterClass(std::string_view className);

    // Registers a class when constructed; for a namespace-scope object in a translation unit that the
    // program links anyway (a static library drops object files nothing refers to).
    struct Registration {
        explicit Registration(LibraryClass libraryClass) { registerClass(std::move(libraryClass)); }
    };
};

}  // namespace brisko::core
