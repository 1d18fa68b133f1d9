// http_rules.h - the web panel's request rules that need no server: where
// it listens, which Host and Origin headers it answers, and how it reads a
// form body.  Kept apart from the HTTP library so that every build can
// test them.
#ifndef MCU_SIM_PANEL_HTTP_RULES_H
#define MCU_SIM_PANEL_HTTP_RULES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace mcu_sim {

// Where the panel listens: an IPv4 address (127.0.0.1 unless told
// otherwise) and a port (0: any free port, for tests).
struct HttpAddress {
    std::string host = "127.0.0.1";
    uint16_t port = 0;
};

// Reads "[ADDRESS:]PORT"; the address is a dotted IPv4 literal.
bool parse_http_address(const std::string &text, HttpAddress *out, std::string *error);

// True when `host` (a Host header, "name:port") names the panel as it is
// served on `address` (with the port it was given, if that was 0).  Only
// the address itself is accepted, and "localhost" when the address is a
// loopback one; a panel told to listen on every interface (0.0.0.0)
// accepts any IPv4 literal.  A host name other than localhost never
// passes: a page of another site that resolves its own name to this
// machine (DNS rebinding) is refused.
bool host_allowed(const std::string &host, const HttpAddress &address);

// True when an Origin header is absent (`origin` empty: not a browser's
// cross-site request) or is "http://" followed by a host that
// host_allowed accepts.
bool origin_allowed(const std::string &origin, const HttpAddress &address);

// The panel's access token: 32 bytes from getrandom, in hex.  False (with
// the reason) when the system gives no random bytes.
bool make_panel_token(std::string *token, std::string *error);

// Whether `given` is `token`, in a time that does not depend on where
// they differ (a client that guesses learns nothing from the answer's
// timing).
bool token_matches(const std::string &given, const std::string &token);

// The cookie that keeps the token in the browser once the page was opened
// with it.  Browsers share cookies between the ports of one host, so its
// name holds the port: two panels on one machine keep a cookie each.
// HttpOnly keeps it from the page's script, SameSite=Strict from requests
// that other sites' pages make.
std::string token_cookie_name(uint16_t port);
std::string token_cookie(uint16_t port, const std::string &token);

// An application/x-www-form-urlencoded body: name=value pairs joined by
// '&', '+' for a space, %XX escapes.  False (with the reason) for a bad
// escape, a pair without '=' or a control character other than a tab or
// a line break.
using FormFields = std::vector<std::pair<std::string, std::string>>;
bool parse_form(const std::string &body, FormFields *fields, std::string *error);

// Text as a JSON string, with the quotes.  Bytes outside ASCII are
// written as \u00XX so that any payload text stays valid JSON.
std::string json_string(const std::string &text);

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_HTTP_RULES_H
