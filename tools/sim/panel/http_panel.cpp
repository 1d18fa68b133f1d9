// http_panel.cpp - the web panel on libmicrohttpd in external-poll mode.
//
// libmicrohttpd runs without threads of its own here: with MHD_USE_EPOLL
// it keeps its sockets in one epoll descriptor, which the server's poll
// loop watches beside the agent socket; every wake-up calls MHD_run, and
// all callbacks below run inside that call, on the loop's thread.  The
// live view is a server-sent event stream per open page: the stream's
// reader suspends its connection when nothing is waiting, and a new event
// resumes it, so an idle page costs no wake-ups at all.
#include "http_panel.h"

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

#include "capture.h"
#include "connection_guard.h"
#include "console.h"
#include "description.h"
#include "http_rules.h"
#include "panel_assets.h"

namespace mcu_sim {

namespace {

// A scenario file is the largest body the panel takes; 256 KiB is far
// beyond any written by hand.
constexpr std::size_t kMaxBody = 256 * 1024;
constexpr std::size_t kLogBacklog = 2000;             // lines a newly opened page gets
constexpr std::size_t kMaxStreamPending = 4u << 20;   // a page that reads nothing is dropped
constexpr std::size_t kMaxCaptureBytes = 64u << 20;
constexpr int64_t kKeepaliveMs = 15000;
constexpr int kTickMs = 1000;                         // the clock key moves once a second
// Room for other clients: one address holds at most half the connections,
// and at most a few live streams (a browser opens six connections to one
// site at most); a further stream from that address ends its oldest.  A
// connection whose answer makes no progress for a while (a stream or a
// download that the client does not read) is closed.
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kMaxConnectionsPerAddress = kMaxConnections / 2;
constexpr std::size_t kMaxStreamsPerAddress = 8;
constexpr unsigned kStalledAnswerS = 10;

int64_t steady_ms() {
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
};

std::string json_list(const std::vector<std::string> &items, bool quote) {
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i) s += (i ? "," : "") + (quote ? json_string(items[i]) : items[i]);
    return s + "]";
}

Reply error_reply(unsigned status, const std::string &why, const std::vector<std::string> &said = {}) {
    Reply r;
    r.status = status;
    r.body = "{\"error\":" + json_string(why) + ",\"said\":" + json_list(said, true) + "}";
    return r;
}

Reply ok_reply(const std::vector<std::string> &said = {}) {
    Reply r;
    r.body = "{\"ok\":true,\"said\":" + json_list(said, true) + "}";
    return r;
}

std::string join_lines(const std::vector<std::string> &lines) {
    std::string s;
    for (const std::string &l : lines) s += (s.empty() ? "" : "; ") + l;
    return s;
}

// A name as the console reads it: an enumeration member, a state key or a
// number; nothing that could end the word or the line.
bool is_word(const std::string &s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-') return false;
    return true;
}

const char *type_name(KeyType t) {
    switch (t) {
        case KeyType::Number: return "number";
        case KeyType::Numbers: return "numbers";
        case KeyType::Bytes: return "bytes";
        case KeyType::Text: return "text";
        case KeyType::Clock: return "clock";
    }
    return "?";
}

std::string sse_event(const char *name, const std::string &data) {
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
    };
    struct Stream {
        Panel *panel = nullptr;
        MHD_Connection *connection = nullptr;
        std::string address;     // the client's
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

