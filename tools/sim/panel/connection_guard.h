// connection_guard.h - keeps the web panel open to a new page load however
// other local programs use it: a connection that has not sent a whole
// request within a few seconds of connecting (or of its last answer) is
// closed; when the panel holds as many connections as it takes, a new one
// closes the one that has waited longest for a request (so a page loads at
// once, whoever holds the others); and a connection the panel drops is
// closed too, from outside the HTTP library's callbacks.
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

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mcu_sim {

class ConnectionGuard {
public:
    // How long a connection may take to send a whole request.
    static constexpr int64_t kRequestMs = 5000;

    // `limit`: the connections the panel holds at once.
    explicit ConnectionGuard(std::size_t limit) : limit_(limit) {}
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

    // Hangs up the connections that are out of time.
    void enforce();
    // Milliseconds until the next connection is out of time, -1 when none
    // waits for a request.
    int wait_ms() const;

private:
    struct Peer {
        int fd = -1;
        int64_t since_ms = 0;
        bool waiting = true;   // for a whole request
        bool closing = false;  // shut down; the library closes it at its next run
    };
    Peer *peer(MHD_Connection *connection) const;
    void close_peer(Peer *p);
    // Over the limit with `newcomer`: the peer that has waited longest for
    // a request is closed, the newcomer itself when none waits.
    void make_room(Peer *newcomer);

    std::size_t limit_;
    std::vector<Peer *> peers_;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_PANEL_CONNECTION_GUARD_H
