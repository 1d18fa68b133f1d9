// fake_agent.cpp - the fake agent: a listening socket, a thread that reads
// the applications' frames and writes what the test sends, and the virtual
// MCU's model (its state, console commands and scenario expectations)
// behind one lock.
#include "mcu_agent_testing.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "console.h"
#include "description.h"
#include "frame.h"
#include "scenario.h"
#include "socket_file.h"
#include "state.h"
#include "virtual_mcu.h"
#include "words.h"

namespace mcu_agent {
namespace testing {

namespace {

using Clock = std::chrono::steady_clock;
using mcu_protocol::Bytes;

constexpr std::size_t kReadChunk = 4096;

int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::string ms_words(std::chrono::milliseconds ms) { return std::to_string(ms.count()) + " ms"; }

bool is_console_command(const std::string &word) {
    static const char *const commands[] = {"key", "power", "turn",    "hvac",    "send", "raw",  "garbage", "version",
                                           "get", "set",   "replay",  "clients", "help", "quit", "exit"};
    for (const char *c : commands)
        if (word == c) return true;
    return false;
}

// A line as inject takes it, made a console line: a HARD_KEY_ID member
// alone is a key press, a message name first is "send".
std::string console_line(const std::string &line) {
    const std::vector<std::string> w = mcu_sim::split_words(line);
    if (w.empty() || is_console_command(w[0])) return line;
    uint32_t ignored = 0;
    if (w.size() == 1 && mcu_protocol::enum_value(*mcu_protocol::find_enumeration("HARD_KEY_ID"), w[0].c_str(), &ignored))
        return "key " + line;
    std::string unknown;
    if (mcu_protocol::message_named(w[0], &unknown)) return "send " + line;
    return line;
}

// Whether a console line sends anything (so that it needs an application).
bool sends(const std::string &line) {
    const std::vector<std::string> w = mcu_sim::split_words(line);
    return !w.empty() && w[0] != "get" && w[0] != "set" && w[0] != "help" && w[0] != "clients";
}

Command command_of(const mcu_sim::SeenFrame &f, std::string message) {
    const mcu_protocol::Command *c = mcu_protocol::find_command(f.id);
    std::vector<Command::Field> fields;
    const mcu_protocol::Layout *layout =
        c ? mcu_protocol::select_layout(c->layouts, f.payload.data(), f.payload.size()) : nullptr;
    if (layout) {
        const mcu_protocol::Values values = mcu_protocol::decode(*layout, f.payload.data(), f.payload.size());
        for (std::size_t i = 0; i < values.size(); ++i)
            fields.push_back({values[i].name, mcu_protocol::format_value(layout->fields[i], values[i]), values[i].number});
    }
    return Command(std::move(message), f.id, c ? c->name : "", f.payload, std::move(fields));
}

}  // namespace

std::string Command::field(const std::string &name) const {
    for (const Field &f : fields_)
        if (f.name == name) return f.words;
    return "";
}

uint32_t Command::number(const std::string &name, uint32_t otherwise) const {
    for (const Field &f : fields_)
        if (f.name == name) return f.number;
    return otherwise;
}

struct FakeAgent::Impl {
    struct Connection {
        int fd = -1;
        int number = 0;
        mcu_protocol::FrameScanner scanner;
        Bytes out;
        ~Connection() {
            if (fd >= 0) ::close(fd);
        }
    };

    // The virtual MCU's console, acting for the test: what it sends goes
    // to `only` (an answer) or to every application (an injection).
    class Console : public mcu_sim::ConsoleTarget {
    public:
        Console(Impl &impl, Connection *only) : impl_(impl), only_(only) {}
        mcu_sim::State &state() override { return impl_.state; }
        mcu_sim::VirtualMcu &mcu() override { return impl_.mcu; }
        void broadcast(const mcu_sim::Outgoing &message) override {
            said("agent > " + mcu_protocol::frame_words(mcu_protocol::Direction::Agent, message.id, message.payload));
            impl_.log_line(said_.back());
            send(mcu_protocol::agent_frame(message.id, message.payload));
        }
        void broadcast_raw(const Bytes &bytes) override {
            said("agent > " + std::to_string(bytes.size()) + " bytes outside any frame: " + mcu_protocol::hex(bytes));
            impl_.log_line(said_.back());
            send(bytes);
        }
        void ask_version(uint32_t type) override {
            mcu_sim::Outgoing out;
            std::string error;
            if (impl_.mcu.build(mcu_sim::VirtualMcu::message_id("MCU_MSG_GET_VERSION_INFO"),
                                {mcu_protocol::number_value("type", type)}, &out, &error))
                broadcast(out);
            else
                said("version: " + error);
        }
        bool start_replay(const std::string &, bool, std::string *error) override {
            *error = "not in the fake agent: inject the lines instead";
            return false;
        }
        std::string describe_clients() override { return std::to_string(impl_.connections.size()) + " connected"; }
        void quit() override { said("quit: the fake agent ends with the test"); }
        void say(const std::string &line) override { said(line); }

