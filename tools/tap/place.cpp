// place.cpp - taking the agent's place and giving it back.
#include "place.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>

namespace mcu_tap {

bool unix_address(const std::string &path, sockaddr_un *addr) {
    *addr = {};
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

Liveness probe(const std::string &path, std::string *untrusted) {
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
    if (live && untrusted) *untrusted = mcu_tools::untrusted_peer(fd, path);
    ::close(fd);
    return live ? Liveness::Live : Liveness::Dead;
}

Listening listening(const FileId &id) {
    if (!id.present()) return Listening::No;
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return Listening::Unknown;
    const timeval deadline{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
    struct {
        nlmsghdr head;
        unix_diag_req req;
    } ask{};
    ask.head.nlmsg_len = sizeof ask;
    ask.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.req.sdiag_family = AF_UNIX;
    ask.req.udiag_states = 1u << 10;  // TCP_LISTEN: listening sockets only
    ask.req.udiag_show = UDIAG_SHOW_VFS;
    Listening answer = Listening::Unknown;
    if (::send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
        alignas(nlmsghdr) char buf[16384];
        bool done = false, found = false;
        while (!done) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            int left = static_cast<int>(n);
            for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    answer = found ? Listening::Yes : Listening::No;
                    break;
                }
                if (h->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                auto *m = static_cast<unix_diag_msg *>(NLMSG_DATA(h));
                int attr_len = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *m));
                for (auto *a = reinterpret_cast<rtattr *>(m + 1); RTA_OK(a, attr_len); a = RTA_NEXT(a, attr_len)) {
                    if (a->rta_type != UNIX_DIAG_VFS) continue;
                    const auto *vfs = static_cast<const unix_diag_vfs *>(RTA_DATA(a));
                    if (vfs->udiag_vfs_ino == id.ino) found = true;
                }
            }
        }
    }
    ::close(fd);
    return answer;
}

namespace {

// The listening sockets in /proc/net/unix: socket inode and the name each
// was bound to (a rename of the file does not change it).
template <typename Each>
void each_listener(Each each) {
    std::FILE *f = std::fopen("/proc/net/unix", "re");
    if (!f) return;
    char line[4096];
    std::fgets(line, sizeof line, f);  // the heading
    while (std::fgets(line, sizeof line, f)) {
        unsigned long flags = 0, inode = 0;
        int path_at = 0;
        if (std::sscanf(line, "%*s %*x %*x %lx %*x %*x %lu %n", &flags, &inode, &path_at) < 2) continue;
        if (!(flags & 0x10000)) continue;  // __SO_ACCEPTCON: listening
        std::string path = path_at > 0 ? line + path_at : "";
        while (!path.empty() && (path.back() == '\n' || path.back() == ' ')) path.pop_back();
        each(inode, path);
    }
    std::fclose(f);
}

}  // namespace

unsigned long listener_bound_at(const std::string &path) {
    unsigned long found = 0;
    int count = 0;
    each_listener([&](unsigned long inode, const std::string &name) {
        if (name == path) {
            found = inode;
            ++count;
        }
    });
    return count == 1 ? found : 0;
}

bool listener_exists(unsigned long socket_inode) {
    bool found = false;
    each_listener([&](unsigned long inode, const std::string &) { found = found || inode == socket_inode; });
    return found;
}

std::string agent_refusal(const std::string &path) {
    const std::string owner = mcu_tools::untrusted_owner(path);
    if (!owner.empty()) return owner;
    std::string peer;
    if (probe(path, &peer) != Liveness::Live) return "nothing listens on " + path;
    return peer;
}

std::string staging_name(const std::string &listen_path) {
    std::random_device random;  // the kernel's random numbers
    char hex[17];
    std::snprintf(hex, sizeof hex, "%08x%08x", static_cast<unsigned>(random()), static_cast<unsigned>(random()));
    return listen_path + ".tap-" + hex;
}

