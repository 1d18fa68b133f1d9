// panel_internal.h - what the panel's sources share: the Panel itself,
// its replies and form fields, and the console it runs commands through.
// Only the panel's sources include it.
#ifndef MCU_SIM_PANEL_INTERNAL_H
#define MCU_SIM_PANEL_INTERNAL_H

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "capture.h"
#include "connection_guard.h"
#include "console.h"
#include "description.h"
#include "http_rules.h"
#include "panel_assets.h"

#include "http_panel.h"

namespace mcu_sim {


// A scenario file is the largest body the panel takes; 256 KiB is far
// beyond any written by hand.
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr std::size_t kLogBacklog = 2000;             // lines a newly opened page gets
constexpr std::size_t kMaxStreamPending = 4u << 20;   // a page that reads nothing is dropped
constexpr std::size_t kMaxCaptureBytes = 64u << 20;
constexpr int64_t kKeepaliveMs = 15000;
constexpr int kTickMs = 1000;                         // the clock key moves once a second
// Every local user comes from 127.0.0.1, so nothing is counted per
// address: only the holder of the token gets an answer, and its live
// streams are a few (a browser opens six connections to one site at
// most); a further one ends the oldest.  At the connection limit a new
// connection closes the one that has waited longest for a whole request
// (see ConnectionGuard); the library's own limit leaves room for those
// until it has closed them.  A connection whose answer makes no progress
// for a while (a stream or a download that the client does not read) is
// closed.
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kLibraryConnectionLimit = 2 * kMaxConnections;
constexpr std::size_t kMaxStreams = 8;
constexpr unsigned kStalledAnswerS = 10;

inline int64_t panel_clock_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The console as the panel uses it: everything goes to the server, and
// what the commands say is kept to answer the request with.
class PanelConsole : public ConsoleTarget {
public:
    explicit PanelConsole(Server &server) : server_(server) {}
    State &state() override { return server_.state(); }
    VirtualMcu &mcu() override { return server_.mcu(); }
    void broadcast(const Outgoing &message) override { server_.broadcast(message); }
    void broadcast_raw(const mcu_protocol::Bytes &bytes) override { server_.broadcast_raw(bytes); }
    void ask_version(uint32_t type) override { server_.ask_version(type); }
    bool start_replay(const std::string &file, bool fast, std::string *error) override {
        if (!server_.replay_allowed_from_panel(file)) {
            *error = server_.panel_replay_refusal(file);
            return false;
        }
        return server_.start_replay(file, fast, error);
    }
    std::string describe_clients() override { return server_.describe_clients(); }
    void quit() override {}  // the panel has no quit
    void say(const std::string &line) override {
        said.push_back(line);
        server_.say(line);
    }
    std::vector<std::string> said;

private:
    Server &server_;
};

struct Reply {
    unsigned status = 200;
    std::string body;
    std::string type = "application/json";
    std::string disposition;  // Content-Disposition, for a download
    std::string allow;        // Allow, for 405
    std::string location;     // Location, for a redirect
    std::string cookie;       // Set-Cookie
    bool close = false;       // end the connection after the answer
};

inline std::string json_list(const std::vector<std::string> &items, bool quote) {
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + (quote ? json_string(items[i]) : items[i]);
    return s + "]";
}

inline Reply error_reply(unsigned status, const std::string &why, const std::vector<std::string> &said = {}) {
    Reply r;
    r.status = status;
    r.body = "{\"error\":" + json_string(why) + ",\"said\":" + json_list(said, true) + "}";
    return r;
}

inline Reply ok_reply(const std::vector<std::string> &said = {}) {
    Reply r;
    r.body = "{\"ok\":true,\"said\":" + json_list(said, true) + "}";
    return r;
}

inline std::string join_lines(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines) s += (s.empty() ? "" : "; ") + l;
    return s;
}

// A name as the console reads it: an enumeration member, a state key or a
// number; nothing that could end the word or the line.
inline bool is_word(const std::string &s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') return false;
    return true;
}

inline const char *type_name(KeyType t) {
    switch (t) {
        case KeyType::Number: return "number";
        case KeyType::Numbers: return "numbers";
        case KeyType::Bytes: return "bytes";
        case KeyType::Text: return "text";
        case KeyType::Clock: return "clock";
    }
    return "?";
}

