// server_clients.cpp - the server's traffic with each application: reading
// and checking its frames, queueing and writing what goes to it, the
// version request and the replays.
#include "server.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "description.h"
#include "server_internal.h"
#include "words.h"

namespace mcu_sim {

using mcu_protocol::Bytes;

void Server::read_client(Client &c) {
    uint8_t buf[kReadChunk];
    for (;;) {
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n > 0) {
            c.scanner.feed(buf, static_cast<std::size_t>(n));
            while (auto piece = c.scanner.next()) handle_piece(c, *piece);
            if (static_cast<std::size_t>(n) < sizeof buf) return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        // The end of the stream: a frame cut short is reported as such.
        while (auto piece = c.scanner.flush()) handle_piece(c, *piece);
        c.closing = true;
        c.close_reason = n == 0 ? "disconnected" : std::string("read failed: ") + std::strerror(errno);
        return;
    }
}

void Server::write_client(Client &c) {
    while (c.queued()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_offset, c.queued(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_offset += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        c.closing = true;
        c.close_reason = std::string("write failed: ") + std::strerror(errno);
        return;
    }
    if (c.out_offset == c.out.size()) {
        c.out.clear();
        c.out_offset = 0;
    } else if (c.out_offset > c.out.size() / 2) {
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_offset));
        c.out_offset = 0;
    }
}

void Server::handle_piece(Client &c, const mcu_protocol::Piece &piece) {
    mcu_protocol::CaptureRecord record = mcu_protocol::capture_of(piece, mcu_protocol::wall_clock_us());
    record.connection = c.number;
    capture(record);
    ++tally_.app_frames;
    const std::vector<std::string> problems = mcu_protocol::app_frame_problems(piece);
    std::string words = mcu_protocol::piece_words(piece);
    if (piece.is_frame && piece.direction == mcu_protocol::Direction::Agent) {
        // The application wrote the agent's lead bytes.
        words = "app > " + words.substr(words.find("> ") + 2) + " !" + problems.front();
    }
    if (!problems.empty()) {
        flag(c, words);
        return;
    }
    log_client(c, words);
    const int64_t now = steady_ms();
    seen_.push_back({next_seq_++, now, piece.id, piece.payload});
    if (seen_.size() > 1024) seen_.erase(seen_.begin(), seen_.begin() + 512);

    static const uint8_t version_report = VirtualMcu::command_id("MCU_CMD_RET_VERSION_INFO");
    if (piece.id == version_report && c.version_pending) {
        c.version_pending = false;
        const uint32_t type = piece.payload.empty() ? 0 : piece.payload[0];
        const mcu_protocol::Enumeration &types = *mcu_protocol::find_enumeration("VERSION_TYPE_ID");
        if (type == c.version_type) {
            c.version_status = "answered in " + std::to_string(now - c.version_asked_ms) + " ms";
            log_client(c, "version request " + c.version_status);
        } else {
            c.version_status = "answered with the wrong type " + mcu_protocol::enum_name(types, type);
            flag(c, "!version answer has type " + mcu_protocol::enum_name(types, type) + ", the request asked for " +
                        mcu_protocol::enum_name(types, c.version_type));
        }
    }
    if (c.replay && c.replay->answering()) {
        // A replay that answers does so from the capture only.
        if (!c.replay->on_app_frame(piece.id, piece.payload, now)) {
            const std::string name = mcu_protocol::id_name(mcu_protocol::Direction::App, piece.id);
            flag(c, c.replay->recorded(piece.id) ? "!replay: the recorded answers to " + name + " are used up"
                                                 : "!replay: the capture has no " + name + " to answer from");
        }
        feed_replay(c);
        return;
    }
    if (replay_script_) return;  // its replay is done: nothing else is answered
    const Reaction r = mcu_.handle(piece.id, piece.payload);
    for (const std::string &note : r.notes) log_client(c, "mcu: " + note);
    for (const std::string &problem : r.flags) flag(c, "!" + problem);
    for (const Outgoing &o : r.frames) send_to(c, o);
}

