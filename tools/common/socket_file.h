// socket_file.h - what the tools that hold or reach an agent socket share:
// which file a path names, removing a socket only when it is the tool's own,
// who may be the agent (the library's rule, peer_trust.h), and accepting
// connections without spinning when the process runs out of descriptors.
#ifndef MCU_TOOLS_SOCKET_FILE_H
#define MCU_TOOLS_SOCKET_FILE_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace mcu_tools {

// Which file a path names: device and inode, zero when nothing is there.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool present() const { return ino != 0; }
    bool operator==(const FileId &o) const { return present() && dev == o.dev && ino == o.ino; }
    bool operator!=(const FileId &o) const { return !(*this == o); }
};
// lstat: a symbolic link is itself, never what it points to.
FileId file_id(const std::string &path, bool *is_socket = nullptr);

// Removes the file at `path` only while it is `own` (device and inode): a
// file that another program put there since (a tap's socket, a restarted
// agent's, another ready file) stays.  True when it was removed.
bool remove_own_file(const std::string &path, const FileId &own);

// Whether the agent's side of connected socket `fd` may be the agent: the
// credentials the kernel recorded for it (SO_PEERCRED) against the
// library's rule.  "" when trusted, else the one line that says why not.
std::string untrusted_peer(int fd, const std::string &path);
// The same rule for the owner of the socket file at `path` (lstat).
std::string untrusted_owner(const std::string &path);

// Accepts connections on a listening socket.  When the process (or the
// system) has no descriptor left, accepting pauses for a moment instead of
// being retried at once, which would burn a core while the connection stays
// queued; it is said once, and once more when accepting works again.
// Connections queue in the socket's backlog meanwhile and are served in
// their turn.
class AcceptGate {
public:
    using Say = std::function<void(const std::string &)>;
    explicit AcceptGate(Say say) : say_(std::move(say)) {}

    // One connection (non-blocking, close-on-exec), or -1 when none is
    // waiting or none can be had now.
    int accept(int listen_fd);
    // A descriptor could not be had (errno `error`) for something the
    // connection needs: pauses like accept() itself on EMFILE or ENFILE.
    // True when `error` was one of those.
    bool out_of_descriptors(int error);
    // The poll events for the listening socket: POLLIN, or 0 while paused.
    short events() const;
    // Milliseconds until accepting resumes; -1 when it is not paused.
    int wait_ms() const;

private:
    using Clock = std::chrono::steady_clock;
    Say say_;
    Clock::time_point paused_until_{};
    bool short_ = false;  // descriptors ran out and accepting has not worked since
    long refused_ = 0;    // pauses since it was said
};

}  // namespace mcu_tools

#endif  // MCU_TOOLS_SOCKET_FILE_H
