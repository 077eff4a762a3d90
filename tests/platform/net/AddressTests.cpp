#include <gtest/gtest.h>

#include <string>

#include "platform/net/Address.h"
#include "platform/net/URLError.h"

namespace {

using platform::net::URLErrc;
using platform::net::URLError;

struct Case {
    std::string base;  // empty: the reference is checked on its own
    std::string reference;
    std::string expected;  // empty when refused
    URLErrc refusal = URLErrc::unknown;
};

TEST(Address, OnlyAbsoluteHTTPSAddressesPassAndJoinLikeLinks) {
    const Case cases[] = {
        {"", "https://example.com", "https://example.com/"},
        {"", "https://127.0.0.1:8443/a?b=c", "https://127.0.0.1:8443/a?b=c"},
        {"", "http://example.com/build.zip", "", URLErrc::insecureAddressRefused},
        {"", "file:///etc/hostname", "", URLErrc::insecureAddressRefused},
        {"", "example.com/build.zip", "", URLErrc::badURL},
        {"https://example.com/a/b.json", "../c.zip", "https://example.com/c.zip"},
        {"https://example.com/a/", "https://cdn.example.net/x", "https://cdn.example.net/x"},
        {"https://example.com/a/", "http://cdn.example.net/x", "", URLErrc::insecureAddressRefused},
        {"http://example.com/a/", "b.zip", "", URLErrc::insecureAddressRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base + " + " + c.reference);
        try {
            std::string result = c.base.empty() ? platform::net::checkedAddress(c.reference)
                                                : platform::net::joinedAddress(c.base, c.reference);
            EXPECT_EQ(result, c.expected);
        } catch (const URLError& error) {
            EXPECT_TRUE(c.expected.empty()) << error.what();
            EXPECT_EQ(error.code(), c.refusal) << error.what();
        }
    }
}

TEST(Address, HostOfAnAddress) {
    EXPECT_EQ(platform::net::hostOf("https://example.com:8443/a"), "example.com");
    EXPECT_EQ(platform::net::hostOf("not an address"), "");
}

}  // namespace