        std::string words() const {
            std::string s;
            for (const std::string &l : said_) s += (s.empty() ? "" : "\n") + l;
            return s;
        }

    private:
        void said(const std::string &line) { said_.push_back(line); }
        void send(const Bytes &bytes) {
            if (only_) {
                impl_.send_to(*only_, bytes);
                return;
            }
            for (auto &c : impl_.connections) impl_.send_to(*c, bytes);
        }
        Impl &impl_;
        Connection *only_;
        std::vector<std::string> said_;
    };

    explicit Impl(const Options &o) : options(o), mcu(state), gate([this](const std::string &l) { log_line(l); }) {}

    // ---- under `mutex` ----------------------------------------------------

    void log_line(const std::string &line) { lines.push_back(line); }

    // Runs a console line on a copy of the state, sending nothing (the
    // check of a scenario's lines); false with why when it fails.
    bool check_line(const std::string &line, std::string *error) const {
        mcu_sim::ScenarioLine l;
        l.command = line;
        l.line_number = 1;
        if (mcu_sim::check_scenario({l}, state, error)) return true;
        error->erase(0, error->find(": ") + 2);  // "line 1: "
        return false;
    }

    void wake() {
        const char b = 1;
        (void)!::write(wake_pipe[1], &b, 1);
    }

    bool listen_at_path(std::string *error) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) {
            *error = "socket path too long: " + path;
            return false;
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
            *error = "cannot listen on " + path + ": " + std::strerror(errno);
            if (fd >= 0) ::close(fd);
            return false;
        }
        listen_fd = fd;
        socket_file = mcu_tools::file_id(path);
        wake();
        return true;
    }

    void stop_listening() {
        if (listen_fd < 0) return;
        ::close(listen_fd);
        listen_fd = -1;
        mcu_tools::remove_own_file(path, socket_file);
        wake();
    }

    // Takes every connection waiting in the backlog: one that a client's
    // connect() completed before a call of the test is served by it.
    void accept_pending() {
        while (listen_fd >= 0) {
            const int fd = gate.accept(listen_fd);
            if (fd < 0) break;
            auto c = std::make_unique<Connection>();
            c->fd = fd;
            c->number = ++connection_count;
            log_line("connection " + std::to_string(c->number) + " opened");
            connections.push_back(std::move(c));
            changed.notify_all();
            wake();
        }
    }

    void close_connection(std::size_t i, const std::string &why) {
        log_line("connection " + std::to_string(connections[i]->number) + " closed: " + why);
        connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
        changed.notify_all();
    }

    void drop_all(const std::string &why) {
        while (!connections.empty()) close_connection(0, why);
        wake();
    }

    void send_to(Connection &c, const Bytes &bytes) {
        c.out.insert(c.out.end(), bytes.begin(), bytes.end());
        flush(c);
        if (!c.out.empty()) wake();
    }

    // False when the connection failed.
    bool flush(Connection &c) {
        while (!c.out.empty()) {
            const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            c.out.erase(c.out.begin(), c.out.begin() + n);
        }
        return true;
    }

