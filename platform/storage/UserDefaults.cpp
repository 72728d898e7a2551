// User-defaults domains kept in memory and written through to XML property-list files.
#include "platform/storage/UserDefaults.hpp"

#include "platform/storage/Bundle.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "platform/storage/PropertyList.hpp"

namespace brisko::platform {

// One domain's values, loaded from its file on first use and written back whole after each change.
struct UserDefaults::Store::Domain {
    std::optional<std::filesystem::path> path;
    std::mutex mutex;
    bool loaded = false;
    bool exists = false;  // a file (or, in memory, a set value) makes the domain exist
    bool lastWriteFailed = false;
    Dictionary values;

    void loadLocked() {
        if (loaded) return;
        loaded = true;
        if (!path || !FileSystem::fileExists(*path)) return;
        exists = true;
        try {
            Value v = PropertyList::readFile(*path);
            if (auto* d = v.dictionary()) {
                values = std::move(*d);
                return;
            }
        } catch (const ErrorException& e) {
            log(LogLevel::warning, "platform",
                "User defaults file " + path->string() + " is unreadable: " + e.error().description());
        }
        // Keep the unreadable file for the user rather than overwriting it with the next change.
        auto aside = FileSystem::setAsideDamagedFile(*path);
        log(LogLevel::warning, "platform",
            "User defaults file " + path->string() + " is damaged; starting empty" +
                (aside ? "; the old file is kept as " + aside->string() : std::string()));
    }

    void saveLocked() {
        exists = true;
        if (!path) return;
        try {
            Data bytes = PropertyList::write(Value(values), PropertyListFormat::xml);
            FileSystem::writeFileAtomically(*path, bytes, {.mode = 0600, .createDirectories = true});
            lastWriteFailed = false;
        } catch (const ErrorException& e) {
            lastWriteFailed = true;
            log(LogLevel::error, "platform",
                "Could not save user defaults to " + path->string() + ": " + e.error().description());
        }
    }

    void removeLocked() {
        loaded = true;
        exists = false;
        values.clear();
        if (path && FileSystem::fileExists(*path)) {
            try {
                FileSystem::removeItem(*path);
            } catch (const ErrorException& e) {
                log(LogLevel::error, "platform",
                    "Could not remove " + path->string() + ": " + e.error().description());
            }
        }
    }
};

namespace {

std::mutex sharedStoreMutex;
std::shared_ptr<UserDefaults::Store> sharedStore;

// Domain names become file names: "/" and "%" are escaped, and names that a folder listing shows
// specially get a prefix.
std::string fileNameForDomain(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '/')
            out += "%2F";
        else if (c == '%')
            out += "%25";
        else if (c == '\0')
            out += "%00";
        else
            out += c;
    }
    if (out.empty() || out[0] == '.') out = "%" + out;
    return out + ".plist";
}

}  // namespace

std::shared_ptr<UserDefaults::Store> UserDefaults::Store::inFolder(std::filesystem::path folder) {
    return std::shared_ptr<Store>(new Store(std::move(folder)));
}

std::shared_ptr<UserDefaults::Store> UserDefaults::Store::inMemory() {
    return std::shared_ptr<Store>(new Store(std::nullopt));
}

std::shared_ptr<UserDefaults::Store> UserDefaults::Store::shared() {
    std::lock_guard lock(sharedStoreMutex);
    if (!sharedStore) sharedStore = inFolder(FileSystem::configDirectory());
    return sharedStore;
}

void UserDefaults::Store::setShared(std::shared_ptr<Store> store) {
    std::lock_guard lock(sharedStoreMutex);
    sharedStore = std::move(store);
}

std::optional<std::filesystem::path> UserDefaults::Store::pathForDomain(std::string_view name) const {
    if (!folder_) return std::nullopt;
    return *folder_ / fileNameForDomain(name);
}

std::shared_ptr<UserDefaults::Store::Domain> UserDefaults::Store::domain(std::string_view name) {
    std::lock_guard lock(mutex_);
    auto it = domains_.find(name);
    if (it != domains_.end()) return it->second;
    auto d = std::make_shared<Domain>();
    d->path = pathForDomain(name);
    domains_.emplace(std::string(name), d);
    return d;
}

std::shared_ptr<UserDefaults> UserDefaults::standard() {
    static auto instance = std::make_shared<UserDefaults>();
    return instance;
}

