// User defaults: the standard domain and named suites, each a property-list file under the config folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {

// One object reads and writes one domain (the standard domain, named after the bundle identifier, or a
// suite). Every object for the same domain in a process shares its values; each change is written to
// disk at once, atomically. Safe to use from any thread.
class UserDefaults {
  public:
    // Where domains live: a folder of "<domain>.plist" files, or memory only (tests).
    class Store {
      public:
        static std::shared_ptr<Store> inFolder(std::filesystem::path folder);
        static std::shared_ptr<Store> inMemory();
        // The store that UserDefaults objects made without one use: $XDG_CONFIG_HOME/brisko-desktop,
        // unless replaced (tests); nullptr puts the default back.
        static std::shared_ptr<Store> shared();
        static void setShared(std::shared_ptr<Store> store);

        // The file of a domain; nothing for a memory store.
        std::optional<std::filesystem::path> pathForDomain(std::string_view name) const;

      private:
        friend class UserDefaults;
        struct Domain;
        std::shared_ptr<Domain> domain(std::string_view name);

        explicit Store(std::optional<std::filesystem::path> folder) : folder_(std::move(folder)) {}
        std::optional<std::filesystem::path> folder_;
        std::mutex mutex_;
        std::map<std::string, std::shared_ptr<Domain>, std::less<>> domains_;
    };

    // The standard domain in the shared store.
    static std::shared_ptr<UserDefaults> standard();
    // The domain name of the standard defaults: the bundle identifier, else the process name.
    static std::string standardDomainName();

    // A suite; no name or an empty one means the standard domain. Without a store, the shared store of
    // the moment of each call is used.
    explicit UserDefaults(std::optional<std::string> suiteName = std::nullopt,
                          std::shared_ptr<Store> store = nullptr);

    std::string domainName() const;

    std::optional<Value> objectForKey(std::string_view key) const;
    // Typed reads answer nothing for a missing key or a value of another type. Numbers convert among
    // themselves (a Boolean reads as 0 or 1, an integer as a Boolean when not 0), as the platform's
    // numbers do; texts never convert.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<std::int64_t> integerForKey(std::string_view key) const;
    std::optional<bool> boolForKey(std::string_view key) const;
    std::optional<double> doubleForKey(std::string_view key) const;
    std::optional<Data> dataForKey(std::string_view key) const;
    std::optional<Array> arrayForKey(std::string_view key) const;
    std::optional<Dictionary> dictionaryForKey(std::string_view key) const;

    // Stores a property-list value (a null value removes the key). False, storing nothing, for a value
    // with no property-list form (PropertyList::isPropertyList) or an empty key.
    bool setObject(const Value& value, std::string_view key);
    void setBool(bool value, std::string_view key) { setObject(Value(value), key); }
    void setInteger(std::int64_t value, std::string_view key) { setObject(Value(value), key); }
    void setDouble(double value, std::string_view key) { setObject(Value(value), key); }
    void removeObjectForKey(std::string_view key);

    Dictionary dictionaryRepresentation() const;

    // Whole domains by name (the same storage as suites of that name). Nothing when the domain does not
    // exist; setting creates it, removing deletes its file.
    std::optional<Dictionary> persistentDomainForName(std::string_view name) const;
    void setPersistentDomain(Dictionary values, std::string_view name);
    void removePersistentDomainForName(std::string_view name);

    // Changes are already on disk when the setter returns; true unless the last write failed.
    bool synchronize();

  private:
    std::shared_ptr<Store> store() const;
    std::shared_ptr<Store::Domain> domain() const;

    std::optional<std::string> suiteName_;
    std::shared_ptr<Store> store_;
};

}  // namespace brisko::platform
