// panel_idle_test.cpp - the virtual MCU's web panel keeps room for a page
// load while other local programs hold connections they never use: event
// streams that are never read and requests that are never finished.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "tool_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using mcu_tools_test::Process;

constexpr int kIdleRequests = 50, kUnreadStreams = 50;
constexpr std::size_t kStreamsKeptPerAddress = 8;

// A connection from `source` to the panel; the connect may still be under
// way when it returns (a server that accepts nothing leaves it so).
int connect_from(const char *source, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    to.sin_port = htons(port);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from), 0) << source;
    ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 200);
    return fd;
}

void send_text(int fd, const std::string &text) { (void)::send(fd, text.data(), text.size(), MSG_NOSIGNAL); }

// The server has ended the connection (even with unread data in it).
bool ended_by_server(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

// GET / from 127.0.0.1, tried again while the panel turns the connection
// away; true once it answers 200 before `deadline`.
bool page_loads(uint16_t port, Clock::time_point deadline) {
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n\r\n";
    while (Clock::now() < deadline) {
        const int fd = connect_from("127.0.0.1", port);
        send_text(fd, request);
        std::string answer;
        char buf[4096];
        const auto try_until = std::min(deadline, Clock::now() + std::chrono::seconds(2));
        while (answer.size() < 12 && Clock::now() < try_until) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1) continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;  // turned away
            answer.append(buf, static_cast<std::size_t>(n));
        }
        ::close(fd);
        if (answer.compare(0, 12, "HTTP/1.1 200") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

struct Crowd {
    const char *name;
    const char *source;  // where the idle clients connect from; the page loads from 127.0.0.1
    bool room_at_once;   // the page loads while the idle clients still hold their connections
};

void PrintTo(const Crowd &crowd, std::ostream *os) { *os << crowd.name; }

class PanelIdleClients : public testing::TestWithParam<Crowd> {};

TEST_P(PanelIdleClients, LeaveRoomForAPageLoad) {
    const std::string dir = mcu_tools_test::test_dir();
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), {"--no-console", "--http", "0"}),
                dir + "/sim.log");
    ASSERT_TRUE(sim.wait_for_output("panel: http://")) << sim.output();
    const std::string out = sim.output(), logged = "panel: http://127.0.0.1:";
    const std::size_t at = out.find(logged);
    ASSERT_NE(at, std::string::npos) << out;
    const uint16_t port = static_cast<uint16_t>(std::atoi(out.c_str() + at + logged.size()));
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

    std::vector<int> streams, requests;
    for (int i = 0; i < kUnreadStreams; ++i) {
        streams.push_back(connect_from(GetParam().source, port));
        send_text(streams.back(), "GET /events HTTP/1.1\r\n" + host + "\r\n");
    }
    for (int i = 0; i < kIdleRequests; ++i) {
        requests.push_back(connect_from(GetParam().source, port));
        send_text(requests.back(), "GET / HTTP/1.1\r\n" + host);  // the blank line never comes
    }

    const auto deadline = Clock::now() + std::chrono::seconds(20);
    EXPECT_TRUE(page_loads(port, deadline)) << sim.output();
    if (GetParam().room_at_once) {
        // Those that came while the address was at its limit were turned
        // away at once; the others still hold their places.
        std::size_t held = 0;
        for (int fd : requests) held += !ended_by_server(fd);
        EXPECT_GT(held, 0u) << "the page loaded while idle requests held their connections";
    }
    // The half-sent requests are closed, and only a few streams from one
    // address are kept.
    auto all_ended = [&] {
        for (int fd : requests)
            if (!ended_by_server(fd)) return false;
        return true;
    };
    while (!all_ended() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(all_ended());
    std::size_t kept = 0;
    for (int fd : streams) kept += !ended_by_server(fd);
    EXPECT_LE(kept, kStreamsKeptPerAddress);
    for (int fd : streams) ::close(fd);
    for (int fd : requests) ::close(fd);
    EXPECT_EQ(sim.terminate(), 0) << sim.output();
}

const Crowd kCrowds[] = {
    {"FromAnotherAddress", "127.0.0.2", true},
    {"FromThePagesAddress", "127.0.0.1", false},
};
INSTANTIATE_TEST_SUITE_P(, PanelIdleClients, testing::ValuesIn(kCrowds),
                         [](const testing::TestParamInfo<Crowd> &i) { return std::string(i.param.name); });

}  // namespace