void Server::send_to(Client &c, const Outgoing &message) {
    if (c.closing) return;
    const Bytes frame = mcu_protocol::agent_frame(message.id, message.payload);
    mcu_protocol::CaptureRecord record;
    record.stamp_us = mcu_protocol::wall_clock_us();
    record.connection = c.number;
    record.direction = mcu_protocol::Direction::Agent;
    record.id = message.id;
    record.payload = message.payload;
    capture(record);
    ++tally_.agent_frames;
    static const uint8_t version_request = VirtualMcu::message_id("MCU_MSG_GET_VERSION_INFO");
    if (message.id == version_request && !message.payload.empty()) {
        c.version_pending = true;
        c.version_status = "asked";
        c.version_type = message.payload[0];
        c.version_asked_ms = steady_ms();
    }
    log_client(c, "agent > " + mcu_protocol::frame_words(mcu_protocol::Direction::Agent, message.id, message.payload));
    c.out.insert(c.out.end(), frame.begin(), frame.end());
    write_client(c);
    if (c.queued() > kMaxQueueBytes) {
        c.closing = true;
        c.close_reason = "does not read: " + std::to_string(c.queued()) + " bytes waiting";
    }
}

void Server::send_raw_to(Client &c, const Bytes &bytes) {
    if (c.closing) return;
    mcu_protocol::CaptureRecord record;
    record.stamp_us = mcu_protocol::wall_clock_us();
    record.connection = c.number;
    record.direction = mcu_protocol::Direction::Agent;
    record.valid = false;
    record.raw = bytes;
    capture(record);
    log_client(c, "agent ! " + std::to_string(bytes.size()) + " raw bytes " + mcu_protocol::hex(bytes));
    c.out.insert(c.out.end(), bytes.begin(), bytes.end());
    write_client(c);
}

void Server::capture(const mcu_protocol::CaptureRecord &record) {
    if (guest_) guest_->captured(record);
    capture_.write_line(mcu_protocol::format_capture(record));
}

void Server::drop_client(std::size_t index, const std::string &why) {
    Client &c = *clients_[index];
    capture(mcu_protocol::disconnect_record(c.number, mcu_protocol::wall_clock_us()));
    log_client(c, why);
    ::close(c.fd);
    clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(index));
}

void Server::broadcast(const Outgoing &message) {
    if (clients_.empty()) log("no application connected: " + mcu_protocol::id_name(mcu_protocol::Direction::Agent, message.id) + " not sent");
    for (auto &c : clients_) send_to(*c, message);
}

void Server::broadcast_raw(const Bytes &bytes) {
    if (clients_.empty()) log("no application connected: bytes not sent");
    for (auto &c : clients_) send_raw_to(*c, bytes);
}

void Server::ask_version(uint32_t type) {
    if (clients_.empty()) log("no application connected: no version request sent");
    for (auto &c : clients_) ask_version_of(*c, type);
}

void Server::ask_version_of(Client &c, uint32_t type) {
    Outgoing request;
    std::string error;
    if (!mcu_.build(VirtualMcu::message_id("MCU_MSG_GET_VERSION_INFO"), {mcu_protocol::number_value("type", type)},
                    &request, &error)) {
        log("version request: " + error);
        return;
    }
    send_to(c, request);
}

bool Server::start_replay(const std::string &file, bool fast, std::string *error) {
    ReplayOptions options;
    options.fast = fast;
    auto script = std::make_unique<ReplayScript>();
    if (!script->load(file, options, error)) return false;
    log("replay: " + script->describe());
    for (auto &c : clients_) c->replay = std::make_unique<ReplaySession>(*script, steady_ms());
    console_replays_.push_back(std::move(script));  // the sessions refer to it
    return true;
}

std::string Server::describe_clients() {
    if (clients_.empty()) return "no application connected";
    std::string s;
    for (auto &c : clients_) {
        if (!s.empty()) s += "\n";
        s += "#" + std::to_string(c->number) + " connected " +
             std::to_string((steady_ms() - c->connected_ms) / 1000) + " s, " + std::to_string(c->queued()) +
             " bytes waiting" + (c->replay ? ", replaying" : "");
    }
    return s;
}

std::vector<ClientView> Server::client_views() const {
    std::vector<ClientView> views;
    for (const auto &c : clients_) {
        ClientView v;
        v.number = c->number;
        v.connected_ms = steady_ms() - c->connected_ms;
        v.queued = c->queued();
        v.replaying = c->replay != nullptr;
        v.version = c->version_status;
        views.push_back(v);
    }
    return views;
}

void Server::feed_replay(Client &c) {
    ReplaySession &r = *c.replay;
    const int64_t now = steady_ms();
    while (const mcu_protocol::CaptureRecord *rec = r.due(now)) {
        if (c.closing || (r.fast() && c.queued() > kReplayQueueBytes)) return;
        if (rec->valid)
            send_to(c, Outgoing{rec->id, rec->payload});
        else
            send_raw_to(c, rec->raw);
        r.pop();
    }
    if (r.finished(now)) {
        log_client(c, "replay done: " + std::to_string(r.sent()) + " frames");
        c.replay.reset();
    }
}

}  // namespace mcu_sim
