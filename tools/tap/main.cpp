// main.cpp - mcu-agent-tap: a capture on a real head unit.  It sits
// between the applications and the real agent server: it listens where the
// applications connect, opens a connection to the agent for each of them,
// passes every byte on unchanged in both directions and writes each frame
// to a capture file (and in words to standard output), the same capture
// the virtual MCU writes.
//
// Without --agent it takes the agent's own place: the agent's socket file
// is renamed to PATH.tapped (the agent keeps listening through it), the tap
// listens on PATH, and at the end it renames the file back.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "cli.h"
#include "frame.h"
#include "frame_view.h"
#include "words.h"

namespace {

using mcu_protocol::Bytes;

const char kUsage[] =
    "usage: mcu-agent-tap [options]\n"
    "Passes the traffic between applications and the agent server through\n"
    "unchanged and writes both directions of every connection to a capture.\n"
    "\n"
    "  --listen PATH    where applications connect (default $MCU_AGENT_SOCKET,\n"
    "                   else /tmp/mcu_agent)\n"
    "  --agent PATH     the agent server's socket; without it the agent's socket\n"
    "                   at the listen path is moved to PATH.tapped while the tap\n"
    "                   runs, and moved back when it stops\n"
    "  --capture FILE   the capture (default mcu-agent-tap.log)\n"
    "  --quiet          do not print the frames in words\n"
    "  --version        print the version and exit\n"
    "Stops on SIGINT or SIGTERM.  These choose the frames printed in words and\n"
    "give them times; the capture keeps every frame:\n";

// Beyond this much waiting for one side, the tap stops reading the other:
// a slow reader slows its writer, as it would without the tap.
constexpr std::size_t kMaxQueued = 1 << 20;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

bool address_of(const std::string &path, sockaddr_un *addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::strncpy(addr->sun_path, path.c_str(), sizeof addr->sun_path - 1);
    return true;
}

int connect_to(const std::string &path) {
    sockaddr_un addr;
    if (!address_of(path, &addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// One direction of one connection.
struct Flow {
    int from = -1, to = -1;
    mcu_protocol::FrameScanner scanner;
    Bytes queued;  // read from `from`, not yet written to `to`
};

struct Connection {
    int number = 0;
    Flow up, down;  // application -> agent, agent -> application
    bool ended = false;
};

class Tap {
public:
    Tap(std::string listen_path, std::string agent_path, bool moved, std::ofstream &capture, bool quiet,
        mcu_cli::FrameView view)
        : listen_path_(std::move(listen_path)), agent_path_(std::move(agent_path)), moved_(moved),
          capture_(capture), quiet_(quiet), view_(std::move(view)) {}
    ~Tap() {
        for (auto &c : connections_) close_both(*c);
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
            ::unlink(listen_path_.c_str());
        }
        if (moved_ && ::rename(agent_path_.c_str(), listen_path_.c_str()) != 0)
            std::fprintf(stderr, "mcu-agent-tap: cannot move %s back to %s: %s\n", agent_path_.c_str(),
                         listen_path_.c_str(), std::strerror(errno));
    }

    bool listen() {
        sockaddr_un addr;
        if (!address_of(listen_path_, &addr)) {
            std::fprintf(stderr, "mcu-agent-tap: socket path too long: %s\n", listen_path_.c_str());
            return false;
        }
        ::unlink(listen_path_.c_str());
        listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(listen_fd_, 16) != 0) {
            std::fprintf(stderr, "mcu-agent-tap: cannot listen on %s: %s\n", listen_path_.c_str(),
                         std::strerror(errno));
            return false;
        }
        say("listening on " + listen_path_ + ", passing on to " + agent_path_);
        return true;
    }

    void run() {
        std::vector<pollfd> fds;
        while (!g_stop) {
            fds.clear();
            fds.push_back({listen_fd_, POLLIN, 0});
            for (auto &c : connections_) {
                add(fds, c->up, c->down);
                add(fds, c->down, c->up);
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "mcu-agent-tap: poll: %s\n", std::strerror(errno));
                return;
            }
            std::size_t i = 1;
            for (auto &c : connections_) {
                serve(*c, c->up, fds[i].revents, mcu_protocol::Direction::App);
                serve(*c, c->down, fds[i + 1].revents, mcu_protocol::Direction::Agent);
                i += 2;
            }
            for (std::size_t k = connections_.size(); k-- > 0;)
                if (connections_[k]->ended) {
                    close_both(*connections_[k]);
                    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(k));
                }
            if (fds[0].revents & POLLIN) accept_all();
        }
        say("stopping: " + std::to_string(next_number_ - 1) + " connections tapped");
    }

private:
    // One entry per descriptor: read it unless what it sends still waits
    // for the other side; write it when something waits for it.
    static void add(std::vector<pollfd> &fds, const Flow &reading, const Flow &writing) {
        short events = 0;
        if (reading.queued.size() < kMaxQueued) events |= POLLIN;
        if (!writing.queued.empty()) events |= POLLOUT;
        fds.push_back({reading.from, events, 0});
    }

    void serve(Connection &c, Flow &f, short revents, mcu_protocol::Direction d) {
        if (c.ended) return;
        Flow &back = &f == &c.up ? c.down : c.up;  // the flow that writes to f.from
        if (revents & POLLOUT) flush(back);
        if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
        uint8_t buf[65536];
        const ssize_t n = ::read(f.from, buf, sizeof buf);
        if (n > 0) {
            const int64_t stamp = mcu_protocol::wall_clock_us();
            f.scanner.feed(buf, static_cast<std::size_t>(n));
            while (auto piece = f.scanner.next()) record(c, *piece, d, stamp);
            f.queued.insert(f.queued.end(), buf, buf + n);
            flush(f);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            while (auto piece = f.scanner.flush()) record(c, *piece, d, mcu_protocol::wall_clock_us());
            flush(f);
            capture(mcu_protocol::disconnect_record(c.number, mcu_protocol::wall_clock_us()));
            say("#" + std::to_string(c.number) + " " + (d == mcu_protocol::Direction::App ? "application" : "agent") +
                " closed the connection");
            c.ended = true;
        }
    }

