// place.cpp - taking the agent's place and giving it back.
#include "place.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace mcu_tap {

bool unix_address(const std::string &path, sockaddr_un *addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

FileId file_id(const std::string &path, bool *is_socket) {
    struct stat st;
    if (is_socket) *is_socket = false;
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (is_socket) *is_socket = S_ISSOCK(st.st_mode);
    return {st.st_dev, st.st_ino};
}

Liveness probe(const std::string &path) {
    bool is_socket = false;
    if (!file_id(path, &is_socket).present()) return Liveness::Absent;
    if (!is_socket) return Liveness::NotSocket;
    sockaddr_un addr;
    if (!unix_address(path, &addr)) return Liveness::Dead;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Liveness::Dead;
    const int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    // A full backlog (EAGAIN) still means someone listens.
    const bool live = rc == 0 || errno == EAGAIN;
    ::close(fd);
    return live ? Liveness::Live : Liveness::Dead;
}

int check_agent_place(const std::string &listen_path, const std::string &agent_path, const Say &say) {
    bool is_socket = false;
    if (file_id(agent_path, &is_socket).present()) {
        if (!is_socket) {
            say(agent_path + " exists and is not a socket: move it away first (or give --agent PATH)");
            return 1;
        }
        const Liveness behind = probe(agent_path), here = probe(listen_path);
        if (behind == Liveness::Live && here == Liveness::Live) {
            say("another tap runs on " + listen_path + " (the agent is at " + agent_path +
                "): stop it first, or run this one beside it with --listen OTHER_PATH --agent " + listen_path);
            return kExitPathHeld;
        }
        if (here == Liveness::NotSocket) {
            say(listen_path + " exists and is not a socket: move it away first");
            return 1;
        }
        if (behind == Liveness::Live) {
            // A tap that died left the agent aside: applications have had
            // no agent since.  Put it back before anything else.
            if (::rename(agent_path.c_str(), listen_path.c_str()) != 0) {
                say("cannot move " + agent_path + " back to " + listen_path + ": " + std::strerror(errno));
                return 1;
            }
            say("repaired: the agent's socket had been left at " + agent_path + " by a tap that is gone; moved it back to " +
                listen_path);
        } else if (here == Liveness::Live) {
            ::unlink(agent_path.c_str());
            say("removed " + agent_path + ", a dead socket left behind (the agent at " + listen_path +
                " has restarted since)");
        } else {
            say("no agent listens at " + listen_path + " or at " + agent_path);
            return 1;
        }
    }
    if (!file_id(listen_path, &is_socket).present() || !is_socket) {
        say("no agent socket at " + listen_path + " to take the place of (or give --agent PATH)");
        return 1;
    }
    return 0;
}

int check_listen_path(const std::string &listen_path, const Say &say) {
    switch (probe(listen_path)) {
        case Liveness::Live:
            say("something already listens at " + listen_path + " (another tap, or an agent): give another --listen PATH");
            return kExitPathHeld;
        case Liveness::NotSocket: say(listen_path + " exists and is not a socket: move it away first"); return 1;
        case Liveness::Dead:
        case Liveness::Absent: break;
    }
    return 0;
}

bool take_place(const Placement &p, const Say &say) {
    if (p.agent_socket.present() && ::link(p.listen_path.c_str(), p.agent_path.c_str()) != 0) {
        // The agent's socket gets its second name first, and the tap's
        // socket then replaces the first in one step: an application that
        // connects meanwhile finds one or the other.  Where the file system
        // has no links, a rename leaves a moment with neither.
        if (::rename(p.listen_path.c_str(), p.agent_path.c_str()) != 0) {
            say("cannot move " + p.listen_path + " to " + p.agent_path + ": " + std::strerror(errno));
            return false;
        }
    }
    if (::rename(p.staging_path.c_str(), p.listen_path.c_str()) != 0) {
        say("cannot put the tap's socket at " + p.listen_path + ": " + std::strerror(errno));
        return false;
    }
    return true;
}

void give_back(const Placement &p, const Say &say) {
    const FileId here = file_id(p.listen_path);
    if (p.agent_socket.present()) {
        const FileId there = file_id(p.agent_path);
        if (there == p.agent_socket) {
            if (here == p.agent_socket) {
                ::unlink(p.agent_path.c_str());  // stopped between the link and the rename
            } else if (!here.present() || here == p.tap_socket) {
                // One step: applications find the tap's dead socket or the
                // agent, never nothing.
                if (::rename(p.agent_path.c_str(), p.listen_path.c_str()) == 0)
                    say("moved the agent's socket back from " + p.agent_path + " to " + p.listen_path);
                else
                    say("cannot move " + p.agent_path + " back to " + p.listen_path + ": " + std::strerror(errno));
            } else if (probe(p.agent_path) == Liveness::Live) {
                say(p.listen_path + " was taken by another socket while the tap ran: it and the agent's socket at " +
                    p.agent_path + " are left as they are");
            } else {
                ::unlink(p.agent_path.c_str());
                say("the agent restarted at " + p.listen_path + " while the tap ran: left it there and removed " +
                    p.agent_path + ", the old agent's socket");
            }
        } else {
            if (here == p.tap_socket) ::unlink(p.listen_path.c_str());
            say("the agent's socket is no longer at " + p.agent_path + " (removed or replaced while the tap ran): " +
                "nothing to move back to " + p.listen_path);
        }
    } else if (here == p.tap_socket) {
        ::unlink(p.listen_path.c_str());
    }
    if (file_id(p.staging_path) == p.tap_socket) ::unlink(p.staging_path.c_str());
}

// ---- the guardian ---------------------------------------------------------

Guardian::~Guardian() { finish(); }

namespace {

// What the tap tells its guardian once its socket is bound.
struct Files {
    FileId tap_socket, agent_socket;
};

}  // namespace

bool Guardian::start(const Placement &p) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid_ == 0) {
        ::close(fds[1]);
        // Its own session: the hang-up of the tap's terminal and signals
        // sent to the tap's process group do not reach it.
        ::setsid();
        for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGPIPE}) ::signal(sig, SIG_IGN);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);  // the tap's output ends with the tap
        }
        Files files;
        std::size_t got = 0;
        for (;;) {
            // The files first, then nothing until the tap has gone.
            char other;
            char *into = got < sizeof files ? reinterpret_cast<char *>(&files) + got : &other;
            const ssize_t n = ::read(fds[0], into, got < sizeof files ? sizeof files - got : 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got >= sizeof files) {
            Placement placed = p;
            placed.tap_socket = files.tap_socket;
            placed.agent_socket = files.agent_socket;
            give_back(placed,
                      [](const std::string &line) { std::fprintf(stderr, "mcu-agent-tap: %s\n", line.c_str()); });
        }
        std::fflush(stderr);
        ::_exit(0);
    }
    ::close(fds[0]);
    pipe_fd_ = fds[1];
    return true;
}

void Guardian::arm(const Placement &p) {
    if (pipe_fd_ < 0) return;
    const Files files{p.tap_socket, p.agent_socket};
    // Far below the pipe's buffer: one write, whole.
    if (::write(pipe_fd_, &files, sizeof files) != static_cast<ssize_t>(sizeof files)) {
        std::fprintf(stderr, "mcu-agent-tap: cannot reach the guardian process: %s\n", std::strerror(errno));
    }
}

bool Guardian::finish() {
    if (pid_ < 0) return false;
    ::close(pipe_fd_);
    pipe_fd_ = -1;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    // ECHILD: the child was reaped without us (SIGCHLD ignored), after it
    // had ended.
    if (r < 0) return errno == ECHILD;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace mcu_tap
