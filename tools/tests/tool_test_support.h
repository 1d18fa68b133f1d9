// tool_test_support.h - helpers for the tools' tests: building application
// frames from words, a client of the virtual MCU's socket, and child
// processes whose output goes to a file.
#ifndef MCU_TOOLS_TEST_SUPPORT_H
#define MCU_TOOLS_TEST_SUPPORT_H

#include <sys/types.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec.h"
#include "frame.h"

namespace mcu_tools_test {

using mcu_protocol::Bytes;

// The payload of command `name` with "field=value" words, e.g.
// request_payload("MCU_CMD_SET_AUDIO_SOURCE", "audio_source=AUDIO_SOURCE_AUX").
// Fails the running test when the words do not fit.
Bytes request_payload(const std::string &name, const std::string &words = "");
Bytes request_frame(const std::string &name, const std::string &words = "");
uint8_t command_id(const std::string &name);
uint8_t message_id(const std::string &name);

// The fields of a payload in words, through the layout the payload selects
// ("" when no layout matches).
std::string message_words(uint8_t id, const Bytes &payload);
std::string command_words(uint8_t id, const Bytes &payload);

// A directory for one test's files, empty at the start of the test.
std::string test_dir();
// A socket path of this process's own.
std::string private_socket_path();
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);

// An application connection to an agent socket, speaking raw frames.
class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool connect(const std::string &path, int timeout_ms = 5000);
    bool send(const Bytes &bytes);
    // The next piece the agent sent; nothing on time-out or end of stream.
    std::optional<mcu_protocol::Piece> next(int timeout_ms = 3000);
    // The next frame with message id `id`, skipping others.
    std::optional<mcu_protocol::Piece> next_message(uint8_t id, int timeout_ms = 3000);
    // True when nothing arrives within the time.
    bool quiet(int timeout_ms = 200);
    void close();
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    mcu_protocol::FrameScanner scanner_;
};

// A child process with standard input on a pipe and standard output and
// error in a file; in a cross build it runs through the emulator.
class Process {
public:
    Process(const std::vector<std::string> &program, const std::string &output_file);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    void write_stdin(const std::string &text);
    void close_stdin();
    // Exit status (or 128 + signal); -1 when it does not end in time.
    int wait(int timeout_ms = 10000);
    int terminate();
    // Waits until the output holds `needle`.
    bool wait_for_output(const std::string &needle, int timeout_ms = 5000) const;
    std::string output() const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    std::string output_file_;
    int status_ = -1;
};

// A payload of `layout` with random bytes that reads through `layout`
// among `layouts`: the selector's byte or length is set, and a run counted
// by a field gets a random count that its field states.
Bytes random_payload(mcu_protocol::Span<mcu_protocol::Layout> layouts, const mcu_protocol::Layout &layout,
                     std::mt19937 &rng);

// Where a virtual MCU started with --http serves its panel, as it said on
// starting ("panel: http://127.0.0.1:PORT/?token=TOKEN"; no token from a
// build that printed none).
struct PanelUrl {
    uint16_t port = 0;
    std::string token;
    std::string cookie() const;  // "Cookie: ...\r\n", the header the page sends
};
bool wait_for_panel(const Process &sim, PanelUrl *url);
// One HTTP exchange with 127.0.0.1:`port`: `request` as it is, then what
// comes until the server closes or `timeout_ms` passes.
std::string http_exchange(uint16_t port, const std::string &request, int timeout_ms = 3000);
// A form POST to the panel as its page sends it (with the token's cookie),
// and `headers` ("Name: value\r\n" each); the whole answer.
std::string panel_post(const PanelUrl &url, const std::string &path, const std::string &body,
                       const std::string &headers = "");

// The command line of mcu-agent-sim on `socket`, with extra arguments.
std::vector<std::string> sim_command(const std::string &socket, const std::vector<std::string> &extra = {});

}  // namespace mcu_tools_test

#endif  // MCU_TOOLS_TEST_SUPPORT_H
