// place.h - taking the agent's place and giving it back, however the tap
// ends.  The tap never unlinks or renames a path unless what lies there is
// the socket it put there itself (same device and inode), so an agent that
// restarted, or another tap, keeps what it holds.
#ifndef MCU_TAP_PLACE_H
#define MCU_TAP_PLACE_H

#include <sys/types.h>
#include <sys/un.h>

#include <functional>
#include <string>

namespace mcu_tap {

// Which file a path names: device and inode, zero when nothing is there.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool present() const { return ino != 0; }
    bool operator==(const FileId &o) const { return present() && dev == o.dev && ino == o.ino; }
    bool operator!=(const FileId &o) const { return !(*this == o); }
};
FileId file_id(const std::string &path, bool *is_socket = nullptr);

// The address of a socket path; false when the path is too long for one.
bool unix_address(const std::string &path, sockaddr_un *addr);

// Whether something accepts connections at a socket path.  Probing opens
// a connection and closes it at once: the program behind it sees a client
// that leaves without a word, so it is done only where the answer matters.
enum class Liveness { Absent, NotSocket, Dead, Live };
Liveness probe(const std::string &path);

using Say = std::function<void(const std::string &)>;

// Exit statuses of the tap besides 0, 1 and 2 (usage).
constexpr int kExitPathHeld = 3;  // another tap, or another program, holds the listen path

// What the tap put where, enough to put everything back.
struct Placement {
    std::string listen_path;   // where applications connect: the tap's socket while it runs
    std::string agent_path;    // where the tap reaches the agent
    std::string staging_path;  // where the tap's socket is bound before it takes listen_path
    FileId tap_socket;         // the tap's own socket
    FileId agent_socket;       // the agent's socket that the tap moved; none with --agent
};

// Before the tap moves anything: looks at PATH and PATH.tapped and puts
// right what a tap that died left behind (the agent's live socket at
// PATH.tapped, a dead socket at PATH; or a dead PATH.tapped beside a live
// agent).  Refuses, with the exit status, when another tap runs there or
// no agent is to be found.  0 when the tap may take the agent's place.
int check_agent_place(const std::string &listen_path, const std::string &agent_path, const Say &say);

// With --agent: refuses a listen path at which something accepts
// connections (0 when the path is free, or holds a dead socket).
int check_listen_path(const std::string &listen_path, const Say &say);

// Moves the agent's socket from listen_path to agent_path and puts the
// tap's (bound at staging_path) in its place, so that applications always
// find one of the two.  With no agent socket to move it only puts the
// tap's socket in place.
bool take_place(const Placement &p, const Say &say);

// Puts back whatever of the placement is still as the tap left it: the
// agent's socket to listen_path, the tap's socket files removed.  A path
// that someone else has taken meanwhile is left alone, and said so.
void give_back(const Placement &p, const Say &say);

// A child process that gives the place back when the tap ends, whatever
// ends it (a signal that cannot be caught, a crash, a closed terminal):
// it waits on a pipe whose other end only the tap holds, and the kernel
// closes that end when the tap's process goes.
class Guardian {
public:
    Guardian() = default;
    ~Guardian();
    Guardian(const Guardian &) = delete;
    Guardian &operator=(const Guardian &) = delete;

    // Forks the guardian, before the tap opens anything it must not keep
    // (the capture, the listening socket).  It knows p's paths.
    bool start(const Placement &p);
    // Tells it which files are the tap's and the agent's: from then on it
    // gives the place back when the tap ends.
    void arm(const Placement &p);
    // Lets the guardian give the place back and waits for it.  False when
    // it did not do its work (it was killed, or never started): then the
    // caller gives the place back itself.
    bool finish();

private:
    pid_t pid_ = -1;
    int pipe_fd_ = -1;
};

}  // namespace mcu_tap

#endif  // MCU_TAP_PLACE_H
