// The process-wide registry of archivable classes, by archived name and by C++ type.
#include "platform/storage/ArchiveClass.hpp"

#include <map>
#include <mutex>
#include <typeindex>
#include <vector>

namespace brisko::platform {
namespace {

struct Registry {
    std::mutex mutex;
    // Entries are never removed, so pointers handed out stay valid.
    std::vector<std::unique_ptr<ArchiveClass>> all;
    std::map<std::string, const ArchiveClass*, std::less<>> byName;
    std::map<std::type_index, const ArchiveClass*> byType;
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

void ArchiveClassRegistry::add(ArchiveClass archiveClass) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    const ArchiveClass* p = r.all.emplace_back(std::make_unique<ArchiveClass>(std::move(archiveClass))).get();
    r.byType[std::type_index(*p->type)] = p;
    r.byName[p->name] = p;
}

const ArchiveClass* ArchiveClassRegistry::byName(std::string_view name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

const ArchiveClass* ArchiveClassRegistry::byType(const std::type_info& type) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byType.find(std::type_index(type));
    return it == r.byType.end() ? nullptr : it->second;
}

}  // namespace brisko::platform
