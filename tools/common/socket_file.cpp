// socket_file.cpp - socket files, the agent's credentials and accepting.
#include "socket_file.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "peer_trust.h"

namespace mcu_tools {

namespace {

// How long accepting pauses when no descriptor can be had: short enough
// that a waiting application hardly notices, long enough that the process
// sleeps between tries.
constexpr std::chrono::milliseconds kDescriptorPause{100};

std::string refusal(const std::string &path, const mcu_agent::peer::Credentials &who) {
    char text[512];
    mcu_agent::peer::refusal_text(path.c_str(), who, text, sizeof text);
    return text;
}

}  // namespace

FileId file_id(const std::string &path, bool *is_socket) {
    struct stat st;
    if (is_socket) *is_socket = false;
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (is_socket) *is_socket = S_ISSOCK(st.st_mode);
    return {st.st_dev, st.st_ino};
}

bool remove_own_file(const std::string &path, const FileId &own) {
    return own.present() && file_id(path) == own && ::unlink(path.c_str()) == 0;
}

std::string untrusted_peer(int fd, const std::string &path) {
    mcu_agent::peer::Credentials who;
    if (!mcu_agent::peer::read_credentials(fd, &who)) who = {};
    if (who.uid != mcu_agent::peer::kNobody && mcu_agent::peer::trusted(who, mcu_agent::peer::configured_trust()))
        return "";
    return refusal(path, who);
}

std::string untrusted_owner(const std::string &path) {
    struct stat st;
    mcu_agent::peer::Credentials owner;
    if (::lstat(path.c_str(), &st) == 0) {
        owner.uid = static_cast<long>(st.st_uid);
        owner.gid = static_cast<long>(st.st_gid);
        if (mcu_agent::peer::trusted(owner, mcu_agent::peer::configured_trust())) return "";
    }
    return "by the owner of its socket file, " + refusal(path, owner);
}

int AcceptGate::accept(int listen_fd) {
    if (events() == 0) return -1;
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        if (short_) {
            say_("accepting again: descriptors are free (" + std::to_string(refused_) + " pauses)");
            short_ = false;
            refused_ = 0;
        }
        return fd;
    }
    const int error = errno;
    if (!out_of_descriptors(error) && error != EAGAIN && error != EWOULDBLOCK && error != EINTR &&
        error != ECONNABORTED)
        say_(std::string("accept: ") + std::strerror(error));
    return -1;
}

bool AcceptGate::out_of_descriptors(int error) {
    if (error != EMFILE && error != ENFILE && error != ENOBUFS && error != ENOMEM) return false;
    paused_until_ = Clock::now() + kDescriptorPause;
    ++refused_;
    if (!short_)
        say_(std::string("accept: ") + std::strerror(error) + ": new connections wait in the queue, tried again every " +
             std::to_string(kDescriptorPause.count()) + " ms until descriptors are free");
    short_ = true;
    return true;
}

short AcceptGate::events() const { return Clock::now() < paused_until_ ? 0 : POLLIN; }

int AcceptGate::wait_ms() const {
    const auto left = paused_until_ - Clock::now();
    if (left <= Clock::duration::zero()) return -1;
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
}

}  // namespace mcu_tools
