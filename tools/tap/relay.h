// relay.h - the tap's relay: accepts applications on its listening socket,
// opens a connection to the agent for each, passes every byte on unchanged
// in both directions and writes each frame to the capture (and in words to
// standard output).
#ifndef MCU_TAP_RELAY_H
#define MCU_TAP_RELAY_H

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "capture_file.h"
#include "frame.h"
#include "frame_view.h"
#include "place.h"
#include "socket_file.h"

namespace mcu_tap {

class Relay {
public:
    // The listening socket is the keeper's: it may change, or be none
    // while the tap stands aside.  `view` chooses the frames printed in
    // words (--id, -t); the capture keeps every frame.
    Relay(Keeper &keeper, std::string listen_path, std::string agent_path, mcu_cli::CaptureFile &capture,
          bool quiet, mcu_cli::FrameView view);
    ~Relay();
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    // Relays until `stop` is set, or the keeper ends the tap.
    void run(const volatile sig_atomic_t &stop);
    void say(const std::string &line);

private:
    // One direction of one connection.
    struct Flow {
        int from = -1, to = -1;
        mcu_protocol::FrameScanner scanner;
        mcu_protocol::Bytes queued;  // read from `from`, not yet written to `to`
        bool ended = false;          // `from` has ended its stream, or `to` has gone
        bool done = false;           // ended, and the end passed on to `to`
    };
    struct Connection {
        int number = 0;
        Flow up, down;  // application -> agent, agent -> application
        bool said_closed = false;
    };

    void serve(Connection &c, Flow &f, short revents, mcu_protocol::Direction d);
    void read_from(Connection &c, Flow &f, mcu_protocol::Direction d);
    static void flush(Flow &f);
    static void pass_end(Flow &f);
    void record(const Connection &c, const mcu_protocol::Piece &piece, mcu_protocol::Direction d, int64_t stamp);
    void accept_one();
    void capture(const mcu_protocol::CaptureRecord &r);

    Keeper &keeper_;
    mcu_tools::AcceptGate gate_;
    bool ending_ = false;  // the keeper ends the tap
    std::string listen_path_;
    std::string agent_path_;
    mcu_cli::CaptureFile &capture_;
    bool quiet_;
    mcu_cli::FrameView view_;
    int next_number_ = 1;
    int64_t watched_us_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
};

}  // namespace mcu_tap

#endif  // MCU_TAP_RELAY_H