    void flush(Flow &f) {
        std::size_t done = 0;
        while (done < f.queued.size()) {
            const ssize_t n = ::send(f.to, f.queued.data() + done, f.queued.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        f.queued.erase(f.queued.begin(), f.queued.begin() + static_cast<std::ptrdiff_t>(done));
    }

    void record(const Connection &c, const mcu_protocol::Piece &piece, mcu_protocol::Direction d, int64_t stamp_us) {
        mcu_protocol::CaptureRecord r = mcu_protocol::capture_of(piece, stamp_us);
        r.connection = c.number;
        r.direction = d;  // bytes outside a frame have no lead bytes to tell
        capture(r);
        // The filter hook: what is printed, never what is captured.
        const bool shown = piece.is_frame ? view_.shows(d, piece.id) : view_.shows_unframed(d);
        if (!quiet_ && shown) {
            std::string words = mcu_protocol::piece_words(piece);
            if (!piece.is_frame) words = std::string(mcu_protocol::direction_word(d)) + " " + words;
            const std::string stamp = view_.stamp(stamp_us);
            say((stamp.empty() ? "" : stamp + " ") + "#" + std::to_string(c.number) + " " + words);
        }
    }

    void accept_all() {
        for (;;) {
            const int app = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (app < 0) return;
            const int agent = connect_to(agent_path_);
            if (agent < 0) {
                say("!cannot reach the agent at " + agent_path_ + ": " + std::strerror(errno) +
                    "; the application's connection is closed");
                ::close(app);
                continue;
            }
            auto c = std::make_unique<Connection>();
            c->number = next_number_++;
            c->up.from = c->down.to = app;
            c->up.to = c->down.from = agent;
            capture(mcu_protocol::connect_record(c->number, agent_path_, mcu_protocol::wall_clock_us()));
            say("#" + std::to_string(c->number) + " connected");
            connections_.push_back(std::move(c));
        }
    }

    static void close_both(Connection &c) {
        if (c.up.from >= 0) ::close(c.up.from);
        if (c.up.to >= 0) ::close(c.up.to);
        c.up.from = c.up.to = c.down.from = c.down.to = -1;
    }

    void capture(const mcu_protocol::CaptureRecord &r) {
        capture_ << mcu_protocol::format_capture(r) << '\n' << std::flush;
    }

    void say(const std::string &line) {
        if (quiet_ && (line[0] == '#' || line[0] == '(')) return;
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }

    std::string listen_path_, agent_path_;
    bool moved_;
    std::ofstream &capture_;
    bool quiet_;
    mcu_cli::FrameView view_;
    int listen_fd_ = -1;
    int next_number_ = 1;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace

int main(int argc, char **argv) {
    std::string listen_path = mcu_cli::default_socket_path(), agent_path, capture_file = "mcu-agent-tap.log";
    bool quiet = false;
    mcu_cli::FrameView view(false, mcu_cli::TimeStamps::None);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "mcu-agent-tap: %s needs a value (mcu-agent-tap --help lists the options)\n",
                             a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        std::string error;
        if (view.take_option(argc, argv, &i, &error)) continue;
        if (!error.empty()) {
            std::fprintf(stderr, "mcu-agent-tap: %s\n", error.c_str());
            return 2;
        }
        if (a == "--listen") listen_path = value();
        else if (a == "--agent") agent_path = value();
        else if (a == "--capture") capture_file = value();
        else if (a == "--quiet") quiet = true;
        else if (a == "--version") {
            mcu_cli::print_version("mcu-agent-tap");
            return 0;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(view.usage().c_str(), stdout);
            return 0;
        } else {
            std::fprintf(stderr, "mcu-agent-tap: unknown option %s (mcu-agent-tap --help lists the options)\n",
                         a.c_str());
            return 2;
        }
    }
    bool moved = false;
    if (agent_path.empty()) {
        agent_path = listen_path + ".tapped";
        struct stat st;
        if (::stat(agent_path.c_str(), &st) != 0) {
            if (::stat(listen_path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
                std::fprintf(stderr, "mcu-agent-tap: no agent socket at %s to take the place of (or give --agent PATH)\n",
                             listen_path.c_str());
                return 1;
            }
            if (::rename(listen_path.c_str(), agent_path.c_str()) != 0) {
                std::fprintf(stderr, "mcu-agent-tap: cannot move %s to %s: %s\n", listen_path.c_str(),
                             agent_path.c_str(), std::strerror(errno));
                return 1;
            }
            moved = true;
        }
    } else if (agent_path == listen_path) {
        std::fprintf(stderr, "mcu-agent-tap: --agent and --listen name the same socket\n");
        return 2;
    }
    std::ofstream capture(capture_file, std::ios::out | std::ios::trunc);
    if (!capture) {
        std::fprintf(stderr, "mcu-agent-tap: cannot write %s: %s\n", capture_file.c_str(), std::strerror(errno));
        if (moved) ::rename(agent_path.c_str(), listen_path.c_str());
        return 1;
    }
    capture << "# mcu-agent-tap capture of " << listen_path << " -> " << agent_path << "\n" << std::flush;

    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Tap tap(listen_path, agent_path, moved, capture, quiet, std::move(view));
    if (!tap.listen()) return 1;
    tap.run();
    return 0;
}