    MHD_Result first_look(MHD_Connection *connection, const std::string &method);
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
    ConnectionGuard guard_;  // outlives the daemon: its connections' notifications reach it
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

Panel::~Panel() {
    if (!daemon_) return;
    // The library must see every connection resumed before it stops.
    for (Stream *s : streams_)
        if (s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    MHD_stop_daemon(daemon_);  // closes the listening socket too
}

bool Panel::start(std::string *error) {
    // The listening socket is made here rather than by the library so that
    // a port of 0 can be read back, and a bind failure says why.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(address_.port);
    inet_pton(AF_INET, address_.host.c_str(), &addr.sin_addr);
    const int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
        *error = "cannot listen on " + address_.host + ":" + std::to_string(address_.port) + ": " +
                 std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    address_.port = ntohs(addr.sin_port);

    daemon_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
                               &Panel::on_request, this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_NOTIFY_COMPLETED,
                               &Panel::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Panel::on_connection,
                               this, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerAddress,
                               MHD_OPTION_CONNECTION_TIMEOUT, kStalledAnswerS, MHD_OPTION_END);
    if (!daemon_) {
        ::close(fd);
        *error = "the HTTP server did not start";
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    epoll_fd_ = info ? info->epoll_fd : -1;
    if (epoll_fd_ < 0) {
        *error = "the HTTP server has no epoll descriptor";
        return false;
    }
    last_state_ = state_now();
    server_.say("panel: http://" + address_.host + ":" + std::to_string(address_.port) + "/");
    return true;
}

int Panel::timeout_ms() {
    // Lines logged after this turn's serve() (scenario steps run by the
    // timers) go out at once.
    if (!fresh_.empty() && !streams_.empty()) return 0;
    int ms = -1;
    MHD_UNSIGNED_LONG_LONG t = 0;
    if (MHD_get_timeout(daemon_, &t) == MHD_YES) ms = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(t, 60000));
    if (!streams_.empty()) ms = ms < 0 ? kTickMs : std::min(ms, kTickMs);
    const int guard_ms = guard_.wait_ms();
    if (guard_ms >= 0) ms = ms < 0 ? guard_ms : std::min(ms, guard_ms);
    return ms;
}

void Panel::serve() {
    MHD_run(daemon_);
    guard_.enforce();
    if (streams_.empty()) {
        fresh_.clear();
        return;
    }
    std::string text;
    if (!fresh_.empty()) {
        text += sse_event("log", log_json(fresh_));
        fresh_.clear();
    }
    const std::map<std::string, std::string> now = state_now();
    std::map<std::string, std::string> changed;
    for (const auto &kv : now)
        if (last_state_[kv.first] != kv.second) changed.insert(kv);
    if (!changed.empty()) text += sse_event("state", state_json(changed));
    last_state_ = now;
    const std::string clients = clients_json(), status = status_json();
    if (clients != last_clients_) text += sse_event("clients", clients);
    if (status != last_status_) text += sse_event("status", status);
    last_clients_ = clients;
    last_status_ = status;
    const int64_t ms = steady_ms();
    if (text.empty() && ms - last_push_ms_ >= kKeepaliveMs) text = ": still here\n\n";
    if (!text.empty()) {
        push(text);
        last_push_ms_ = ms;
        // The streams just resumed are written now, not at the next wake-up.
        MHD_run(daemon_);
    }
}

void Panel::logged(double seconds, const std::string &line) {
    char t[32];
    std::snprintf(t, sizeof t, "%.3f", seconds);
    std::string entry = std::string("{\"t\":") + t + ",\"line\":" + json_string(line) + "}";
    backlog_.push_back(entry);
    if (backlog_.size() > kLogBacklog) backlog_.pop_front();
    fresh_.push_back(std::move(entry));
    if (fresh_.size() > kLogBacklog) fresh_.pop_front();
}

void Panel::captured(const mcu_protocol::CaptureRecord &record) {
    if (!recording_) return;
    capture_ += mcu_protocol::format_capture(record) + "\n";
    ++capture_frames_;
    if (capture_.size() > kMaxCaptureBytes) {
        recording_ = false;
        server_.say("panel: capture stopped at " + std::to_string(capture_.size()) + " bytes");
    }
}

void Panel::push(const std::string &text) {
    for (Stream *s : streams_) {
        if (s->dropped) continue;
        s->pending += text;
        if (s->pending.size() > kMaxStreamPending) {
            // The page reads nothing; its EventSource reconnects and
            // starts again from a fresh snapshot.
            drop(s);
            continue;
        }
        if (s->suspended) {
            s->suspended = false;
            MHD_resume_connection(s->connection);
        }
    }
}

void Panel::drop(Stream *s) {
    s->dropped = true;
    s->pending.clear();
    if (s->suspended) {
        s->suspended = false;
        MHD_resume_connection(s->connection);
    }
    // A client that reads nothing never takes the stream's end: its socket
    // is shut down too.
    guard_.hang_up(s->connection);
}

// ---- requests ------------------------------------------------------------

MHD_Result Panel::on_request(void *cls, MHD_Connection *connection, const char *url, const char *method,
                             const char *, const char *upload_data, size_t *upload_data_size, void **request) {
    Panel &p = *static_cast<Panel *>(cls);
    auto *r = static_cast<Request *>(*request);
    if (!r) {
        // The headers are in, the body (if any) not yet.
        *request = r = new Request;
        return p.first_look(connection, method);
    }
    if (*upload_data_size) {
        // An oversized body is read to its end and dropped, then refused.
        if (r->body.size() + *upload_data_size > kMaxBody) {
            r->too_big = true;
            r->body.clear();
        } else if (!r->too_big) {
            r->body.append(upload_data, *upload_data_size);
        }
        *upload_data_size = 0;
        return MHD_YES;
    }
    return p.handle(connection, url, method, *r);
}

void Panel::on_completed(void *cls, MHD_Connection *connection, void **request, enum MHD_RequestTerminationCode) {
    delete static_cast<Request *>(*request);
    *request = nullptr;
    if (connection) static_cast<Panel *>(cls)->guard_.finished(connection);
}

void Panel::on_connection(void *cls, MHD_Connection *connection, void **socket_context,
                          enum MHD_ConnectionNotificationCode code) {
    static_cast<Panel *>(cls)->guard_.notified(connection, socket_context, code);
}

MHD_Result Panel::first_look(MHD_Connection *connection, const std::string &method) {
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const char *origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    if (!host || !host_allowed(host, address_))
        return send(connection, error_reply(403, std::string("refused: Host ") + (host ? host : "(none)") +
                                                     " is not this panel's address"));
    if (origin && !origin_allowed(origin, address_))
        return send(connection, error_reply(403, std::string("refused: Origin ") + origin +
                                                     " is not this panel's address"));
    if (method == "POST") {
        const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && std::strtoull(length, nullptr, 10) > kMaxBody)
            return send(connection, error_reply(413, "body larger than " + std::to_string(kMaxBody) + " bytes"));
    }
    return MHD_YES;
}

MHD_Result Panel::handle(MHD_Connection *connection, const std::string &url, const std::string &method,
                         const Request &request) {
    const bool api = url.compare(0, 5, "/api/") == 0;
    if (method == "GET" || method == "HEAD") {
        if (url == "/events" && method == "GET") return open_stream(connection);
        if (url == "/api/capture") return send(connection, capture_download());
        if (api) {
            Reply r = error_reply(405, "actions are POSTs");
            r.allow = "POST";
            return send(connection, r);
        }
        const PanelAsset *asset = find_panel_asset(url == "/" ? "/index.html" : url);
        if (!asset) return send(connection, error_reply(404, "no such page: " + url));
        Reply r;
        r.type = asset->type;
        r.body.assign(reinterpret_cast<const char *>(asset->data), asset->size);
        return send(connection, r);
    }
    if (method != "POST") {
        Reply r = error_reply(405, "method " + method + " not served");
        r.allow = api ? "POST" : "GET";
        return send(connection, r);
    }
    if (!api) {
        Reply r = error_reply(405, "only /api/ takes POSTs");
        r.allow = "GET";
        return send(connection, r);
    }
    if (request.too_big)
        return send(connection, error_reply(413, "body larger than " + std::to_string(kMaxBody) + " bytes"));
    const char *type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
    const std::string form_type = "application/x-www-form-urlencoded";
    if (!request.body.empty() && (!type || std::string(type).compare(0, form_type.size(), form_type) != 0))
        return send(connection, error_reply(415, "the body must be " + form_type));
    FormFields fields;
    std::string error;
    if (!parse_form(request.body, &fields, &error)) return send(connection, error_reply(400, error));
    return send(connection, action(url, fields));
}

MHD_Result Panel::send(MHD_Connection *connection, const Reply &reply) {
    guard_.answered(connection);
    MHD_Response *response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char *>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.type.c_str());
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    // Only its own files, and never inside another site's frame.
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    if (!reply.disposition.empty())
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_DISPOSITION, reply.disposition.c_str());
    if (!reply.allow.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, reply.allow.c_str());
    const MHD_Result result = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return result;
}

