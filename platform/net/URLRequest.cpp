// URL requests.
#include "platform/net/URLRequest.hpp"

namespace brisko::platform {

std::string URLRequest::description() const {
    return url_ ? "<" + url_->description() + ">" : std::string("<no URL>");
}

bool URLRequest::operator==(const URLRequest& o) const {
    const bool sameBody = body_ == o.body_ || (body_ && o.body_ && *body_ == *o.body_);
    return url_ == o.url_ && method_ == o.method_ && headers_ == o.headers_ && sameBody &&
           bodyFilePath_ == o.bodyFilePath_ && bodyStream_ == o.bodyStream_ && cachePolicy_ == o.cachePolicy_ &&
           timeoutInterval_ == o.timeoutInterval_ && shouldHandleCookies_ == o.shouldHandleCookies_ &&
           allowsCellularAccess_ == o.allowsCellularAccess_ && mainDocumentURL_ == o.mainDocumentURL_;
}

}  // namespace brisko::platform
