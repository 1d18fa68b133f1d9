// panel_rules_test.cpp - the web panel's address, Host/Origin, token and
// form rules: who gets in, and which bodies are read.
#include <gtest/gtest.h>

#include "http_rules.h"

namespace {

using mcu_sim::HttpAddress;

struct AddressRow {
    const char *text;
    bool ok;
    const char *host;
    uint16_t port;
};

TEST(PanelAddress, ReadsAddressAndPort) {
    const AddressRow rows[] = {
        {"8080", true, "127.0.0.1", 8080},      {"0", true, "127.0.0.1", 0},
        {"0.0.0.0:80", true, "0.0.0.0", 80},    {"127.0.0.2:65535", true, "127.0.0.2", 65535},
        {"65536", false, "", 0},                {"localhost:8080", false, "", 0},
        {"127.0.0.1:", false, "", 0},           {"-1", false, "", 0},
        {"8080x", false, "", 0},                {"1.2.3:80", false, "", 0},
        {"", false, "", 0},
    };
    for (const AddressRow &r : rows) {
        HttpAddress a;
        std::string error;
        EXPECT_EQ(mcu_sim::parse_http_address(r.text, &a, &error), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(a.host, r.host) << r.text;
            EXPECT_EQ(a.port, r.port) << r.text;
        } else {
            EXPECT_FALSE(error.empty()) << r.text;
        }
    }
}

struct HostRow {
    const char *served;  // host the panel listens on (port 8080)
    const char *header;  // Host header
    bool allowed;
};

TEST(PanelHost, OnlyTheServedAddressGetsIn) {
    const HostRow rows[] = {
        {"127.0.0.1", "127.0.0.1:8080", true},
        {"127.0.0.1", "localhost:8080", true},
        {"127.0.0.1", "127.0.0.1:8081", false},     // another port
        {"127.0.0.1", "127.0.0.1", false},          // no port: some server on 80
        {"127.0.0.1", "evil.example:8080", false},  // DNS rebinding
        {"127.0.0.1", "localhost.evil.example:8080", false},
        {"127.0.0.1", "127.0.0.2:8080", false},
        {"127.0.0.1", ":8080", false},
        {"127.0.0.1", "127.0.0.1:08080x", false},
        {"192.168.7.2", "192.168.7.2:8080", true},
        {"192.168.7.2", "localhost:8080", false},   // not served on loopback
        {"0.0.0.0", "10.0.0.5:8080", true},         // every interface: any address literal
        {"0.0.0.0", "evil.example:8080", false},
    };
    for (const HostRow &r : rows) {
        HttpAddress a;
        a.host = r.served;
        a.port = 8080;
        EXPECT_EQ(mcu_sim::host_allowed(r.header, a), r.allowed) << r.served << " / " << r.header;
    }
}

TEST(PanelOrigin, SameOriginOrNone) {
    HttpAddress a;
    a.port = 8080;
    const std::pair<const char *, bool> rows[] = {
        {"", true},  // no Origin: not a cross-site request of a browser
        {"http://127.0.0.1:8080", true},
        {"http://localhost:8080", true},
        {"https://127.0.0.1:8080", false},
        {"http://127.0.0.1:9000", false},
        {"http://evil.example", false},
        {"null", false},
    };
    for (const auto &r : rows) EXPECT_EQ(mcu_sim::origin_allowed(r.first, a), r.second) << r.first;
}

struct FormRow {
    const char *body;
    bool ok;
    mcu_sim::FormFields fields;
};

TEST(PanelForm, ReadsUrlEncodedBodies) {
    const FormRow rows[] = {
        {"", true, {}},
        {"name=HARD_KEY_POWER", true, {{"name", "HARD_KEY_POWER"}}},
        {"key=a&value=1&key=b&value=", true, {{"key", "a"}, {"value", "1"}, {"key", "b"}, {"value", ""}}},
        {"text=0.5+key+X%0A1+turn+cw", true, {{"text", "0.5 key X\n1 turn cw"}}},
        {"v=%22%41%2b", true, {{"v", "\"A+"}}},
        {"a=1&&b=2&", true, {{"a", "1"}, {"b", "2"}}},
        {"novalue", false, {}},
        {"v=%zz", false, {}},
        {"v=%4", false, {}},
        {"v=%00", false, {}},
        {"v=%1B", false, {}},
    };
    for (const FormRow &r : rows) {
        mcu_sim::FormFields fields;
        std::string error;
        EXPECT_EQ(mcu_sim::parse_form(r.body, &fields, &error), r.ok) << r.body;
        if (r.ok) {
            EXPECT_EQ(fields, r.fields) << r.body;
        }
    }
}

TEST(PanelToken, FreshEachRunAndOnlyTheWholeTokenMatches) {
    std::string token, other, error;
    ASSERT_TRUE(mcu_sim::make_panel_token(&token, &error)) << error;
    ASSERT_TRUE(mcu_sim::make_panel_token(&other, &error)) << error;
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_NE(token, other);
    std::string last_off = token;
    last_off.back() = last_off.back() == '0' ? '1' : '0';
    const std::pair<std::string, bool> rows[] = {
        {token, true},
        {other, false},
        {last_off, false},
        {token.substr(0, 63), false},
        {token + "0", false},
        {"", false},
    };
    for (const auto &r : rows) EXPECT_EQ(mcu_sim::token_matches(r.first, token), r.second) << r.first;
    EXPECT_FALSE(mcu_sim::token_matches("", ""));  // no token, no entry
}

TEST(PanelJson, EscapesEverythingOutsidePrintableAscii) {
    EXPECT_EQ(mcu_sim::json_string("a\"b\\c\n"), "\"a\\\"b\\\\c\\n\"");
    EXPECT_EQ(mcu_sim::json_string(std::string("\x01\xff", 2)), "\"\\u0001\\u00FF\"");
}

}  // namespace
