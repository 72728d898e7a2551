// The run-time table of library classes by name.
#include "core/Library.hpp"

namespace brisko::core {
namespace {

struct Table {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const LibraryClass>, std::less<>> classes;
};

// Made on first use, so registrations from static initialisers in any order find it ready.
Table& table() {
    static Table t;
    return t;
}

}  // namespace

void LibraryClassRegistry::registerClass(LibraryClass libraryClass) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto name = libraryClass.className;
    t.classes[name] = std::make_shared<const LibraryClass>(std::move(libraryClass));
}

std::shared_ptr<const LibraryClass> LibraryClassRegistry::classNamed(std::string_view className) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.classes.find(className);
    return it == t.classes.end() ? nullptr : it->second;
}

void LibraryClassRegistry::unregisterClass(std::string_view className) {
    auto& t = table();
    std::lock_guard lock(t.mutex);
    if (auto it = t.classes.find(className); it != t.classes.end()) t.classes.erase(it);
}

}  // namespace brisko::core
