// http_rules.cpp - listening address, Host and Origin checks, form bodies.
#include "http_rules.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mcu_sim {

namespace {

bool ipv4_literal(const std::string &text, in_addr *addr) {
    // inet_pton takes exactly four dotted decimals, nothing else.
    return inet_pton(AF_INET, text.c_str(), addr) == 1;
}

bool parse_port(const std::string &text, uint16_t *port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    if (n > 65535) return false;
    *port = static_cast<uint16_t>(n);
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool decode(const std::string &in, std::string *out, std::string *error) {
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+') {
            *out += ' ';
        } else if (c == '%') {
            const int hi = i + 1 < in.size() ? hex_digit(in[i + 1]) : -1;
            const int lo = i + 2 < in.size() ? hex_digit(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                *error = "bad %-escape in the form body";
                return false;
            }
            *out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            *out += c;
        }
    }
    return true;
}

}  // namespace

bool parse_http_address(const std::string &text, HttpAddress *out, std::string *error) {
    HttpAddress a;
    const std::size_t colon = text.rfind(':');
    std::string port = text;
    if (colon != std::string::npos) {
        a.host = text.substr(0, colon);
        port = text.substr(colon + 1);
        in_addr addr{};
        if (!ipv4_literal(a.host, &addr)) {
            *error = "not an IPv4 address: " + a.host;
            return false;
        }
    }
    if (!parse_port(port, &a.port)) {
        *error = "not a port number (0 to 65535): " + port;
        return false;
    }
    *out = a;
    return true;
}

bool host_allowed(const std::string &host, const HttpAddress &address) {
    const std::size_t colon = host.rfind(':');
    // Browsers always send the port of a URL that has one; the panel never
    // listens on port 80 by default, so a Host without a port names some
    // other server.
    if (colon == std::string::npos) return false;
    const std::string name = host.substr(0, colon);
    uint16_t port = 0;
    if (!parse_port(host.substr(colon + 1), &port) || port != address.port) return false;
    if (name == address.host) return true;
    in_addr served{}, named{};
    if (!ipv4_literal(address.host, &served)) return false;
    const bool loopback = (ntohl(served.s_addr) >> 24) == 127;
    if (name == "localhost") return loopback;
    if (served.s_addr == htonl(INADDR_ANY)) return ipv4_literal(name, &named);
    return false;
}

bool origin_allowed(const std::string &origin, const HttpAddress &address) {
    if (origin.empty()) return true;
    const std::string scheme = "http://";
    if (origin.compare(0, scheme.size(), scheme) != 0) return false;
    return host_allowed(origin.substr(scheme.size()), address);
}

bool make_panel_token(std::string *token, std::string *error) {
    unsigned char bytes[32];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = std::string("no random bytes for the access token: ") + std::strerror(errno);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    static const char hex[] = "0123456789abcdef";
    token->clear();
    for (unsigned char b : bytes) {
        *token += hex[b >> 4];
        *token += hex[b & 15];
    }
    return true;
}

bool token_matches(const std::string &given, const std::string &token) {
    // The length is no secret (every token has the same); the bytes are
    // all compared whatever the first difference.
    if (given.size() != token.size() || token.empty()) return false;
    volatile unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i)
        diff = static_cast<unsigned char>(diff | (given[i] ^ token[i]));
    return diff == 0;
}

std::string token_cookie_name(uint16_t port) { return "mcu_panel_" + std::to_string(port); }

std::string token_cookie(uint16_t port, const std::string &token) {
    return token_cookie_name(port) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
}

bool parse_form(const std::string &body, FormFields *fields, std::string *error) {
    fields->clear();
    std::size_t start = 0;
    while (start <= body.size()) {
        std::size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        start = end + 1;
        if (pair.empty()) {
            if (end == body.size()) break;
            continue;
        }
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            *error = "form field without '=': " + pair.substr(0, 40);
            return false;
        }
        std::string name, value;
        if (!decode(pair.substr(0, eq), &name, error) || !decode(pair.substr(eq + 1), &value, error)) return false;
        for (char c : name + value)
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                *error = "control character in the form field " + name;
                return false;
            }
        fields->emplace_back(std::move(name), std::move(value));
    }
    return true;
}

std::string json_string(const std::string &text) {
    std::string s = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': s += "\\\""; break;
            case '\\': s += "\\\\"; break;
            case '\n': s += "\\n"; break;
            case '\r': s += "\\r"; break;
            case '\t': s += "\\t"; break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04X", c);
                    s += buf;
                } else {
                    s += static_cast<char>(c);
                }
        }
    }
    return s + "\"";
}

}  // namespace mcu_sim