    // False when the application closed the connection or it failed.
    bool read_from(Connection &c) {
        uint8_t buffer[kReadChunk];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
            if (n == 0) return false;
            c.scanner.feed(buffer, static_cast<std::size_t>(n));
            while (auto piece = c.scanner.next()) handle(c, *piece);
        }
    }

    void handle(Connection &c, const mcu_protocol::Piece &piece) {
        const std::vector<std::string> problems = mcu_protocol::app_frame_problems(piece);
        if (!problems.empty()) {
            std::string line = mcu_protocol::piece_words(piece);
            if (piece.is_frame && piece.direction == mcu_protocol::Direction::Agent) line += " !" + problems.front();
            log_line(line);
            return;
        }
        log_line(mcu_protocol::piece_words(piece));
        seen.push_back({next_seq++, now_ms(), piece.id, piece.payload});
        changed.notify_all();
        const auto a = answers.find(piece.id);
        if (a != answers.end()) {
            Console console(*this, &c);
            if (!mcu_sim::run_console_line(console, a->second)) log_line("!answer: " + console.words());
            return;
        }
        if (piece.id == version_request && options.answer_version)
            for (const mcu_sim::Outgoing &o : mcu.handle(piece.id, piece.payload).frames) {
                log_line("agent > " + mcu_protocol::frame_words(mcu_protocol::Direction::Agent, o.id, o.payload));
                send_to(c, mcu_protocol::agent_frame(o.id, o.payload));
            }
    }

    // The first frame after the one the last expectation was met by that
    // meets `e`, waiting for it up to `within`; the next expectation looks
    // after it.  Null when none came.
    const mcu_sim::SeenFrame *wait_for(const mcu_sim::Expectation &e, std::chrono::milliseconds within,
                                       std::unique_lock<std::mutex> &lock) {
        const auto deadline = Clock::now() + within;
        for (;;) {
            for (const mcu_sim::SeenFrame &f : seen)
                if (f.seq >= since_seq && mcu_sim::expectation_met(e, f.id, f.payload)) {
                    since_seq = f.seq + 1;
                    return &f;
                }
            if (Clock::now() >= deadline) return nullptr;
            changed.wait_until(lock, deadline);
        }
    }

    // ---- the thread -------------------------------------------------------

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        std::vector<pollfd> fds;
        std::vector<int> numbers;  // the connection each entry after the first two is
        while (!stopping) {
            fds.assign({{wake_pipe[0], POLLIN, 0}, {listen_fd, gate.events(), 0}});
            numbers.clear();
            for (const auto &c : connections) {
                const short events = static_cast<short>((stalled ? 0 : POLLIN) | (c->out.empty() ? 0 : POLLOUT));
                // A stalled connection with nothing to write is left out:
                // its hang-up would wake poll again and again.
                fds.push_back({events ? c->fd : -1, events, 0});
                numbers.push_back(c->number);
            }
            const int wait = gate.wait_ms() >= 0 ? gate.wait_ms() : 1000;
            lock.unlock();
            const int ready = ::poll(fds.data(), fds.size(), wait);
            lock.lock();
            if (stopping) break;
            if (ready < 0) continue;
            char drain[64];
            if (fds[0].revents) (void)!::read(wake_pipe[0], drain, sizeof drain);
            accept_pending();
            for (std::size_t k = 2; k < fds.size(); ++k) {
                if (!fds[k].revents) continue;
                // Connections closed while the lock was free are gone; the
                // number tells a descriptor reused since from the one polled.
                std::size_t i = 0;
                while (i < connections.size() && connections[i]->number != numbers[k - 2]) ++i;
                if (i == connections.size()) continue;
                Connection &c = *connections[i];
                if ((fds[k].revents & POLLOUT) && !flush(c)) {
                    close_connection(i, std::string("write failed: ") + std::strerror(errno));
                    continue;
                }
                if (!stalled && (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) && !read_from(c))
                    close_connection(i, "closed by the application");
            }
        }
    }

    Options options;
    std::string directory, path, setup_error;
    bool had_environment = false;
    std::string previous_environment;
    int wake_pipe[2] = {-1, -1};
    int listen_fd = -1;
    mcu_tools::FileId socket_file;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool stalled = false;
    std::vector<std::unique_ptr<Connection>> connections;
    int connection_count = 0;
    mcu_sim::State state;
    mcu_sim::VirtualMcu mcu;
    mcu_tools::AcceptGate gate;
    std::vector<mcu_sim::SeenFrame> seen;
    uint64_t next_seq = 0;
    uint64_t since_seq = 0;  // the next expectation looks at frames from here
    std::map<uint8_t, std::string> answers;
    std::vector<std::string> lines;
    const uint8_t version_request = mcu_sim::VirtualMcu::command_id("MCU_CMD_GET_VERSION_INFO");
};

FakeAgent::FakeAgent() : FakeAgent(Options()) {}

FakeAgent::FakeAgent(const Options &options) : impl_(std::make_unique<Impl>(options)) {
    Impl &d = *impl_;
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mcu-fake-agent.XXXXXX";
    if (!::mkdtemp(pattern.data())) {  // mode 0700
        d.setup_error = "cannot make a directory " + pattern + ": " + std::strerror(errno);
        return;
    }
    d.directory = pattern;
    d.path = d.directory + "/agent";
    if (::pipe2(d.wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        d.setup_error = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!d.listen_at_path(&d.setup_error)) return;
    }
    if (options.set_environment) {
        const char *before = std::getenv("MCU_AGENT_SOCKET");
        d.had_environment = before != nullptr;
        if (before) d.previous_environment = before;
        ::setenv("MCU_AGENT_SOCKET", d.path.c_str(), 1);
    }
    d.thread = std::thread([&d] { d.run(); });
}

FakeAgent::~FakeAgent() {
    Impl &d = *impl_;
    if (d.thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            d.stopping = true;
            d.wake();
        }
        d.thread.join();
        if (d.options.set_environment) {
            if (d.had_environment)
                ::setenv("MCU_AGENT_SOCKET", d.previous_environment.c_str(), 1);
            else
                ::unsetenv("MCU_AGENT_SOCKET");
        }
    }
    d.connections.clear();
    d.stop_listening();
    for (int fd : d.wake_pipe)
        if (fd >= 0) ::close(fd);
    if (!d.directory.empty()) ::rmdir(d.directory.c_str());
}

