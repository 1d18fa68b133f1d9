// relay.cpp - the tap's relay loop.
#include "relay.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "capture.h"
#include "words.h"

namespace mcu_tap {

namespace {

using mcu_protocol::Direction;

// Beyond this much waiting for one side, the tap stops reading the other:
// a slow reader slows its writer, as it would without the tap.
constexpr std::size_t kMaxQueued = 1 << 20;
// How often the tap looks whether its socket still lies at the listen path
// and whether the agent still listens: a restarting agent finds the path
// free within about this time after the old one went.
constexpr int64_t kWatchUs = 100 * 1000;

int64_t steady_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A connection to the agent, blocking while it is made and non-blocking
// after; -1 with errno, and `refusal` set when the peer is not the agent by
// the library's rule (errno EPERM).
int connect_to(const std::string &path, std::string *refusal) {
    sockaddr_un addr;
    if (!unix_address(path, &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // An agent whose queue is full makes connect wait: for a second at most.
    const timeval deadline{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &deadline, sizeof deadline);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    *refusal = mcu_tools::untrusted_peer(fd, path);
    if (!refusal->empty()) {
        ::close(fd);
        errno = EPERM;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

Relay::Relay(Keeper &keeper, std::string listen_path, std::string agent_path, mcu_cli::CaptureFile &capture,
             bool quiet, mcu_cli::FrameView view)
    : keeper_(keeper), gate_([this](const std::string &line) { say("!" + line); }),
      listen_path_(std::move(listen_path)), agent_path_(std::move(agent_path)), capture_(capture), quiet_(quiet),
      view_(std::move(view)) {}

Relay::~Relay() {
    for (auto &c : connections_) {
        ::close(c->up.from);
        ::close(c->up.to);
    }
}

void Relay::run(const volatile sig_atomic_t &stop) {
    say("listening on " + listen_path_ + ", passing on to " + agent_path_ +
        "; only connections made from now on are captured (applications connected before keep talking to the " +
        "agent directly, unseen)");
    std::vector<pollfd> fds;
    watched_us_ = steady_us();
    while (!stop && !ending_) {
        fds.clear();
        const int listen_fd = keeper_.listen_fd();
        fds.push_back({listen_fd, listen_fd >= 0 ? gate_.events() : short(0), 0});
        // One entry per descriptor: read it unless it has ended or what it
        // sent still waits for the other side; write it when something
        // waits for it.  A descriptor with nothing to do is left out, or its
        // hang-up would wake the loop without end.
        auto add = [&](const Flow &reading, const Flow &writing) {
            short events = 0;
            if (!reading.ended && reading.queued.size() < kMaxQueued) events |= POLLIN;
            if (!writing.queued.empty()) events |= POLLOUT;
            fds.push_back({events ? reading.from : -1, events, 0});
        };
        for (auto &c : connections_) {
            add(c->up, c->down);
            add(c->down, c->up);
        }
        int timeout = static_cast<int>(kWatchUs / 1000);
        if (gate_.wait_ms() >= 0) timeout = std::min(timeout, gate_.wait_ms());
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "mcu-agent-tap: poll: %s\n", std::strerror(errno));
            return;
        }
        std::size_t i = 1;
        for (auto &c : connections_) {
            serve(*c, c->up, fds[i].revents, Direction::App);
            serve(*c, c->down, fds[i + 1].revents, Direction::Agent);
            pass_end(c->up);
            pass_end(c->down);
            i += 2;
        }
        for (std::size_t k = connections_.size(); k-- > 0;) {
            Connection &c = *connections_[k];
            if (!c.up.done || !c.down.done) continue;
            const int64_t stamp = mcu_protocol::wall_clock_us();
            while (auto piece = c.up.scanner.flush()) record(c, *piece, Direction::App, stamp);
            while (auto piece = c.down.scanner.flush()) record(c, *piece, Direction::Agent, stamp);
            capture(mcu_protocol::disconnect_record(c.number, stamp));
            ::close(c.up.from);
            ::close(c.up.to);
            connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(k));
        }
        if (fds[0].revents & POLLIN) accept_one();
        if (!ending_ && steady_us() - watched_us_ >= kWatchUs) {
            watched_us_ = steady_us();
            ending_ = !keeper_.watch();
        }
    }
    // Connections still open end with the tap: their capture says so, as
    // the agent's and the library's captures do at their end.
    const int64_t stamp = mcu_protocol::wall_clock_us();
    for (auto &c : connections_) {
        while (auto piece = c->up.scanner.flush()) record(*c, *piece, Direction::App, stamp);
        while (auto piece = c->down.scanner.flush()) record(*c, *piece, Direction::Agent, stamp);
        capture(mcu_protocol::disconnect_record(c->number, stamp));
    }
    say("stopping: " + std::to_string(next_number_ - 1) + " connections tapped");
}

void Relay::serve(Connection &c, Flow &f, short revents, Direction d) {
    Flow &back = &f == &c.up ? c.down : c.up;  // the flow that writes to f.from
    if ((revents & (POLLOUT | POLLHUP | POLLERR)) && !back.queued.empty()) flush(back);
    if (!f.ended && (revents & (POLLIN | POLLHUP | POLLERR))) read_from(c, f, d);
}

void Relay::read_from(Connection &c, Flow &f, Direction d) {
    uint8_t buf[65536];
    const ssize_t n = ::read(f.from, buf, sizeof buf);
    if (n > 0) {
        const int64_t stamp = mcu_protocol::wall_clock_us();
        f.scanner.feed(buf, static_cast<std::size_t>(n));
        while (auto piece = f.scanner.next()) record(c, *piece, d, stamp);
        f.queued.insert(f.queued.end(), buf, buf + n);
        flush(f);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The end of this direction: what is queued still goes out, then
        // the end is passed on (pass_end), and the other direction goes on
        // until it ends too.
        f.ended = true;
        if (!c.said_closed)
            say("#" + std::to_string(c.number) + " " + (d == Direction::App ? "application" : "agent") +
                " closed the connection");
        c.said_closed = true;
    }
}

void Relay::flush(Flow &f) {
    std::size_t done = 0;
    while (done < f.queued.size()) {
        const ssize_t n = ::send(f.to, f.queued.data() + done, f.queued.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The receiver has gone: nothing more reaches it.
            f.queued.clear();
            f.ended = true;
            return;
        }
        break;
    }
    f.queued.erase(f.queued.begin(), f.queued.begin() + static_cast<std::ptrdiff_t>(done));
}

void Relay::pass_end(Flow &f) {
    if (!f.ended || !f.queued.empty() || f.done) return;
    ::shutdown(f.to, SHUT_WR);
    f.done = true;
}

void Relay::record(const Connection &c, const mcu_protocol::Piece &piece, Direction d, int64_t stamp) {
    mcu_protocol::CaptureRecord r = mcu_protocol::capture_of(piece, stamp);
    r.connection = c.number;
    r.direction = d;  // bytes outside a frame have no lead bytes to tell
    capture(r);
    // The filter hook: what is printed, never what is captured.
    const bool shown = piece.is_frame ? view_.shows(d, piece.id) : view_.shows_unframed(d);
    if (!quiet_ && shown) {
        std::string words = mcu_protocol::piece_words(piece);
        if (!piece.is_frame) words = std::string(mcu_protocol::direction_word(d)) + " " + words;
        const std::string time = view_.stamp(stamp);
        say((time.empty() ? "" : time + " ") + "#" + std::to_string(c.number) + " " + words);
    }
}

void Relay::accept_one() {
    // The agent first: an application is accepted only with a connection
    // to the agent for it.  Without one it stays queued while the keeper
    // steps aside, and is served when the agent is back.
    std::string refusal;
    const int agent = connect_to(agent_path_, &refusal);
    if (agent < 0) {
        const int error = errno;
        if (gate_.out_of_descriptors(error)) return;
        ending_ = !keeper_.watch(true);
        if (keeper_.listen_fd() < 0 || ending_) return;
        // The agent still listens but took no connection now (its queue is
        // full): this application is told at once rather than left waiting.
        const int app = gate_.accept(keeper_.listen_fd());
        if (app < 0) return;
        say("!cannot reach the agent at " + agent_path_ + ": " + (refusal.empty() ? std::strerror(error) : refusal) +
            "; the application's connection is closed");
        ::close(app);
        return;
    }
    const int app = gate_.accept(keeper_.listen_fd());
    if (app < 0) {
        ::close(agent);
        return;
    }
    auto c = std::make_unique<Connection>();
    c->number = next_number_++;
    c->up.from = c->down.to = app;
    c->up.to = c->down.from = agent;
    capture(mcu_protocol::connect_record(c->number, agent_path_, mcu_protocol::wall_clock_us()));
    say("#" + std::to_string(c->number) + " connected");
    connections_.push_back(std::move(c));
}

void Relay::capture(const mcu_protocol::CaptureRecord &r) {
    capture_.write_line(mcu_protocol::format_capture(r));
}

void Relay::say(const std::string &line) {
    if (quiet_ && (line[0] == '#' || line[0] == '(')) return;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace mcu_tap
