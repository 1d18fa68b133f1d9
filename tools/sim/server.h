// server.h - the virtual MCU agent's socket side: listens on the agent
// path, serves any number of applications at once from one poll loop with
// non-blocking sockets, and ties the frames to the virtual MCU, the
// console, the scenario, the capture file and the replay.
//
// Every frame in either direction is logged in words.  An application's
// frame is checked (lead bytes, checksum, known command, the length that
// command takes) before the MCU sees it; a bad one is flagged and dropped.
// The loop always reads: an application that reads slowly leaves the
// server's frames waiting in that client's output queue, never the server
// blocked on a write while the application waits for it to read.
#ifndef MCU_SIM_SERVER_H
#define MCU_SIM_SERVER_H

#include <poll.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "capture_file.h"
#include "console.h"
#include "line_editor.h"
#include "replay.h"
#include "scenario.h"
#include "socket_file.h"
#include "state.h"
#include "virtual_mcu.h"

namespace mcu_sim {

// The most of a state file or a scenario file that is read: far beyond
// any written by hand or by --print-state --json.
constexpr std::size_t kMaxInputFileBytes = 1u << 20;

struct Options {
    std::string socket_path = "/tmp/mcu_agent";
    std::string state_file;
    std::string scenario_file;
    std::string capture_file;
    mcu_cli::CaptureLimits capture_limits;  // --capture-size, --capture-files
    std::string replay_file;
    ReplayOptions replay;
    bool console = true;          // read commands from standard input
    bool version_request = true;  // ask every new application for its version
    int version_timeout_ms = 2000;
    std::string http;             // --http [ADDRESS:]PORT: the web panel; empty for none
    std::string ready_file;       // written once serving begins, removed at the end
    bool strict = false;          // exit 1 when anything was flagged or expected in vain
};

// Another guest of the poll loop (the web panel).  Its descriptors are
// polled beside the sockets and it is served after every wake-up, on the
// loop's thread: it may touch the state and call the console like the
// console itself.  It sees every line the server logs and every record the
// capture file would get.
class LoopGuest {
public:
    virtual ~LoopGuest() = default;
    virtual void add_poll_fds(std::vector<pollfd> *fds) = 0;
    virtual int timeout_ms() = 0;  // -1: no wish
    virtual void serve() = 0;
    virtual void logged(double seconds, const std::string &line) = 0;
    virtual void captured(const mcu_protocol::CaptureRecord &record) = 0;
};

// A connected application as the panel shows it.
struct ClientView {
    int number = 0;
    int64_t connected_ms = 0;     // how long ago
    std::size_t queued = 0;       // bytes waiting to be read by it
    bool replaying = false;
    std::string version;          // the version request: "not asked", "asked", "answered in 3 ms", ...
};

// Where a running scenario has got to.
struct ScenarioProgress {
    std::string name;
    std::size_t done = 0, total = 0;
    bool started = false;
};

// What the summary line at exit counts.
struct Tally {
    int applications = 0;
    long app_frames = 0;
    long agent_frames = 0;
    long flagged = 0;  // bad application frames, wrong version answers, requests a replay could not answer
    int expectations = 0;
    int expectations_failed = 0;
    int versions_unanswered = 0;
};

// A reason the program cannot start: on standard error, where a script
// sees it, and in the log on standard output too when that is another
// file, so that a job that keeps only the log still reads why.
void report_startup_error(const std::string &why);

class Server : public ConsoleTarget {
public:
    Server(const Options &options, State &state);
    ~Server() override;

    // Loads and checks the scenario and the replay, opens the capture and
    // the socket.  0 when serving can begin; otherwise the exit status (2
    // for a scenario or replay that is wrong, 1 when a file or the socket
    // cannot be had), the reason said on standard error.
    int start();
    // Serves until `quit`, SIGINT or SIGTERM.  Returns the exit status.
    // The ready file, when asked for, appears as it begins.
    int run();
    const Tally &tally() const { return tally_; }

    // ConsoleTarget
    State &state() override { return state_; }
    VirtualMcu &mcu() override { return mcu_; }
    void broadcast(const Outgoing &message) override;
    void broadcast_raw(const mcu_protocol::Bytes &bytes) override;
    void ask_version(uint32_t type) override;
    bool start_replay(const std::string &file, bool fast, std::string *error) override;
    std::string describe_clients() override;
    void quit() override { quitting_ = true; }
    void say(const std::string &line) override;

    // The panel's hooks.  A guest registered here is served by run().
    void set_guest(LoopGuest *guest) { guest_ = guest; }
    std::vector<ClientView> client_views() const;
    // Replaces the scenario with `text`, sent from the panel, and starts it
    // now.  Its replay lines may name only the --replay file: the panel
    // never has the virtual MCU open a file by a name it was sent.
    bool start_scenario(const std::string &text, const std::string &name, std::string *error);
    bool replay_allowed_from_panel(const std::string &file) const;
    std::string panel_replay_refusal(const std::string &file) const;
    ScenarioProgress scenario_progress() const;
    const Options &options() const { return options_; }

private:
    struct Client;

    void log(const std::string &line);
    void log_client(const Client &c, const std::string &line);
    void accept_clients();
    void read_client(Client &c);
    void write_client(Client &c);
    void handle_piece(Client &c, const mcu_protocol::Piece &piece);
    void send_to(Client &c, const Outgoing &message);
    void send_raw_to(Client &c, const mcu_protocol::Bytes &bytes);
    void capture(const mcu_protocol::CaptureRecord &record);
    void drop_client(std::size_t index, const std::string &why);
    void ask_version_of(Client &c, uint32_t type);
    void run_timers();
    void feed_replay(Client &c);
    void run_scenario(int64_t now);
    // The current expectation: met, failed or still open (false).
    bool settle_expectation(const ScenarioLine &line, int64_t now);
    int poll_timeout_ms() const;
    void read_console();
    void flag(const Client &c, const std::string &line);
    int finish(int status);

    Options options_;
    State &state_;
    VirtualMcu mcu_;
    int listen_fd_ = -1;
    mcu_tools::FileId socket_id_;  // the socket this server bound, the one it removes at the end
    mcu_tools::AcceptGate accept_gate_;
    mcu_tools::FileId ready_written_;  // the ready file, removed at the end if still there
    std::vector<std::unique_ptr<Client>> clients_;
    int next_client_number_ = 1;
    bool quitting_ = false;
    bool console_open_ = false;
    std::string console_buffer_;
    LineEditor editor_;  // the console on a terminal
    mcu_cli::CaptureFile capture_;
    std::vector<ScenarioLine> scenario_;
    std::size_t scenario_next_ = 0;
    int64_t scenario_start_ms_ = -1;  // set when the first application connects
    int64_t step_ready_ms_ = 0;       // the next line runs no earlier
    int64_t step_since_ms_ = 0;       // when the line before the current one ran
    bool expecting_ = false;          // the current line is an expectation
    int64_t expect_deadline_ms_ = 0;
    std::vector<SeenFrame> seen_;     // recent application frames, for expectations
    uint64_t next_seq_ = 0;           // the number the next frame gets
    uint64_t since_seq_ = 0;          // the current expectation looks at frames from here
    std::unique_ptr<ReplayScript> replay_script_;  // --replay: every new client gets it
    std::vector<std::unique_ptr<ReplayScript>> console_replays_;
    Tally tally_;
    int64_t start_ms_ = 0;
    std::string scenario_name_;
    LoopGuest *guest_ = nullptr;
};

}  // namespace mcu_sim

#endif  // MCU_SIM_SERVER_H
