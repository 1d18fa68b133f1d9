// place.h - taking the agent's place and giving it back, however the tap
// ends.  The tap never unlinks or renames a path unless what lies there is
// the socket it put there itself (same device and inode), so an agent that
// restarted, or another tap, keeps what it holds.
#ifndef MCU_TAP_PLACE_H
#define MCU_TAP_PLACE_H

#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <functional>
#include <string>

#include "socket_file.h"

namespace mcu_tap {

using mcu_tools::file_id;
using mcu_tools::FileId;

// The address of a socket path; false when the path is too long for one.
bool unix_address(const std::string &path, sockaddr_un *addr);

// Whether something accepts connections at a socket path.  Probing opens
// a connection and closes it at once: the program behind it sees a client
// that leaves without a word, so it is done only where the answer matters.
enum class Liveness { Absent, NotSocket, Dead, Live };
// With `untrusted`, a live peer is also checked against the library's rule
// for the agent: "" when trusted, else the line that says why not.
Liveness probe(const std::string &path, std::string *untrusted = nullptr);

// Whether some process listens on the socket whose file is `id`, asked of
// the kernel (sock_diag) without connecting: the agent sees nothing.
// Unknown where the kernel does not tell.
enum class Listening { No, Yes, Unknown };
Listening listening(const FileId &id);

// Where the kernel does not answer listening(): the socket inode (not the
// file's) of the one listening socket that was bound at `path`, from
// /proc/net/unix (0 when none, or more than one), and whether it still
// listens.  The name a socket was bound to stays when its file is renamed.
unsigned long listener_bound_at(const std::string &path);
bool listener_exists(unsigned long socket_inode);

// Whether the socket at `path` may be taken for the agent's: its file's
// owner and its live peer pass the library's rule.  "" when so, else why
// not.  It connects once, like probe().
std::string agent_refusal(const std::string &path);

using Say = std::function<void(const std::string &)>;

// Exit statuses of the tap besides 0, 1 and 2 (usage).
constexpr int kExitPathHeld = 3;  // another tap, or another program, holds the listen path

// What the tap put where, enough to put everything back.
struct Placement {
    std::string listen_path;   // where applications connect: the tap's socket while it runs
    std::string agent_path;    // where the tap reaches the agent
    std::string staging_path;  // where the tap's socket is bound before it takes listen_path, and waits while
                               // the tap steps aside: a name nobody can guess
    FileId tap_socket;         // the tap's own socket
    FileId agent_socket;       // the agent's socket that the tap moved; none with --agent
};

// Before the tap moves anything: looks at PATH and PATH.tapped and puts
// right what a tap that died left behind (the agent's live socket at
// PATH.tapped, a dead socket at PATH; or a dead PATH.tapped beside a live
// agent).  Refuses, with the exit status, when another tap runs there or
// no agent is to be found.  0 when the tap may take the agent's place.
int check_agent_place(const std::string &listen_path, const std::string &agent_path, const Say &say);

// Refuses (1, said) an agent socket that the library's rule does not
// trust, or at which nothing listens.
int check_agent(const std::string &agent_path, const Say &say);

// With --agent: refuses a listen path at which something accepts
// connections (0 when the path is free, or holds a dead socket).
int check_listen_path(const std::string &listen_path, const Say &say);

// A name beside `listen_path` for the tap's socket that another user
// cannot guess (and so cannot occupy first).
std::string staging_name(const std::string &listen_path);

// Binds the tap's listening socket at p.staging_path with the mode and
// group of the agent's socket at `like` (applications that may reach the
// agent may reach the tap), and records its file in p.tap_socket.  -1 with
// the reason.
int bind_tap_socket(Placement *p, const std::string &like, std::string *error);

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
    // gives the place back when the tap ends.  Told again whenever they
    // change (the tap steps aside, or follows a restarted agent).
    void arm(const Placement &p);
    // Lets the guardian give the place back and waits for it.  False when
    // it did not do its work (it was killed, or never started): then the
    // caller gives the place back itself.
    bool finish();

private:
    pid_t pid_ = -1;
    int pipe_fd_ = -1;
};

// Keeps the tap in the agent's place while an agent is there to reach.
// When the agent goes (it crashed, or stopped), the tap steps aside: its
// socket leaves the listen path (the agent's dead socket goes back there),
// so that a restarting agent can bind the path and applications find no
// tap that cannot reach an agent.  When an agent the library's rule trusts
// listens there again, the tap moves its socket aside and takes the place
// again.  An agent that does not come back within kAgentReturn ends the tap.
class Keeper {
public:
    static constexpr std::chrono::seconds kAgentReturn{60};

    // `listen_fd` is the tap's listening socket, bound at p->staging_path
    // and already in place; the keeper closes it.  `move`: the tap took
    // the agent's own path (no --agent).
    Keeper(Placement *p, Guardian *guardian, int listen_fd, bool move, Say say);
    ~Keeper();
    Keeper(const Keeper &) = delete;
    Keeper &operator=(const Keeper &) = delete;

    // The listening socket while the tap is in place; -1 while it stands
    // aside (applications that connect meanwhile wait in its queue).
    int listen_fd() const { return aside_ ? -1 : listen_fd_; }
    // Looks at both paths: called about twice a second, and at once with
    // `refused` when a connection to the agent failed.  False when the tap
    // is to end.
    bool watch(bool refused = false);

private:
    void step_aside();
    void come_back(const FileId &agent);
    bool tap_socket_ready();

    Placement *p_;
    Guardian *guardian_;
    int listen_fd_;
    bool move_;
    Say say_;
    FileId agent_;     // the agent's socket being tapped
    FileId seen_;      // what lay at the listen path when last looked at
    FileId refused_;   // a socket already refused as not the agent's
    unsigned long agent_listener_;  // its socket inode in /proc/net/unix, 0 when not known
    std::string like_; // whose mode and group the tap's socket takes
    bool aside_ = false;
    std::chrono::steady_clock::time_point aside_since_;
};

}  // namespace mcu_tap

#endif  // MCU_TAP_PLACE_H