int bind_tap_socket(Placement *p, const std::string &like, std::string *error) {
    struct stat agent;
    const bool known = !like.empty() && ::lstat(like.c_str(), &agent) == 0 && S_ISSOCK(agent.st_mode);
    sockaddr_un addr;
    if (!unix_address(p->staging_path, &addr)) {
        *error = "socket path too long: " + p->staging_path;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    // The socket file is made with the agent's mode from the start (the
    // umask decides it at bind): never a moment with more than that.  The
    // tap is one thread, so the umask changes nothing else meanwhile.
    const mode_t old_mask = known ? ::umask(~agent.st_mode & 0777) : 0;
    const int bound = ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const int bind_error = errno;
    if (known) ::umask(old_mask);
    if (bound != 0 || ::listen(fd, 16) != 0) {
        *error = "cannot listen on " + p->staging_path + ": " + std::strerror(bound != 0 ? bind_error : errno);
        ::close(fd);
        return -1;
    }
    p->tap_socket = file_id(p->staging_path);
    struct stat mine;
    if (known && ::lstat(p->staging_path.c_str(), &mine) == 0 && mine.st_gid != agent.st_gid &&
        ::lchown(p->staging_path.c_str(), static_cast<uid_t>(-1), agent.st_gid) != 0) {
        *error = "cannot give " + p->staging_path + " the group of " + like + " (gid " +
                 std::to_string(agent.st_gid) + "): " + std::strerror(errno);
        ::unlink(p->staging_path.c_str());
        ::close(fd);
        return -1;
    }
    return fd;
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
            // no agent since.  Put it back before anything else, if it is
            // the agent: another user may listen there since the agent
            // went, and would be put in the agent's place for good.
            const std::string refusal = agent_refusal(agent_path);
            if (!refusal.empty()) {
                say(agent_path + " is not the agent's socket: " + refusal + "; not moving it (remove it, then start " +
                    "the agent and the tap again)");
                return 1;
            }
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
    return check_agent(listen_path, say);
}

int check_agent(const std::string &agent_path, const Say &say) {
    const std::string refusal = agent_refusal(agent_path);
    if (refusal.empty()) return 0;
    say("not tapping " + agent_path + ": " + refusal);
    return 1;
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
        // The files, as often as they change, until the tap has gone: the
        // last whole record is what to give back.
        Files files, latest;
        std::size_t got = 0;
        bool armed = false;
        for (;;) {
            const ssize_t n = ::read(fds[0], reinterpret_cast<char *>(&files) + got, sizeof files - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
            if (got == sizeof files) {
                latest = files;
                armed = true;
                got = 0;
            }
        }
        if (armed) {
            Placement placed = p;
            placed.tap_socket = latest.tap_socket;
            placed.agent_socket = latest.agent_socket;
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

// ---- the keeper -----------------------------------------------------------

Keeper::Keeper(Placement *p, Guardian *guardian, int listen_fd, bool move, Say say)
    : p_(p), guardian_(guardian), listen_fd_(listen_fd), move_(move), say_(std::move(say)),
      agent_(move ? p->agent_socket : file_id(p->agent_path)), seen_(p->tap_socket),
      agent_listener_(listener_bound_at(p->agent_path)), like_(move ? p->listen_path : p->agent_path) {
    // The agent's socket was bound at the listen path before the tap moved it.
    if (move) agent_listener_ = listener_bound_at(p->listen_path);
}

Keeper::~Keeper() {
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool Keeper::watch(bool refused) {
    const std::string &where = move_ ? p_->listen_path : p_->agent_path;  // where a new agent appears
    if (!aside_) {
        const FileId now = file_id(p_->listen_path);
        const bool same = now.present() ? now == seen_ : !seen_.present();
        if (!same && now != p_->tap_socket) {
            if (now.present())
                say_("!" + p_->listen_path + " is no longer the tap's socket: another program took the path; " +
                     "applications that connect now reach it directly, past the tap");
            else
                say_("!" + p_->listen_path + " was removed: applications cannot connect until something listens " +
                     "there again");
        }
        seen_ = now;
        Listening state = listening(agent_);
        if (state == Listening::Unknown && agent_listener_)
            state = listener_exists(agent_listener_) ? Listening::Yes : Listening::No;
        // Without the kernel's word, a refused connection to a socket file
        // that is still the agent's says it has gone.
        const bool gone = state == Listening::No ||
                          (refused && state == Listening::Unknown && probe(p_->agent_path) != Liveness::Live) ||
                          (refused && file_id(p_->agent_path) != agent_);
        if (gone) step_aside();
        return true;
    }
    bool is_socket = false;
    const FileId there = file_id(where, &is_socket);
    if (is_socket && there != p_->tap_socket && there != refused_) {
        const Listening state = listening(there);
        if (state == Listening::Yes || (state == Listening::Unknown && probe(where) == Liveness::Live)) {
            const std::string refusal = agent_refusal(where);
            if (refusal.empty()) {
                come_back(there);
                return true;
            }
            say_("!not tapping what now listens on " + where + ": " + refusal);
            refused_ = there;
        }
    }
    if (std::chrono::steady_clock::now() - aside_since_ < kAgentReturn) return true;
    say_("!no agent has come back to " + where + " within " + std::to_string(kAgentReturn.count()) + " s: stopping");
    return false;
}

void Keeper::step_aside() {
    // The tap's socket leaves the listen path first, then the agent's dead
    // socket goes back there: nothing is left that accepts and cannot reach
    // an agent, and whoever restarts the agent finds its own path as it
    // would without the tap.
    if (file_id(p_->listen_path) == p_->tap_socket) ::rename(p_->listen_path.c_str(), p_->staging_path.c_str());
    if (move_ && file_id(p_->agent_path) == p_->agent_socket) {
        if (::link(p_->agent_path.c_str(), p_->listen_path.c_str()) == 0 || errno == EEXIST)
            ::unlink(p_->agent_path.c_str());
        else
            ::rename(p_->agent_path.c_str(), p_->listen_path.c_str());
    }
    p_->agent_socket = {};
    guardian_->arm(*p_);
    aside_ = true;
    aside_since_ = std::chrono::steady_clock::now();
    refused_ = {};
    say_("!the agent at " + p_->agent_path + " has gone: the tap steps aside (" + p_->listen_path +
         (move_ ? " is the agent's again" : " is removed") + ") and takes its place again when an agent listens on " +
         (move_ ? p_->listen_path : p_->agent_path) + " (for " + std::to_string(kAgentReturn.count()) + " s)");
}

bool Keeper::tap_socket_ready() {
    if (file_id(p_->staging_path) == p_->tap_socket) return true;
    // Another program removed the tap's socket file from the listen path
    // while the tap was there: a new socket, with a new file.
    std::string error;
    const Placement before = *p_;
    const int fd = bind_tap_socket(p_, like_, &error);
    if (fd < 0) {
        *p_ = before;
        say_("!" + error);
        return false;
    }
    ::close(listen_fd_);
    listen_fd_ = fd;
    return true;
}

void Keeper::come_back(const FileId &agent) {
    if (!tap_socket_ready()) return;
    bool done;
    if (move_) {
        // The guardian learns of the agent's socket before it moves: the
        // tap can end at any step and the place is still given back.
        p_->agent_socket = agent;
        guardian_->arm(*p_);
        done = take_place(*p_, say_);
    } else {
        done = ::link(p_->staging_path.c_str(), p_->listen_path.c_str()) == 0;
        if (done) ::unlink(p_->staging_path.c_str());
        else say_("!cannot put the tap's socket back at " + p_->listen_path + ": " + std::strerror(errno));
    }
    if (!done) {
        // As it was before: the agent's socket at the listen path only.
        if (move_ && file_id(p_->agent_path) == agent && file_id(p_->listen_path) == agent)
            ::unlink(p_->agent_path.c_str());
        p_->agent_socket = {};
        guardian_->arm(*p_);
        return;  // tried again at the next look
    }
    agent_ = agent;
    agent_listener_ = listener_bound_at(move_ ? p_->listen_path : p_->agent_path);
    seen_ = p_->tap_socket;
    aside_ = false;
    say_("!" + (move_ ? p_->listen_path : p_->agent_path) + ": the agent restarted there; the tap takes its place " +
         "again" + (move_ ? " (the agent's socket moved to " + p_->agent_path + ")" : ""));
}

}  // namespace mcu_tap
