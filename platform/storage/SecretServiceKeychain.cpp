// Keychain items as Secret Service items: queries become attribute searches, statuses come from GErrors.
#include "platform/storage/SecretServiceKeychain.hpp"

#include <libsecret/secret.h>

#include <algorithm>

#include "platform/base/Log.hpp"

namespace brisko::platform {
namespace {

constexpr const char* kService = "service";
constexpr const char* kAccount = "account";
constexpr const char* kAccessGroup = "accessGroup";
constexpr const char* kAccessible = "accessible";
constexpr const char* kSynchronizable = "synchronizable";
constexpr const char* kKeychain = "keychain";
constexpr const char* kDataProtection = "data-protection";
constexpr const char* kFileBased = "file-based";
constexpr const char* kContentType = "application/octet-stream";

const SecretSchema* schema() {
    static const SecretSchema s = {
        SecretServiceKeychain::kSchemaName.data(),
        SECRET_SCHEMA_NONE,
        {
            {kService, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {kAccount, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {kAccessGroup, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {kAccessible, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {kSynchronizable, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {kKeychain, SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
    return &s;
}

struct ErrorDeleter {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;
struct HashTableDeleter {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;
struct ValueDeleter {
    void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, ValueDeleter>;
struct ObjectDeleter {
    void operator()(gpointer o) const { g_object_unref(o); }
};
using ItemPtr = std::unique_ptr<SecretItem, ObjectDeleter>;
struct GFreeDeleter {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFreeDeleter>;

Attributes newAttributes() {
    return Attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
}

void put(GHashTable* t, const char* key, std::string_view value) {
    g_hash_table_replace(t, g_strdup(key), g_strndup(value.data(), value.size()));
}

std::optional<std::string> get(GHashTable* t, const char* key) {
    auto* v = static_cast<const gchar*>(g_hash_table_lookup(t, key));
    if (!v) return std::nullopt;
    return std::string(v);
}

// The item's attributes as the Secret Service stores them.
Attributes attributesOf(const KeychainItem& item) {
    Attributes t = newAttributes();
    if (item.service) put(t.get(), kService, *item.service);
    if (item.account) put(t.get(), kAccount, *item.account);
    if (item.accessGroup) put(t.get(), kAccessGroup, *item.accessGroup);
    if (item.accessible) put(t.get(), kAccessible, keychainAccessibilityCode(*item.accessible));
    put(t.get(), kSynchronizable, item.synchronizable ? "1" : "0");
    put(t.get(), kKeychain, item.dataProtectionKeychain ? kDataProtection : kFileBased);
    return t;
}

// The attributes a search can narrow by; the label and exact absence are checked afterwards. Items
// written by other tools, imports or older builds may lack "synchronizable" or "keychain"; the reader
// takes a missing one as "0" or "file-based", so a search asks the service only for the values it
// cannot miss that way and the query's own match decides the rest.
Attributes searchAttributes(const KeychainQuery& q) {
    Attributes t = newAttributes();
    if (q.service) put(t.get(), kService, *q.service);
    if (q.account) put(t.get(), kAccount, *q.account);
    if (q.accessGroup) put(t.get(), kAccessGroup, *q.accessGroup);
    if (q.accessible) put(t.get(), kAccessible, keychainAccessibilityCode(*q.accessible));
    if (q.synchronizable == KeychainSynchronizable::yes) put(t.get(), kSynchronizable, "1");
    if (q.useDataProtectionKeychain) put(t.get(), kKeychain, kDataProtection);
    return t;
}

// The item as a keychain item; `complete` tells whether it carries every attribute we write.
KeychainItem itemFrom(SecretItem* secretItem, bool& complete) {
    KeychainItem item;
    Attributes attrs(secret_item_get_attributes(secretItem));
    complete = g_hash_table_contains(attrs.get(), kSynchronizable) && g_hash_table_contains(attrs.get(), kKeychain);
    item.service = get(attrs.get(), kService);
    item.account = get(attrs.get(), kAccount);
    item.accessGroup = get(attrs.get(), kAccessGroup);
    if (auto code = get(attrs.get(), kAccessible)) item.accessible = keychainAccessibilityFromCode(*code);
    item.synchronizable = get(attrs.get(), kSynchronizable) == "1";
    item.dataProtectionKeychain = get(attrs.get(), kKeychain) == kDataProtection;
    GText label(secret_item_get_label(secretItem));
    if (label && *label.get()) item.label = std::string(label.get());
    item.creationDate = Date(std::chrono::seconds(secret_item_get_created(secretItem)));
    item.modificationDate = Date(std::chrono::seconds(secret_item_get_modified(secretItem)));
    if (SecretValuePtr value{secret_item_get_secret(secretItem)}) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        auto* p = reinterpret_cast<const std::uint8_t*>(bytes);
        item.data.assign(p, p + length);
    }
    return item;
}

OSStatus statusFrom(const GError* error, std::string_view call) {
    OSStatus status = errSecIO;
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
        status = errSecInteractionNotAllowed;
    else if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT))
        status = errSecItemNotFound;
    else if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        status = errSecUserCanceled;
    else if (error->domain == G_DBUS_ERROR)
        status = errSecNotAvailable;
    log(LogLevel::warning, "platform",
        "Secret Service " + std::string(call) + " failed: " + (error->message ? error->message : "unknown error"));
    return status;
}

// A matching item with its Secret Service handle.
struct Found {
    ItemPtr handle;
    KeychainItem item;
    bool locked;
    // Written by another tool or an older build: lacks some of our attributes.
    bool incomplete;
};

}  // namespace

struct SecretServiceKeychain::Service {
    SecretService* service = nullptr;

    ~Service() {
        if (service) g_object_unref(service);
    }

    // Items matching the query, oldest first; unlocks locked ones when it can.
    OSStatus search(const KeychainQuery& query, bool loadSecrets, std::vector<Found>& out) {
        out.clear();
        Attributes attrs = searchAttributes(query);
        int flags = SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | (loadSecrets ? SECRET_SEARCH_LOAD_SECRETS : 0);
        GError* raw = nullptr;
        GList* list = secret_service_search_sync(service, schema(), attrs.get(), static_cast<SecretSearchFlags>(flags),
                                                 nullptr, &raw);
        ErrorPtr error(raw);
        if (error) return statusFrom(error.get(), "search");
        for (GList* l = list; l; l = l->next) {
            auto* secretItem = static_cast<SecretItem*>(l->data);
            bool complete = true;
            KeychainItem item = itemFrom(secretItem, complete);
            Found f{ItemPtr(secretItem), std::move(item), secret_item_get_locked(secretItem) != FALSE, !complete};
            if (query.matches(f.item)) out.push_back(std::move(f));
        }
        g_list_free(list);  // the items themselves are owned by `out` or were released with their Found
        std::stable_sort(out.begin(), out.end(),
                         [](const Found& a, const Found& b) { return a.item.creationDate < b.item.creationDate; });
        return errSecSuccess;
    }
};

SecretServiceKeychain::SecretServiceKeychain(std::unique_ptr<Service> service) : service_(std::move(service)) {}
SecretServiceKeychain::~SecretServiceKeychain() = default;

namespace {

constexpr const char* kSecretsBusName = "org.freedesktop.secrets";
// libsecret waits the bus's default 25 seconds for a service that was started and never answers; we ask
// the bus ourselves first, with a bound.
constexpr int kBusCallTimeoutMs = 2000;
constexpr int kActivationTimeoutMs = 5000;

// Makes sure a Secret Service owns its name on the session bus, starting an activatable one; the reason
// when none does.
std::optional<std::string> secretServiceMissing() {
    GError* raw = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw);
    ErrorPtr error(raw);
    if (!bus) return std::string(error && error->message ? error->message : "no session bus");
    std::unique_ptr<GDBusConnection, ObjectDeleter> busOwner(bus);
    auto call = [&](const char* method, GVariant* args, const char* type, int timeoutMs) -> GVariant* {
        GError* e = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                      "org.freedesktop.DBus", method, args, G_VARIANT_TYPE(type),
                                                      G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &e);
        error.reset(e);
        return reply;
    };
    if (GVariant* owned = call("NameHasOwner", g_variant_new("(s)", kSecretsBusName), "(b)", kBusCallTimeoutMs)) {
        gboolean has = FALSE;
        g_variant_get(owned, "(b)", &has);
        g_variant_unref(owned);
        if (has) return std::nullopt;
    } else {
        return std::string(error && error->message ? error->message : "the session bus does not answer");
    }
    if (GVariant* started =
            call("StartServiceByName", g_variant_new("(su)", kSecretsBusName, 0u), "(u)", kActivationTimeoutMs)) {
        g_variant_unref(started);
        return std::nullopt;
    }
    return std::string(error && error->message ? error->message : "the Secret Service did not start");
}

}  // namespace

std::shared_ptr<SecretServiceKeychain> SecretServiceKeychain::connect(std::string& whyNot) {
    if (auto missing = secretServiceMissing()) {
        whyNot = *missing;
        return nullptr;
    }
    GError* raw = nullptr;
    SecretService* s = secret_service_get_sync(
        static_cast<SecretServiceFlags>(SECRET_SERVICE_OPEN_SESSION | SECRET_SERVICE_LOAD_COLLECTIONS), nullptr, &raw);
    ErrorPtr error(raw);
    if (!s) {
        whyNot = error && error->message ? error->message : "no Secret Service";
        return nullptr;
    }
    auto service = std::make_unique<Service>();
    service->service = s;
    return std::shared_ptr<SecretServiceKeychain>(new SecretServiceKeychain(std::move(service)));
}

OSStatus SecretServiceKeychain::copyMatching(const KeychainQuery& query, std::vector<KeychainItem>& items) {
    std::lock_guard lock(mutex_);
    items.clear();
    std::vector<Found> found;
    if (OSStatus s = service_->search(query, true, found); s != errSecSuccess) return s;
    for (auto& f : found) {
        if (f.locked) return errSecInteractionNotAllowed;
        items.push_back(std::move(f.item));
        if (query.matchLimit != KeychainQuery::kMatchLimitAll && items.size() >= query.matchLimit) break;
    }
    return items.empty() ? errSecItemNotFound : errSecSuccess;
}

OSStatus SecretServiceKeychain::add(const KeychainItem& item) {
    std::lock_guard lock(mutex_);
    KeychainQuery sameKey{.service = item.service,
                          .account = item.account,
                          .accessGroup = item.accessGroup,
                          .synchronizable = KeychainSynchronizable::any,
                          .useDataProtectionKeychain = item.dataProtectionKeychain,
                          .matchLimit = KeychainQuery::kMatchLimitAll};
    std::vector<Found> found;
    if (OSStatus s = service_->search(sameKey, false, found); s != errSecSuccess) return s;
    if (std::any_of(found.begin(), found.end(), [&](const Found& f) { return f.item.samePrimaryKey(item); })) {
        return errSecDuplicateItem;
    }

    Attributes attrs = attributesOf(item);
    std::string label = item.label ? *item.label : item.service ? *item.service : item.account.value_or("");
    SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(item.data.data()),
                                          static_cast<gssize>(item.data.size()), kContentType));
    GError* raw = nullptr;
    gboolean ok = secret_service_store_sync(service_->service, schema(), attrs.get(), SECRET_COLLECTION_DEFAULT,
                                            label.c_str(), value.get(), nullptr, &raw);
    ErrorPtr error(raw);
    if (!ok) {
        OSStatus status = error ? statusFrom(error.get(), "store") : errSecIO;
        // No default collection to store into: there is no usable keychain, rather than a missing item.
        return status == errSecItemNotFound ? errSecNotAvailable : status;
    }
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::update(const KeychainQuery& query, const KeychainItemChanges& changes) {
    std::lock_guard lock(mutex_);
    std::vector<Found> found;
    if (OSStatus s = service_->search(query, false, found); s != errSecSuccess) return s;
    if (found.empty()) return errSecItemNotFound;
    for (auto& f : found) {
        if (f.locked) return errSecInteractionNotAllowed;
        GError* raw = nullptr;
        if (changes.data) {
            SecretValuePtr value(secret_value_new(reinterpret_cast<const gchar*>(changes.data->data()),
                                                  static_cast<gssize>(changes.data->size()), kContentType));
            if (!secret_item_set_secret_sync(f.handle.get(), value.get(), nullptr, &raw)) {
                ErrorPtr error(raw);
                return error ? statusFrom(error.get(), "set secret") : errSecIO;
            }
        }
        // A changed item of another tool's making gets our full set of attributes with its new data.
        if (changes.accessible || (changes.data && f.incomplete)) {
            KeychainItem changed = f.item;
            changed.accessible = changes.accessible;
            Attributes attrs = attributesOf(changed);
            if (!secret_item_set_attributes_sync(f.handle.get(), schema(), attrs.get(), nullptr, &raw)) {
                ErrorPtr error(raw);
                return error ? statusFrom(error.get(), "set attributes") : errSecIO;
            }
        }
        if (changes.label) {
            if (!secret_item_set_label_sync(f.handle.get(), changes.label->c_str(), nullptr, &raw)) {
                ErrorPtr error(raw);
                return error ? statusFrom(error.get(), "set label") : errSecIO;
            }
        }
    }
    return errSecSuccess;
}

OSStatus SecretServiceKeychain::deleteItems(const KeychainQuery& query) {
    std::lock_guard lock(mutex_);
    std::vector<Found> found;
    if (OSStatus s = service_->search(query, false, found); s != errSecSuccess) return s;
    if (found.empty()) return errSecItemNotFound;
    // All or nothing: a locked item among them leaves every one in place.
    if (std::any_of(found.begin(), found.end(), [](const Found& f) { return f.locked; }))
        return errSecInteractionNotAllowed;
    for (auto& f : found) {
        GError* raw = nullptr;
        if (!secret_item_delete_sync(f.handle.get(), nullptr, &raw)) {
            ErrorPtr error(raw);
            return error ? statusFrom(error.get(), "delete") : errSecIO;
        }
    }
    return errSecSuccess;
}

}  // namespace brisko::platform
