// tool_test_support.cpp - helpers for the tools' tests.
#include "tool_test_support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "description.h"
#include "words.h"

namespace mcu_tools_test {

namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<std::string> split(const std::string &words) {
    std::istringstream in(words);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

std::string words_of(mcu_protocol::Span<mcu_protocol::Layout> layouts, const Bytes &payload) {
    const mcu_protocol::Layout *l = mcu_protocol::select_layout(layouts, payload.data(), payload.size());
    if (!l) return "";
    return mcu_protocol::format_values(*l, mcu_protocol::decode(*l, payload.data(), payload.size()));
}

}  // namespace

uint8_t command_id(const std::string &name) {
    const mcu_protocol::Command *c = mcu_protocol::find_command(name.c_str());
    EXPECT_NE(c, nullptr) << name;
    return c ? c->id : 0xFF;
}

uint8_t message_id(const std::string &name) {
    const mcu_protocol::Message *m = mcu_protocol::find_message(name.c_str());
    EXPECT_NE(m, nullptr) << name;
    return m ? m->id : 0xFF;
}

Bytes request_payload(const std::string &name, const std::string &words) {
    const mcu_protocol::Command *c = mcu_protocol::find_command(name.c_str());
    if (!c) {
        ADD_FAILURE() << "no command " << name;
        return {};
    }
    mcu_protocol::Values values;
    std::string error;
    Bytes payload;
    if (!mcu_protocol::parse_assignments(c->layouts, split(words), &values, &error) ||
        !mcu_protocol::encode_any(c->layouts, values, &payload, &error))
        ADD_FAILURE() << name << " " << words << ": " << error;
    return payload;
}

Bytes request_frame(const std::string &name, const std::string &words) {
    return mcu_protocol::app_frame(command_id(name), request_payload(name, words));
}

std::string message_words(uint8_t id, const Bytes &payload) {
    const mcu_protocol::Message *m = mcu_protocol::find_message(id);
    return m ? words_of(m->layouts, payload) : "";
}

std::string command_words(uint8_t id, const Bytes &payload) {
    const mcu_protocol::Command *c = mcu_protocol::find_command(id);
    return c ? words_of(c->layouts, payload) : "";
}

std::string test_dir() {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir = std::string(MCU_TOOLS_TEST_OUTPUT) + "/" + t->test_suite_name() + "." + t->name();
    const std::string rm = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(std::system(rm.c_str()), 0);
    return dir;
}

std::string private_socket_path() {
    static int n = 0;
    return "/tmp/mcu-agent-sim-test-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
}

Bytes random_payload(mcu_protocol::Span<mcu_protocol::Layout> layouts, const mcu_protocol::Layout &layout,
                     std::mt19937 &rng) {
    using mcu_protocol::Count;
    using mcu_protocol::Field;
    using mcu_protocol::Kind;
    const Field *counted = nullptr;
    for (const Field &f : layout.fields)
        if (f.count == Count::Field) counted = &f;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::size_t length = layout.min_length;
        std::size_t count = 0;
        if (layout.when.by == mcu_protocol::Selector::By::Length) {
            length = layout.when.value;
        } else if (counted) {
            const std::size_t per = counted->kind == Kind::Numbers ? counted->width : 1;
            count = rng() % ((layout.max_length - counted->pos) / per + 1);
            length = counted->pos + count * per;
        } else {
            length = layout.min_length + rng() % (layout.max_length - layout.min_length + 1u);
        }
        Bytes p(length);
        for (uint8_t &b : p) b = static_cast<uint8_t>(rng());
        if (counted) {
            const Field *n = mcu_protocol::find_field(layout, counted->count_field);
            for (std::size_t i = 0; i < n->width; ++i)
                p[n->pos + i] = static_cast<uint8_t>(count >> (8 * (n->width - 1 - i)));
        }
        if (layout.when.by == mcu_protocol::Selector::By::Byte && layout.when.pos < length)
            p[layout.when.pos] = layout.when.value;
        if (mcu_protocol::select_layout(layouts, p.data(), p.size()) == &layout) return p;
    }
    ADD_FAILURE() << "no payload reads through layout " << layout.name;
    return {};
}

