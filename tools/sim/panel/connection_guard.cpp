// connection_guard.cpp - closing the panel's connections that hold a place
// without using it.
#include "connection_guard.h"

#include <algorithm>
#include <chrono>

namespace mcu_sim {

namespace {

int64_t steady_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ConnectionGuard::~ConnectionGuard() {
    for (Peer *p : peers_) delete p;
}

void ConnectionGuard::notified(MHD_Connection *connection, void **socket_context,
                               MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *p = new Peer;
        if (const MHD_ConnectionInfo *i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
            p->fd = i->connect_fd;
        p->since_ms = steady_ms();
        peers_.push_back(p);
        *socket_context = p;
        make_room(p);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        auto *p = static_cast<Peer *>(*socket_context);
        peers_.erase(std::remove(peers_.begin(), peers_.end(), p), peers_.end());
        delete p;
        *socket_context = nullptr;
    }
}

ConnectionGuard::Peer *ConnectionGuard::peer(MHD_Connection *connection) const {
    const MHD_ConnectionInfo *i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return i ? static_cast<Peer *>(i->socket_context) : nullptr;
}

void ConnectionGuard::close_peer(Peer *p) {
    if (p->closing) return;
    if (p->fd >= 0) ::shutdown(p->fd, SHUT_RDWR);
    p->closing = true;
    p->waiting = false;
}

void ConnectionGuard::make_room(Peer *newcomer) {
    const std::size_t open = static_cast<std::size_t>(
        std::count_if(peers_.begin(), peers_.end(), [](const Peer *p) { return !p->closing; }));
    if (open <= limit_) return;
    Peer *oldest = nullptr;
    for (Peer *p : peers_)
        if (p != newcomer && p->waiting && !p->closing && (!oldest || p->since_ms < oldest->since_ms)) oldest = p;
    close_peer(oldest ? oldest : newcomer);
}

void ConnectionGuard::answered(MHD_Connection *connection) {
    if (Peer *p = peer(connection)) p->waiting = false;
}

void ConnectionGuard::finished(MHD_Connection *connection) {
    if (Peer *p = peer(connection)) {
        if (p->closing) return;
        p->waiting = true;
        p->since_ms = steady_ms();
    }
}

void ConnectionGuard::hang_up(MHD_Connection *connection) {
    if (Peer *p = peer(connection)) close_peer(p);
}

void ConnectionGuard::enforce() {
    const int64_t now = steady_ms();
    for (Peer *p : peers_)
        if (p->waiting && !p->closing && now - p->since_ms >= kRequestMs) close_peer(p);
}

int ConnectionGuard::wait_ms() const {
    const int64_t now = steady_ms();
    int64_t next = -1;
    for (const Peer *p : peers_)
        if (p->waiting && !p->closing) {
            const int64_t left = std::max<int64_t>(0, p->since_ms + kRequestMs - now);
            if (next < 0 || left < next) next = left;
        }
    return static_cast<int>(next);
}

}  // namespace mcu_sim
