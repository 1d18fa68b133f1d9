// connection_guard.h - keeps the web panel open to a new page load however
// other local programs use it: a connection that has not sent a whole
// request within a few seconds of connecting (or of its last answer) is
// closed, and so is a connection the panel drops, from outside the HTTP
// library's callbacks.
//
// The library in external-poll mode has no call to close one connection;
// shutting its socket down makes the library see the end at its next run
// and close the connection itself, so its state stays its own.
#ifndef MCU_SIM_PANEL_CONNECTION_GUARD_H
#define MCU_SIM_PANEL_CONNECTION_GUARD_H

#include <stdarg.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <microhttpd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mcu_sim {

class ConnectionGuard {
public:
    // How long a connection may take to send a whole request.
    static constexpr int64_t kRequestMs = 5000;

    ConnectionGuard() = default;
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

    // The library's connection notifications (MHD_OPTION_NOTIFY_CONNECTION).
    void notified(MHD_Connection *connection, void **socket_context, MHD_ConnectionNotificationCode code);
    // A whole request came in on the connection: its clock stops.
    void answered(MHD_Connection *connection);
    // The answer went out; a kept-alive connection's next request has the
    // same time to come.
    void finished(MHD_Connection *connection);
    // Closes the connection at the library's next run.
    void hang_up(MHD_Connection *connection);
    // The client's address, e.g. "127.0.0.1" ("" when unknown).
    std::string address(MHD_Connection *connection) const;

    // Hangs up the connections that are out of time.
    void enforce();
    // Milliseconds until the next connection is out of time, -1 when none
    // waits for a request.
    int wait_ms() const;

private:
    struct Peer {
        int fd = -1;
        std::string address;
        int64_t since_ms = 0;
        bool waiting = true;  // for a whole request
    };
    Peer *peer(MHD_Connection *connection) const;

    std::vector<Peer *> peers_;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_CONNECTION_GUARD_H