Outcome FakeAgent::ready() const {
    if (!impl_->setup_error.empty()) return Outcome(false, "fake agent: " + impl_->setup_error);
    return Outcome(true, "fake agent listening on " + impl_->path);
}

const std::string &FakeAgent::socket_path() const { return impl_->path; }

Outcome FakeAgent::wait_connected(std::chrono::milliseconds within) {
    if (!ready()) return ready();
    Impl &d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    d.accept_pending();
    if (!d.changed.wait_for(lock, within, [&] { return !d.connections.empty(); }))
        return Outcome(false, "no application connected to " + d.path + " within " + ms_words(within));
    return Outcome(true, std::to_string(d.connections.size()) + " connected");
}

int FakeAgent::connections() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->accept_pending();
    return static_cast<int>(impl_->connections.size());
}

Outcome FakeAgent::inject(const std::string &text) {
    if (!ready()) return ready();
    Impl &d = *impl_;
    const std::string line = console_line(text);
    std::unique_lock<std::mutex> lock(d.mutex);
    // A mistake in the line is said as such, without waiting for an
    // application first.
    std::string mistake;
    if (!d.check_line(line, &mistake)) return Outcome(false, "inject " + text + ": " + mistake);
    d.accept_pending();
    if (sends(line) && !d.changed.wait_for(lock, std::chrono::seconds(1), [&] { return !d.connections.empty(); }))
        return Outcome(false, "inject " + text + ": no application is connected");
    Impl::Console console(d, nullptr);
    const bool ok = mcu_sim::run_console_line(console, line);
    if (!ok) d.log_line("!inject " + text + ": " + console.words());
    return Outcome(ok, console.words());
}

Command FakeAgent::expect(const std::string &command, std::chrono::milliseconds within) {
    if (!ready()) return Command(false, ready().message());
    mcu_sim::Expectation e;
    std::string error;
    if (!mcu_sim::parse_expected_command(mcu_sim::split_words(command), &e, &error)) return Command(false, error);
    Impl &d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (const mcu_sim::SeenFrame *f = d.wait_for(e, within, lock))
        return command_of(*f, "expect app " + e.text + ": met by " +
                                  mcu_protocol::frame_words(mcu_protocol::Direction::App, f->id, f->payload));
    const std::string closest = mcu_sim::closest_frame(e, d.seen, d.since_seq, "the expectation before");
    d.since_seq = d.next_seq;
    return Command(false, "expect app " + e.text + ": not within " + ms_words(within) + "; " + closest);
}

Outcome FakeAgent::expect_none(const std::string &command, std::chrono::milliseconds within) {
    if (!ready()) return ready();
    mcu_sim::Expectation e;
    std::string error;
    if (!mcu_sim::parse_expected_command(mcu_sim::split_words(command), &e, &error)) return Outcome(false, error);
    Impl &d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    if (const mcu_sim::SeenFrame *f = d.wait_for(e, within, lock))
        return Outcome(false, "expect app " + e.text + " never: sent: " +
                                  mcu_protocol::frame_words(mcu_protocol::Direction::App, f->id, f->payload));
    d.since_seq = d.next_seq;
    return Outcome(true, "expect app " + e.text + " never: not sent within " + ms_words(within));
}

Outcome FakeAgent::answer(const std::string &command, const std::string &text) {
    std::string error;
    const mcu_protocol::Command *c = mcu_protocol::command_named(command, &error);
    if (!c) return Outcome(false, "answer: " + error);
    Impl &d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (text.empty()) {
        d.answers.erase(c->id);
        return Outcome(true, std::string(c->name) + " is not answered");
    }
    // A line that fails on a copy of the state would fail when it answers.
    const std::string line = console_line(text);
    if (!d.check_line(line, &error)) return Outcome(false, "answer " + std::string(c->name) + ": " + error);
    d.answers[c->id] = line;
    return Outcome(true, std::string(c->name) + " is answered with " + line);
}

void FakeAgent::drop() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->accept_pending();
    impl_->drop_all("dropped by the test");
}

void FakeAgent::stall_reading(bool stalled) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stalled = stalled;
    impl_->log_line(stalled ? "reading stalled" : "reading again");
    impl_->wake();
}

void FakeAgent::go_away() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stop_listening();
    impl_->drop_all("the agent went away");
}

Outcome FakeAgent::come_back() {
    if (!impl_->setup_error.empty()) return ready();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::string error;
    if (impl_->listen_fd < 0 && !impl_->listen_at_path(&error)) return Outcome(false, "come back: " + error);
    impl_->log_line("listening again");
    return Outcome(true, "listening on " + impl_->path);
}

std::vector<std::string> FakeAgent::log() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->lines;
}

}  // namespace testing
}  // namespace mcu_agent
