// http_panel.cpp - the web panel on libmicrohttpd in external-poll mode.
//
// libmicrohttpd runs without threads of its own here: with MHD_USE_EPOLL
// it keeps its sockets in one epoll descriptor, which the server's poll
// loop watches beside the agent socket; every wake-up calls MHD_run, and
// all callbacks below run inside that call, on the loop's thread.  The
// live view is a server-sent event stream per open page: the stream's
// reader suspends its connection when nothing is waiting, and a new event
// resumes it, so an idle page costs no wake-ups at all.
#include "panel_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mcu_sim {

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

    if (!make_panel_token(&token_, error)) {
        ::close(fd);
        return false;
    }

    daemon_ = MHD_start_daemon(MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr,
                               &Panel::on_request, this, MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_NOTIFY_COMPLETED,
                               &Panel::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Panel::on_connection,
                               this, MHD_OPTION_CONNECTION_LIMIT, kLibraryConnectionLimit,
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
    // Said once, before the panel is the server's guest: the token never
    // reaches the live log that pages are sent.
    server_.say("panel: http://" + address_.host + ":" + std::to_string(address_.port) + "/?token=" + token_);
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
    const int64_t ms = panel_clock_ms();
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
        return p.first_look(connection, method, r);
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

MHD_Result Panel::first_look(MHD_Connection *connection, const std::string &method, Request *request) {
    const char *host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    const char *origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
    auto refuse = [&](const std::string &why) {
        Reply r = error_reply(403, "refused: " + why);
        r.close = true;
        return send(connection, r);
    };
    if (!host || !host_allowed(host, address_))
        return refuse(std::string("Host ") + (host ? host : "(none)") + " is not this panel's address");
    if (origin && !origin_allowed(origin, address_))
        return refuse(std::string("Origin ") + origin + " is not this panel's address");
    // Every local user can reach the port: only the one who started the
    // virtual MCU, and read the URL it printed, has the token.
    const char *query = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "token");
    const char *cookie =
        MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, token_cookie_name(address_.port).c_str());
    request->token_in_query = query && token_matches(query, token_);
    if (!request->token_in_query && !(cookie && token_matches(cookie, token_)))
        return refuse("open the panel with the URL it printed when it started (http://" + address_.host + ":" +
                      std::to_string(address_.port) + "/?token=...)");
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
        if (request.token_in_query) {
            // The token goes into the cookie and out of the address bar
            // (and the browser's history).
            Reply r;
            r.status = 303;
            r.type = "text/plain; charset=utf-8";
            r.location = url;
            r.cookie = token_cookie(address_.port, token_);
            return send(connection, r);
        }
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
    if (!reply.location.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_LOCATION, reply.location.c_str());
    if (!reply.cookie.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, reply.cookie.c_str());
    if (reply.close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
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
    std::size_t open = 0;
    for (Stream *other : streams_)
        if (!other->dropped) ++open;
    for (auto it = streams_.begin(); open >= kMaxStreams && it != streams_.end(); ++it)
        if (!(*it)->dropped) {
            drop(*it);  // the oldest first
            --open;
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

std::unique_ptr<LoopGuest> start_panel(Server &server, const std::string &address, std::string *error) {
    HttpAddress a;
    if (!parse_http_address(address, &a, error)) return nullptr;
    auto panel = std::make_unique<Panel>(server, a);
    if (!panel->start(error)) return nullptr;
    return panel;
}

}  // namespace mcu_sim