// ---- Client ------------------------------------------------------------

Client::~Client() { close(); }

bool Client::connect(const std::string &path, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    do {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return true;
        ::close(fd_);
        fd_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (left_ms(deadline) > 0);
    return false;
}

bool Client::send(const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<mcu_protocol::Piece> Client::next(int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (auto p = scanner_.next()) return p;
        pollfd p{fd_, POLLIN, 0};
        const int rc = ::poll(&p, 1, left_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
        uint8_t buf[4096];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n <= 0) return scanner_.flush();
        scanner_.feed(buf, static_cast<std::size_t>(n));
    }
}

std::optional<mcu_protocol::Piece> Client::next_message(uint8_t id, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (auto p = next(left_ms(deadline)))
        if (p->is_frame && p->id == id) return p;
    return std::nullopt;
}

bool Client::quiet(int timeout_ms) {
    if (scanner_.buffered()) return false;
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 0;
}

void Client::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---- Process -------------------------------------------------------------

Process::Process(const std::vector<std::string> &program, const std::string &output_file)
    : output_file_(output_file) {
    // The emulator of a cross build (empty natively) goes first.
    std::vector<std::string> argv = split(MCU_TOOLS_EMULATOR);
    argv.insert(argv.end(), program.begin(), program.end());
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        const int out = ::open(output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(in[0]);
    stdin_fd_ = in[1];
}

Process::~Process() {
    close_stdin();
    if (status_ < 0 && pid_ > 0) terminate();
}

void Process::write_stdin(const std::string &text) {
    if (stdin_fd_ < 0) return;
    EXPECT_EQ(::write(stdin_fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void Process::close_stdin() {
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    stdin_fd_ = -1;
}

int Process::wait(int timeout_ms) {
    if (status_ >= 0) return status_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        int st = 0;
        if (::waitpid(pid_, &st, WNOHANG) == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (left_ms(deadline) > 0);
    return -1;
}

int Process::terminate() {
    if (status_ >= 0) return status_;
    ::kill(pid_, SIGTERM);
    const int st = wait(5000);
    if (st >= 0) return st;
    ::kill(pid_, SIGKILL);
    return wait(5000);
}

bool Process::wait_for_output(const std::string &needle, int timeout_ms) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    do {
        if (output().find(needle) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (left_ms(deadline) > 0);
    return false;
}

std::string Process::output() const { return read_file(output_file_); }

std::string PanelUrl::cookie() const {
    return "Cookie: mcu_panel_" + std::to_string(port) + "=" + token + "\r\n";
}

bool wait_for_panel(const Process &sim, PanelUrl *url) {
    const std::string said = "panel: http://127.0.0.1:";
    if (!sim.wait_for_output(said)) return false;
    const std::string out = sim.output();
    const std::size_t at = out.find(said) + said.size();
    url->port = static_cast<uint16_t>(std::atoi(out.c_str() + at));
    const std::size_t end = out.find('\n', at), token = out.find("?token=", at);
    url->token = token < end ? out.substr(token + 7, end - token - 7) : "";
    return url->port != 0;
}

std::string http_exchange(uint16_t port, const std::string &request, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[4096];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, left_ms(deadline)) != 1) break;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    if (fd >= 0) ::close(fd);
    return answer;
}

std::string panel_post(const PanelUrl &url, const std::string &path, const std::string &body,
                       const std::string &headers) {
    return http_exchange(url.port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(url.port) +
                                       "\r\n" + url.cookie() + headers +
                                       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                                       std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

std::vector<std::string> sim_command(const std::string &socket, const std::vector<std::string> &extra) {
    std::vector<std::string> argv = {MCU_AGENT_SIM_PATH, "--socket", socket};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

}  // namespace mcu_tools_test