// ---- the live stream -----------------------------------------------------

MHD_Result Panel::open_stream(MHD_Connection *connection) {
    guard_.answered(connection);
    auto *s = new Stream;
    s->panel = this;
    s->connection = connection;
    s->address = guard_.address(connection);
    std::size_t same = 0;
    for (Stream *other : streams_)
        if (!other->dropped && other->address == s->address) ++same;
    for (auto it = streams_.begin(); same >= kMaxStreamsPerAddress && it != streams_.end(); ++it)
        if (!(*it)->dropped && (*it)->address == s->address) {
            drop(*it);  // the oldest first
            --same;
        }
    // A new page starts from a full picture; later events are changes.
    s->pending = "retry: 1000\n\n" + sse_event("meta", meta_json()) + sse_event("state", state_json(state_now())) +
                 sse_event("clients", clients_json()) + sse_event("status", status_json()) +
                 sse_event("log", log_json(backlog_));
    streams_.push_back(s);
    MHD_Response *response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 32 * 1024, &Panel::read_stream, s, &Panel::free_stream);
    if (!response) {
        free_stream(s);
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    const MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return result;
}

ssize_t Panel::read_stream(void *cls, uint64_t, char *buf, size_t max) {
    Stream &s = *static_cast<Stream *>(cls);
    if (s.dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
    if (s.pending.empty()) {
        // Nothing to send: park the connection until push() has more.
        if (!s.suspended) {
            s.suspended = true;
            MHD_suspend_connection(s.connection);
        }
        return 0;
    }
    const std::size_t n = std::min(max, s.pending.size());
    std::memcpy(buf, s.pending.data(), n);
    s.pending.erase(0, n);
    return static_cast<ssize_t>(n);
}

void Panel::free_stream(void *cls) {
    auto *s = static_cast<Stream *>(cls);
    auto &list = s->panel->streams_;
    list.erase(std::remove(list.begin(), list.end(), s), list.end());
    delete s;
}

// ---- actions -------------------------------------------------------------

Reply Panel::run_line(const std::string &line) {
    PanelConsole console(server_);
    if (!run_console_line(console, line)) return error_reply(400, join_lines(console.said), console.said);
    return ok_reply(console.said);
}

Reply Panel::action(const std::string &url, const FormFields &fields) {
    const Form form(fields);
    std::string error, a, b;
    if (url == "/api/set") return set_keys(fields);
    if (url == "/api/key") {
        if (!form.only({"name"}, &error) || !form.get("name", &a, &error)) return error_reply(400, error);
        if (!is_word(a)) return error_reply(400, "not a key name: " + a);
        return run_line("key " + a);
    }
    if (url == "/api/turn") {
        if (!form.only({"dir", "pulses"}, &error) || !form.get("dir", &a, &error) ||
            !form.get("pulses", &b, &error, "1"))
            return error_reply(400, error);
        if ((a != "cw" && a != "ccw") || (b != "1" && b != "2" && b != "3"))
            return error_reply(400, "turn: dir is cw or ccw, pulses 1 to 3");
        return run_line("turn " + a + " " + b);
    }
    if (url == "/api/push") {
        if (!form.only({}, &error)) return error_reply(400, error);
        return run_line("send MCU_MSG_RET_IT_COMMANDER_INFO sw=1");
    }
    if (url == "/api/power") {
        if (!form.only({"state"}, &error) || !form.get("state", &a, &error)) return error_reply(400, error);
        if (a != "on" && a != "off") return error_reply(400, "power: state is on or off");
        return run_line("power " + a);
    }
    if (url == "/api/version") {
        if (!form.only({}, &error)) return error_reply(400, error);
        return run_line("version");
    }
    if (url == "/api/capture/start" || url == "/api/capture/stop") {
        if (!form.only({}, &error)) return error_reply(400, error);
        recording_ = url == "/api/capture/start";
        if (recording_) {
            capture_ = "# mcu-agent-sim capture of " + server_.options().socket_path + ", from the web panel\n";
            capture_frames_ = 0;
        }
        server_.say(std::string("panel: capture ") + (recording_ ? "started" : "stopped after ") +
                    (recording_ ? "" : std::to_string(capture_frames_) + (capture_frames_ == 1 ? " frame" : " frames")));
        return ok_reply();
    }
    if (url == "/api/scenario") {
        if (!form.only({"text", "name"}, &error) || !form.get("text", &a, &error) ||
            !form.get("name", &b, &error, "scenario"))
            return error_reply(400, error);
        if (!server_.start_scenario(a, "the panel's " + b, &error)) return error_reply(400, "scenario: " + error);
        return ok_reply();
    }
    return error_reply(404, "no action " + url);
}

// key=K&value=V pairs, in order, then an optional report=MESSAGE sent from
// the state afterwards (what the MCU reports when that value changes).
// All or nothing: when a value is refused, or the report cannot be built
// from the new values, every key set so far gets its old value back.
Reply Panel::set_keys(const FormFields &fields) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string report;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const auto &f = fields[i];
        if (f.first == "key") {
            if (i + 1 >= fields.size() || fields[i + 1].first != "value")
                return error_reply(400, "set: each key is followed by its value");
            pairs.emplace_back(f.second, fields[++i].second);
        } else if (f.first == "report" && report.empty()) {
            report = f.second;
        } else {
            return error_reply(400, "set: unexpected form field " + f.first);
        }
    }
    if (pairs.empty()) return error_reply(400, "set: no key");
    const mcu_protocol::Message *message = nullptr;
    if (!report.empty() && (!is_word(report) || !(message = mcu_protocol::find_message(report.c_str()))))
        return error_reply(400, "set: no message " + report + " to report");
    State &state = server_.state();
    std::vector<std::pair<std::string, std::string>> before;
    for (const auto &p : pairs) {
        std::string old;
        if (!is_word(p.first) || !state.get(p.first, &old)) return error_reply(400, "set: no state key " + p.first);
        if (p.second.find_first_of("\"\r\n") != std::string::npos)
            return error_reply(400, "set: a value holds no quotes or line breaks");
        before.emplace_back(p.first, old);
    }
    PanelConsole console(server_);
    auto undo = [&](std::size_t count) {
        for (std::size_t i = count; i-- > 0;) {
            std::string ignored;
            state.set(before[i].first, before[i].second, &ignored);
            server_.say("panel: refused, " + before[i].first + " = " + before[i].second + " again");
        }
        return error_reply(400, join_lines(console.said), console.said);
    };
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (!run_console_line(console, "set " + pairs[i].first + " \"" + pairs[i].second + "\"")) return undo(i);
    if (message && !run_console_line(console, std::string("send ") + message->name)) return undo(pairs.size());
    return ok_reply(console.said);
}