inline std::string sse_event(const char *name, const std::string &data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

// Form fields of one action: each named field once, no others.
class Form {
public:
    explicit Form(const FormFields &fields) : fields_(fields) {}
    // The fields allowed besides those read with get(); false on others.
    bool only(std::initializer_list<const char *> names, std::string *error) const {
        for (const auto &f : fields_)
            if (std::none_of(names.begin(), names.end(), [&](const char *n) { return f.first == n; })) {
                *error = "unknown form field " + f.first;
                return false;
            }
        return true;
    }
    // The value of `name`; `fallback` when absent (null: required).
    bool get(const char *name, std::string *value, std::string *error, const char *fallback = nullptr) const {
        int seen = 0;
        for (const auto &f : fields_)
            if (f.first == name) {
                *value = f.second;
                ++seen;
            }
        if (seen > 1) {
            *error = std::string("form field ") + name + " given more than once";
            return false;
        }
        if (seen == 0) {
            if (!fallback) {
                *error = std::string("missing form field ") + name;
                return false;
            }
            *value = fallback;
        }
        return true;
    }

private:
    const FormFields &fields_;
};

class Panel : public LoopGuest {
public:
    Panel(Server &server, const HttpAddress &address) : server_(server), address_(address) {}
    ~Panel() override;
    bool start(std::string *error);

    void add_poll_fds(std::vector<pollfd> *fds) override { fds->push_back({epoll_fd_, POLLIN, 0}); }
    int timeout_ms() override;
    void serve() override;
    void logged(double seconds, const std::string &line) override;
    void captured(const mcu_protocol::CaptureRecord &record) override;

private:
    struct Request {
        std::string body;
        bool too_big = false;
        bool token_in_query = false;  // a page opened with ?token=: keep it in the cookie
    };
    struct Stream {
        Panel *panel = nullptr;
        MHD_Connection *connection = nullptr;
        std::string pending;     // event text not yet taken by the library
        bool suspended = false;  // waiting for an event
        bool dropped = false;    // fell too far behind: end it
    };

    static MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url, const char *method,
                                 const char *version, const char *upload_data, size_t *upload_data_size,
                                 void **request);
    static void on_completed(void *cls, MHD_Connection *connection, void **request,
                             enum MHD_RequestTerminationCode code);
    static void on_connection(void *cls, MHD_Connection *connection, void **socket_context,
                              enum MHD_ConnectionNotificationCode code);
    static ssize_t read_stream(void *cls, uint64_t pos, char *buf, size_t max);
    static void free_stream(void *cls);

    MHD_Result first_look(MHD_Connection *connection, const std::string &method, Request *request);
    MHD_Result handle(MHD_Connection *connection, const std::string &url, const std::string &method,
                      const Request &request);
    MHD_Result send(MHD_Connection *connection, const Reply &reply);
    MHD_Result open_stream(MHD_Connection *connection);
    Reply action(const std::string &url, const FormFields &fields);
    Reply run_line(const std::string &line);
    Reply set_keys(const FormFields &fields);
    Reply capture_download() const;

    void push(const std::string &text);
    void drop(Stream *s);
    std::map<std::string, std::string> state_now() const;
    std::string state_json(const std::map<std::string, std::string> &values) const;
    std::string meta_json() const;
    std::string clients_json() const;
    std::string status_json() const;
    std::string log_json(const std::deque<std::string> &entries) const;

    Server &server_;
    HttpAddress address_;
    std::string token_;  // what every request shows, in the query or the cookie
    ConnectionGuard guard_{kMaxConnections};  // outlives the daemon: its connections' notifications reach it
    MHD_Daemon *daemon_ = nullptr;
    int epoll_fd_ = -1;
    std::vector<Stream *> streams_;
    std::deque<std::string> backlog_;  // recent log entries, as JSON objects
    std::deque<std::string> fresh_;    // entries not yet pushed to the pages
    std::map<std::string, std::string> last_state_;
    std::string last_clients_, last_status_;
    int64_t last_push_ms_ = 0;
    bool recording_ = false;
    std::string capture_;
    std::size_t capture_frames_ = 0;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_INTERNAL_H
