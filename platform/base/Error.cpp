// Error values: descriptions, underlying errors and the fatal path for programming errors.
#include "platform/base/Error.hpp"

#include <cstdlib>
#include <cstring>

#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

const Value* Error::userInfoValue(std::string_view key) const {
    auto it = userInfo_.find(key);
    return it == userInfo_.end() ? nullptr : &it->second;
}

std::string Error::localizedDescription() const {
    if (auto* v = userInfoValue(kLocalizedDescriptionKey); v && v->string()) return *v->string();
    return format("The operation couldn\u2019t be completed. (%@ error %ld.)", {domain_, code_});
}

std::optional<std::string> Error::localizedFailureReason() const {
    if (auto* v = userInfoValue(kLocalizedFailureReasonErrorKey); v && v->string()) return *v->string();
    return std::nullopt;
}

std::shared_ptr<const Error> Error::underlyingError() const {
    if (auto* v = userInfoValue(kUnderlyingErrorKey)) return v->error();
    return nullptr;
}

std::string Error::description() const {
    std::string s = format("Error Domain=%@ Code=%ld \"%@\"", {domain_, code_, localizedDescription()});
    if (!userInfo_.empty()) {
        s += " UserInfo={";
        bool first = true;
        for (auto& [k, v] : userInfo_) {
            if (!first) s += ", ";
            first = false;
            s += k + "=" + v.description();
        }
        s += "}";
    }
    return s;
}

Error Error::posix(int err, std::string_view context) {
    std::string message = std::strerror(err);
    if (!context.empty()) message = std::string(context) + ": " + message;
    return Error(std::string(kPOSIXErrorDomain), err, {{std::string(kLocalizedDescriptionKey), message}});
}

Error errorFromException(std::exception_ptr e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const ErrorException& ex) {
        return ex.error();
    } catch (const std::exception& ex) {
        return Error("com.brisko.platform", -1, {{std::string(kLocalizedDescriptionKey), std::string(ex.what())}});
    } catch (...) {
    }
    return Error("com.brisko.platform", -1, {{std::string(kLocalizedDescriptionKey), "unknown failure"}});
}

void fatal(std::string_view message, std::source_location where) {
    log(LogLevel::error, "fatal",
        format("Fatal error: %@ (%@:%u, %@)", {message, where.file_name(), where.line(), where.function_name()}));
    std::abort();
}

FormatArg::FormatArg(const Error& e) : v_(e.description()) {}

}  // namespace brisko::platform