std::string UserDefaults::standardDomainName() {
    if (auto id = Bundle::main()->bundleIdentifier()) return *id;
    return ProcessInfo::processInfo().processName();
}

UserDefaults::UserDefaults(std::optional<std::string> suiteName, std::shared_ptr<Store> store)
    : suiteName_(suiteName && !suiteName->empty() ? std::move(suiteName) : std::nullopt),
      store_(std::move(store)) {}

std::string UserDefaults::domainName() const {
    return suiteName_ ? *suiteName_ : standardDomainName();
}

std::shared_ptr<UserDefaults::Store> UserDefaults::store() const {
    return store_ ? store_ : Store::shared();
}

std::shared_ptr<UserDefaults::Store::Domain> UserDefaults::domain() const {
    return store()->domain(domainName());
}

std::optional<Value> UserDefaults::objectForKey(std::string_view key) const {
    auto d = domain();
    std::lock_guard lock(d->mutex);
    d->loadLocked();
    auto it = d->values.find(key);
    if (it == d->values.end()) return std::nullopt;
    return it->second;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (v && v->string()) return *v->string();
    return std::nullopt;
}

std::optional<std::int64_t> UserDefaults::integerForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return std::nullopt;
    if (auto i = v->integer()) return i;
    if (auto b = v->boolean()) return *b ? 1 : 0;
    return v->truncatedInteger();
}

std::optional<bool> UserDefaults::boolForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return std::nullopt;
    if (auto b = v->boolean()) return b;
    if (auto d = v->number()) return *d != 0;
    return std::nullopt;
}

std::optional<double> UserDefaults::doubleForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (!v) return std::nullopt;
    if (auto d = v->number()) return d;
    if (auto b = v->boolean()) return *b ? 1.0 : 0.0;
    return std::nullopt;
}

std::optional<Data> UserDefaults::dataForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (v && v->data()) return *v->data();
    return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (v && v->array()) return *v->array();
    return std::nullopt;
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(std::string_view key) const {
    auto v = objectForKey(key);
    if (v && v->dictionary()) return *v->dictionary();
    return std::nullopt;
}

bool UserDefaults::setObject(const Value& value, std::string_view key) {
    if (key.empty()) return false;
    if (value.isNull()) {
        removeObjectForKey(key);
        return true;
    }
    if (!PropertyList::isPropertyList(value)) {
        log(LogLevel::warning, "platform",
            "Refusing to store a value without a property-list form under " + std::string(key));
        return false;
    }
    auto d = domain();
    std::lock_guard lock(d->mutex);
    d->loadLocked();
    d->values.insert_or_assign(std::string(key), value);
    d->saveLocked();
    return true;
}

void UserDefaults::removeObjectForKey(std::string_view key) {
    auto d = domain();
    std::lock_guard lock(d->mutex);
    d->loadLocked();
    auto it = d->values.find(key);
    if (it == d->values.end()) return;
    d->values.erase(it);
    d->saveLocked();
}

Dictionary UserDefaults::dictionaryRepresentation() const {
    auto d = domain();
    std::lock_guard lock(d->mutex);
    d->loadLocked();
    return d->values;
}

std::optional<Dictionary> UserDefaults::persistentDomainForName(std::string_view name) const {
    auto d = store()->domain(name);
    std::lock_guard lock(d->mutex);
    d->loadLocked();
    if (!d->exists) return std::nullopt;
    return d->values;
}

void UserDefaults::setPersistentDomain(Dictionary values, std::string_view name) {
    if (!PropertyList::isPropertyList(Value(values))) {
        log(LogLevel::warning, "platform",
            "Refusing to store a domain without a property-list form: " + std::string(name));
        return;
    }
    auto d = store()->domain(name);
    std::lock_guard lock(d->mutex);
    d->loaded = true;
    d->values = std::move(values);
    d->saveLocked();
}

void UserDefaults::removePersistentDomainForName(std::string_view name) {
    auto d = store()->domain(name);
    std::lock_guard lock(d->mutex);
    d->removeLocked();
}

bool UserDefaults::synchronize() {
    auto d = domain();
    std::lock_guard lock(d->mutex);
    if (d->lastWriteFailed) d->saveLocked();
    return !d->lastWriteFailed;
}

}  // namespace brisko::platform