Reply Panel::capture_download() const {
    if (capture_.empty()) return error_reply(404, "no capture: start one first");
    Reply r;
    r.type = "text/plain; charset=utf-8";
    r.body = capture_;
    r.disposition = "attachment; filename=\"mcu-agent-sim.capture\"";
    return r;
}

// ---- what the pages are sent ---------------------------------------------

std::map<std::string, std::string> Panel::state_now() const {
    std::map<std::string, std::string> values;
    for (const KeyInfo &k : State::keys()) server_.state().get(k.key, &values[k.key]);
    return values;
}

std::string Panel::state_json(const std::map<std::string, std::string> &values) const {
    std::string s = "{";
    for (const auto &kv : values) s += (s.size() > 1 ? "," : "") + json_string(kv.first) + ":" + json_string(kv.second);
    return s + "}";
}

std::string Panel::meta_json() const {
    std::vector<std::string> keys;
    for (const KeyInfo &k : State::keys()) {
        std::vector<std::string> names;
        if (k.enumeration)
            if (const mcu_protocol::Enumeration *e = mcu_protocol::find_enumeration(k.enumeration))
                for (const mcu_protocol::EnumValue &v : e->values) names.push_back(v.name);
        keys.push_back("{\"key\":" + json_string(k.key) + ",\"type\":\"" + type_name(k.type) +
                       "\",\"members\":" + json_list(names, true) + ",\"help\":" + json_string(k.help) + "}");
    }
    std::vector<std::string> hard_keys;
    for (const mcu_protocol::EnumValue &v : mcu_protocol::find_enumeration("HARD_KEY_ID")->values)
        hard_keys.push_back(v.name);
    return "{\"socket\":" + json_string(server_.options().socket_path) + ",\"keys\":" + json_list(keys, false) +
           ",\"hard_keys\":" + json_list(hard_keys, true) + "}";
}

