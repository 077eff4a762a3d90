#include "platform/net/Address.h"

#include <curl/curl.h>

#include <memory>

#include "platform/net/URLError.h"

namespace platform::net {
namespace {

struct URLHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using URLHandle = std::unique_ptr<CURLU, URLHandleDeleter>;

URLHandle newHandle() {
    URLHandle handle(curl_url());
    if (!handle) {
        throw URLError(URLErrc::outOfMemory);
    }
    return handle;
}

// Any scheme is read, so that the refusal can say what was wrong.
void set(CURLU* handle, std::string_view text) {
    if (curl_url_set(handle, CURLUPART_URL, std::string(text).c_str(), CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK) {
        throw URLError(URLErrc::badURL);
    }
}

std::string part(CURLU* handle, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(handle, which, &text, 0) != CURLUE_OK || text == nullptr) {
        return {};
    }
    std::string copy(text);
    curl_free(text);
    return copy;
}

std::string checked(CURLU* handle) {
    if (part(handle, CURLUPART_SCHEME) != "https") {
        throw URLError(URLErrc::insecureAddressRefused);
    }
    if (part(handle, CURLUPART_HOST).empty()) {
        throw URLError(URLErrc::badURL);
    }
    return part(handle, CURLUPART_URL);
}

}  // namespace

std::string checkedAddress(std::string_view text) {
    URLHandle handle = newHandle();
    set(handle.get(), text);
    return checked(handle.get());
}

std::string joinedAddress(std::string_view base, std::string_view reference) {
    URLHandle handle = newHandle();
    set(handle.get(), base);
    set(handle.get(), reference);
    return checked(handle.get());
}

std::string hostOf(std::string_view address) {
    URLHandle handle = newHandle();
    try {
        set(handle.get(), address);
    } catch (const URLError&) {
        return {};
    }
    return part(handle.get(), CURLUPART_HOST);
}

}  // namespace platform::net
