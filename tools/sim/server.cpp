// server.cpp - the poll loop of the virtual MCU agent: start, serve, finish.
#include "server.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "description.h"
#include "input_file.h"
#include "server_internal.h"
#include "words.h"

namespace mcu_sim {

namespace {

using mcu_protocol::Bytes;

volatile sig_atomic_t g_stop_signal = 0;
void on_stop_signal(int sig) { g_stop_signal = sig; }

}  // namespace


void report_startup_error(const std::string &why) {
    std::fflush(stdout);
    std::fprintf(stderr, "mcu-agent-sim: %s\n", why.c_str());
    struct stat out {}, err {};
    const bool same = ::fstat(STDOUT_FILENO, &out) == 0 && ::fstat(STDERR_FILENO, &err) == 0 &&
                      out.st_dev == err.st_dev && out.st_ino == err.st_ino;
    if (!same) {
        std::printf("mcu-agent-sim: %s\n", why.c_str());
        std::fflush(stdout);
    }
}

Server::Server(const Options &options, State &state)
    : options_(options), state_(state), mcu_(state), accept_gate_([this](const std::string &line) { log(line); }) {
    start_ms_ = steady_ms();
}

Server::~Server() {
    for (auto &c : clients_)
        if (c->fd >= 0) ::close(c->fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
    // Only the socket this server bound: under a tap the path holds the
    // tap's, and an agent that started after this one holds its own.  The
    // ready file likewise, while it is still the one this server wrote.
    mcu_tools::remove_own_file(options_.socket_path, socket_id_);
    mcu_tools::remove_own_file(options_.ready_file, ready_written_);
}

void Server::log(const std::string &line) {
    const double t = static_cast<double>(steady_ms() - start_ms_) / 1000.0;
    editor_.hide();
    std::printf("[%8.3f] %s\n", t, line.c_str());
    editor_.show();
    std::fflush(stdout);
    if (guest_) guest_->logged(t, line);
}

void Server::log_client(const Client &c, const std::string &line) { log("#" + std::to_string(c.number) + " " + line); }

void Server::flag(const Client &c, const std::string &line) {
    ++tally_.flagged;
    log_client(c, line);
}

void Server::say(const std::string &line) {
    std::istringstream in(line);
    std::string part;
    while (std::getline(in, part)) log(part);
}

int Server::start() {
    auto fail = [](int status, const std::string &why) {
        report_startup_error(why);
        return status;
    };
    std::string error;
    if (!options_.scenario_file.empty()) {
        std::string text;
        if (!mcu_cli::read_input_file(options_.scenario_file, kMaxInputFileBytes, &text, &error))
            return fail(1, error);
        if (!parse_scenario(text, &scenario_, &error) || !check_scenario(scenario_, state_, &error)) {
            // "FILE:LINE: ..." from "line LINE: ..."
            const std::size_t colon = error.find(':');
            return fail(2, options_.scenario_file + ":" + error.substr(5, colon - 5) + error.substr(colon));
        }
        scenario_name_ = options_.scenario_file;
        log("scenario: " + std::to_string(scenario_.size()) + " lines from " + options_.scenario_file +
            ", starting when the first application connects");
    }
    if (!options_.replay_file.empty()) {
        replay_script_ = std::make_unique<ReplayScript>();
        if (!replay_script_->load(options_.replay_file, options_.replay, &error)) return fail(2, "replay: " + error);
        log("replay: " + replay_script_->describe() + "; every application that connects gets them" +
            (options_.replay.answer ? "" : ", nothing else is answered"));
    }
    if (!options_.capture_file.empty()) {
        if (!capture_.open(options_.capture_file, "# mcu-agent-sim capture of " + options_.socket_path,
                           options_.capture_limits, [this](const std::string &line) { log(line); }, &error))
            return fail(1, "capture: " + error);
    }

    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (options_.socket_path.size() >= sizeof addr.sun_path)
        return fail(1, "socket path too long: " + options_.socket_path);
    std::strncpy(addr.sun_path, options_.socket_path.c_str(), sizeof addr.sun_path - 1);
    // A socket file with a live server behind it belongs to someone else;
    // one that is not the agent by the library's rule is named as such.
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const std::string untrusted = mcu_tools::untrusted_peer(probe, options_.socket_path);
        ::close(probe);
        if (!untrusted.empty()) return fail(1, "something else listens on " + options_.socket_path + ": " + untrusted +
                                                   "; not taking it over");
        return fail(1, "another agent is listening on " + options_.socket_path + "; not taking it over");
    }
    if (probe >= 0) ::close(probe);
    ::unlink(options_.socket_path.c_str());

    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return fail(1, "cannot bind " + options_.socket_path + ": " + std::strerror(errno));
    socket_id_ = mcu_tools::file_id(options_.socket_path);
    if (::listen(listen_fd_, 16) != 0)
        return fail(1, "cannot listen on " + options_.socket_path + ": " + std::strerror(errno));
    console_open_ = options_.console;
    // A stop signal from whoever saw the line below must end the run
    // orderly (summary, socket removed), not kill the process before run().
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    log("listening on " + options_.socket_path);
    if (console_open_)
        editor_.start(
            "mcu> ", [this](const std::string &line) { run_console_line(*this, line); },
            [this] {
                editor_.stop();
                console_open_ = false;  // end of input: keep serving without a console
            });
    return 0;
}

int Server::run() {
    sigset_t stop_signals, during_poll;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &during_poll);
    sigdelset(&during_poll, SIGINT);
    sigdelset(&during_poll, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (!options_.ready_file.empty()) {
        // Whoever waits for the file never reads half of it.
        std::string error;
        if (!mcu_cli::replace_file(options_.ready_file,
                                   std::to_string(::getpid()) + " " + options_.socket_path + "\n", &ready_written_,
                                   &error)) {
            report_startup_error("--ready-file: " + error);
            return finish(1);
        }
    }

    std::vector<pollfd> fds;
    while (!quitting_ && !g_stop_signal) {
        fds.clear();
        fds.push_back({listen_fd_, accept_gate_.events(), 0});
        const bool console = console_open_;
        if (console) fds.push_back({STDIN_FILENO, POLLIN, 0});
        const std::size_t first_client = fds.size();
        for (auto &c : clients_) fds.push_back({c->fd, static_cast<short>(POLLIN | (c->queued() ? POLLOUT : 0)), 0});
        if (guest_) guest_->add_poll_fds(&fds);

        int timeout = poll_timeout_ms();
        if (guest_ && guest_->timeout_ms() >= 0 && (timeout < 0 || guest_->timeout_ms() < timeout))
            timeout = guest_->timeout_ms();
        if (accept_gate_.wait_ms() >= 0 && (timeout < 0 || accept_gate_.wait_ms() < timeout))
            timeout = accept_gate_.wait_ms();
        timespec ts{timeout / 1000, (timeout % 1000) * 1000000L};
        const int rc = ::ppoll(fds.data(), fds.size(), timeout < 0 ? nullptr : &ts, &during_poll);
        if (rc < 0 && errno != EINTR) {
            log(std::string("poll: ") + std::strerror(errno));
            return finish(1);
        }
        if (rc > 0) {
            // Clients first: accepting may add to clients_, shifting nothing
            // the indices below refer to.
            const std::size_t known = clients_.size();
            for (std::size_t i = 0; i < known; ++i) {
                const short ev = fds[first_client + i].revents;
                Client &c = *clients_[i];
                if (ev & (POLLIN | POLLHUP | POLLERR)) read_client(c);
                if ((ev & POLLOUT) && !c.closing) write_client(c);
            }
            if (fds[0].revents & POLLIN) accept_clients();
            if (console && (fds[1].revents & (POLLIN | POLLHUP))) read_console();
        }
        if (guest_) guest_->serve();
        run_timers();
        for (std::size_t i = clients_.size(); i-- > 0;)
            if (clients_[i]->closing) drop_client(i, clients_[i]->close_reason);
    }
    if (g_stop_signal) log(std::string("stopping on ") + (g_stop_signal == SIGINT ? "SIGINT" : "SIGTERM"));
    return finish(0);
}

int Server::finish(int status) {
    for (auto &c : clients_)
        if (c->version_pending) {
            ++tally_.versions_unanswered;
            log_client(*c, "!the version request is still unanswered");
        }
    if (expecting_) {
        // At exit a `never` line that saw no such frame is met; any other
        // line only by a frame that came.
        const ScenarioLine &line = scenario_[scenario_next_];
        const int64_t at = line.expect.never ? expect_deadline_ms_ : expect_deadline_ms_ - 1;
        if (!settle_expectation(line, at)) {
            ++tally_.expectations_failed;
            log("!scenario line " + std::to_string(line.line_number) + ": expect app " + line.expect.text +
                ": still waiting at exit");
        }
    }
    const bool clean = tally_.flagged == 0 && tally_.expectations_failed == 0 && tally_.versions_unanswered == 0;
    log("summary: " + std::to_string(tally_.applications) + " applications, " + std::to_string(tally_.app_frames) +
        " application frames, " + std::to_string(tally_.agent_frames) + " agent frames, " +
        std::to_string(tally_.flagged) + " flagged, " +
        std::to_string(tally_.expectations - tally_.expectations_failed) + " of " +
        std::to_string(tally_.expectations) + " expectations met, " + std::to_string(tally_.versions_unanswered) +
        " version requests unanswered" + (options_.strict ? (clean ? "; strict: pass" : "; strict: FAIL") : ""));
    log("stopped");
    editor_.stop();
    if (status == 0 && options_.strict && !clean) return 1;
    return status;
}

void Server::accept_clients() {
    for (;;) {
        const int fd = accept_gate_.accept(listen_fd_);
        if (fd < 0) return;
        auto c = std::make_unique<Client>();
        c->fd = fd;
        c->number = next_client_number_++;
        c->connected_ms = steady_ms();
        Client &client = *c;
        clients_.push_back(std::move(c));
        ++tally_.applications;
        capture(mcu_protocol::connect_record(client.number, options_.socket_path, mcu_protocol::wall_clock_us()));
        log_client(client, "connected");
        if (scenario_start_ms_ < 0 && !scenario_.empty()) {
            scenario_start_ms_ = step_ready_ms_ = step_since_ms_ = steady_ms();
            since_seq_ = next_seq_;
            log("scenario: started");
        }
        if (replay_script_) {
            client.replay = std::make_unique<ReplaySession>(*replay_script_, steady_ms());
            feed_replay(client);
        } else if (options_.version_request) {
            ask_version_of(client, state_.number("version.request_type"));
        }
    }
}

void Server::run_timers() {
    const int64_t now = steady_ms();
    for (auto &c : clients_) {
        if (c->version_pending && now - c->version_asked_ms >= options_.version_timeout_ms) {
            c->version_pending = false;
            c->version_status = "no answer within " + std::to_string(options_.version_timeout_ms) + " ms";
            ++tally_.versions_unanswered;
            log_client(*c, "!no answer to the version request within " + std::to_string(options_.version_timeout_ms) +
                               " ms");
        }
        if (c->replay) feed_replay(*c);
    }
    run_scenario(now);
}

int Server::poll_timeout_ms() const {
    if (quitting_) return 0;
    const int64_t now = steady_ms();
    int64_t next = -1;
    auto soonest = [&](int64_t at) {
        const int64_t wait = std::max<int64_t>(0, at - now);
        if (next < 0 || wait < next) next = wait;
    };
    for (const auto &c : clients_) {
        if (c->version_pending) soonest(c->version_asked_ms + options_.version_timeout_ms);
        if (c->replay && c->replay->next_due_ms() >= 0) {
            // A fast replay into a full queue waits for POLLOUT instead.
            if (!c->replay->fast() || c->queued() <= kReplayQueueBytes) soonest(c->replay->next_due_ms());
        }
    }
    if (scenario_start_ms_ >= 0 && scenario_next_ < scenario_.size()) {
        const ScenarioLine &line = scenario_[scenario_next_];
        if (expecting_) {
            soonest(expect_deadline_ms_);
        } else {
            int64_t at = step_ready_ms_;
            if (line.at >= 0) at = std::max(at, scenario_start_ms_ + static_cast<int64_t>(line.at * 1000));
            soonest(at);
        }
    }
    return next < 0 ? -1 : static_cast<int>(std::min<int64_t>(next, 60000));
}

void Server::read_console() {
    if (editor_.active()) {
        editor_.read_available();
        return;
    }
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        if (n < 0 && errno == EINTR) return;
        console_open_ = false;  // end of input: keep serving without a console
        return;
    }
    console_buffer_.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = console_buffer_.find('\n')) != std::string::npos) {
        const std::string line = console_buffer_.substr(0, nl);
        console_buffer_.erase(0, nl + 1);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        log("> " + line);
        run_console_line(*this, line);
    }
}

}  // namespace mcu_sim
