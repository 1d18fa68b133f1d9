// connection_guard.cpp - closing the panel's connections that hold a place
// without using it.
#include "connection_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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
        if (const MHD_ConnectionInfo *i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
            char text[INET6_ADDRSTRLEN] = "";
            const sockaddr *a = i->client_addr;
            if (a && a->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(a)->sin_addr, text, sizeof text);
            else if (a && a->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(a)->sin6_addr, text, sizeof text);
            p->address = text;
        }
        p->since_ms = steady_ms();
        peers_.push_back(p);
        *socket_context = p;
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

void ConnectionGuard::answered(MHD_Connection *connection) {
    if (Peer *p = peer(connection)) p->waiting = false;
}

void ConnectionGuard::finished(MHD_Connection *connection) {
    if (Peer *p = peer(connection)) {
        p->waiting = true;
        p->since_ms = steady_ms();
    }
}

void ConnectionGuard::hang_up(MHD_Connection *connection) {
    Peer *p = peer(connection);
    if (!p || p->fd < 0) return;
    ::shutdown(p->fd, SHUT_RDWR);
    p->waiting = false;  // once is enough
}

std::string ConnectionGuard::address(MHD_Connection *connection) const {
    const Peer *p = peer(connection);
    return p ? p->address : "";
}

void ConnectionGuard::enforce() {
    const int64_t now = steady_ms();
    for (Peer *p : peers_)
        if (p->waiting && p->fd >= 0 && now - p->since_ms >= kRequestMs) {
            ::shutdown(p->fd, SHUT_RDWR);
            p->waiting = false;
        }
}

int ConnectionGuard::wait_ms() const {
    const int64_t now = steady_ms();
    int64_t next = -1;
    for (const Peer *p : peers_)
        if (p->waiting && p->fd >= 0) {
            const int64_t left = std::max<int64_t>(0, p->since_ms + kRequestMs - now);
            if (next < 0 || left < next) next = left;
        }
    return static_cast<int>(next);
}

}  // namespace mcu_sim
