// The ingest body's JSON form.
#include "app/recording/ActivityPayload.hpp"

#include "app/recording/JSONText.hpp"

namespace brisko::app {

std::string ActivityPayload::toJSON() const {
    std::string out;
    out.reserve(32 + entries.size() * 160);
    out += "{\"date\":";
    appendJSONString(out, date);
    out += ",\"entries\":[";
    bool first = true;
    for (const auto& entry : entries) {
        if (!first) out += ',';
        first = false;
        entry.appendJSON(out);
    }
    out += "]}";
    return out;
}

}  // namespace brisko::app
