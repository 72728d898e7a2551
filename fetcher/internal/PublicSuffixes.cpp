// The Public Suffix List of the distribution, loaded once through libpsl.
#include "fetcher/internal/PublicSuffixes.hpp"

#include <libpsl.h>

#include <string>

#include "platform/base/Log.hpp"

namespace brisko::fetcher::internal {

namespace {
constexpr std::string_view kLogCategory = "fetcher";
constexpr std::string_view kNoListText =
    "No public suffix list found (install publicsuffix): cookies are kept to the host that sets them";

// The newer of libpsl's built-in list and the distribution's file; never freed (process-wide).
const psl_ctx_t* suffixList() {
    static const psl_ctx_t* list = [] {
        const psl_ctx_t* found = psl_latest(nullptr);
        if (!found) platform::log(platform::LogLevel::error, kLogCategory, std::string(kNoListText));
        return found;
    }();
    return list;
}
}  // namespace

bool isPublicSuffix(std::string_view domain) {
    const psl_ctx_t* list = suffixList();
    if (!list) return true;
    std::string name(domain);
    // Without the "*" rule an unknown top-level name (a local host name) is not taken for a suffix.
    return psl_is_public_suffix2(list, name.c_str(), PSL_TYPE_ANY | PSL_TYPE_NO_STAR_RULE) != 0;
}

}  // namespace brisko::fetcher::internal
