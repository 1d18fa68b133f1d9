#include "agent_server.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "wire.h"

namespace mcu_agent_test {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

const char *agent_path_of_this_process() {
    static char path[64];
    if (!path[0]) {
        std::snprintf(path, sizeof path, "/tmp/mcu_agent_test.%d", static_cast<int>(::getpid()));
        ::setenv("MCU_AGENT_SOCKET", path, 1);
    }
    return path;
}

Bytes inbound_frame(uint8_t id, const Bytes &payload) {
    Bytes f(mcu_agent::wire::kMaxFrame);
    f.resize(mcu_agent::wire::encode_message(id, payload.data(), static_cast<uint8_t>(payload.size()), f.data()));
    return f;
}

Bytes numbered_frames(int count, uint8_t id) {
    Bytes out;
    for (int i = 0; i < count; ++i) {
        const Bytes f = inbound_frame(id, {static_cast<uint8_t>(i)});
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

Bytes outbound_frame(uint8_t id, const Bytes &payload) {
    Bytes f(mcu_agent::wire::kMaxFrame);
    f.resize(mcu_agent::wire::encode_request(id, payload.data(), static_cast<uint8_t>(payload.size()), f.data()));
    return f;
}

AgentServer::AgentServer(const std::string &path) : path_(path) {
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    if (::bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(listen_, 8) != 0) {
        ::close(listen_);
        listen_ = -1;
    }
}

AgentServer::~AgentServer() {
    close_client();
    stop();
}

void AgentServer::stop() {
    if (listen_ >= 0) {
        ::close(listen_);
        listen_ = -1;
        ::unlink(path_.c_str());
    }
}

bool AgentServer::accept_client(int timeout_ms) {
    if (listen_ < 0) return false;
    pollfd p{listen_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc <= 0) return false;
    close_client();
    client_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    pending_.clear();
    return client_ >= 0;
}

bool AgentServer::send(const Bytes &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::size_t AgentServer::send_unless_stalled(const Bytes &bytes, int silence_ms) {
    std::size_t done = 0;
    auto last_progress = Clock::now();
    while (done < bytes.size() && Clock::now() - last_progress < std::chrono::milliseconds(silence_ms)) {
        pollfd p{client_, POLLOUT, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::send(client_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            last_progress = Clock::now();
        }
    }
    return done;
}

std::optional<Bytes> AgentServer::read_exact(std::size_t n, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending_.size() < n) {
        pollfd p{client_, POLLIN, 0};
        int rc = ::poll(&p, 1, remaining_ms(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
        uint8_t buf[4096];
        ssize_t got = ::read(client_, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return std::nullopt;
        pending_.insert(pending_.end(), buf, buf + got);
    }
    Bytes out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

std::optional<Bytes> AgentServer::read_frame(int timeout_ms) {
    auto head = read_exact(6, timeout_ms);
    if (!head) return std::nullopt;
    auto rest = read_exact(static_cast<std::size_t>((*head)[5]) + 1, timeout_ms);
    if (!rest) return std::nullopt;
    head->insert(head->end(), rest->begin(), rest->end());
    return head;
}

bool AgentServer::nothing_arrives(int timeout_ms) {
    if (!pending_.empty()) return false;
    pollfd p{client_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

void AgentServer::close_client() {
    if (client_ >= 0) {
        ::close(client_);
        client_ = -1;
    }
    pending_.clear();
}

void AgentServer::reset_client() {
    if (client_ >= 0) {
        linger l{1, 0};  // close with RST on sockets that support it
        ::setsockopt(client_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close_client();
}

}  // namespace mcu_agent_test