std::string Panel::clients_json() const {
    std::vector<std::string> items;
    for (const ClientView &c : server_.client_views())
        items.push_back("{\"number\":" + std::to_string(c.number) + ",\"queued\":" + std::to_string(c.queued) +
                        ",\"replaying\":" + (c.replaying ? "true" : "false") +
                        ",\"version\":" + json_string(c.version) + "}");
    return json_list(items, false);
}

std::string Panel::status_json() const {
    const ScenarioProgress p = server_.scenario_progress();
    return std::string("{\"capture\":{\"recording\":") + (recording_ ? "true" : "false") +
           ",\"frames\":" + std::to_string(capture_frames_) + ",\"bytes\":" + std::to_string(capture_.size()) +
           "},\"scenario\":{\"name\":" + json_string(p.name) + ",\"done\":" + std::to_string(p.done) +
           ",\"total\":" + std::to_string(p.total) + ",\"started\":" + (p.started ? "true" : "false") + "}}";
}

std::string Panel::log_json(const std::deque<std::string> &entries) const {
    std::string s = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) s += (i ? "," : "") + entries[i];
    return s + "]";
}

}  // namespace

std::unique_ptr<LoopGuest> start_panel(Server &server, const std::string &address, std::string *error) {
    HttpAddress a;
    if (!parse_http_address(address, &a, error)) return nullptr;
    auto panel = std::make_unique<Panel>(server, a);
    if (!panel->start(error)) return nullptr;
    return panel;
}

}  // namespace mcu_sim
