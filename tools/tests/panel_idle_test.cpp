// panel_idle_test.cpp - the virtual MCU's web panel keeps room for a page
// load while other local programs hold connections they never use: event
// streams that are never read and requests that are never finished, from
// another address or from the page's own (every local user comes from
// 127.0.0.1), more of them than the panel takes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tool_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using mcu_tools_test::Process;

constexpr int kUnreadStreams = 50;
constexpr std::size_t kStreamsKept = 8;

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

// GET / from 127.0.0.1 as the browser sends it, with the token's cookie,
// once: a browser shows a connection turned away as an error.  True when
// it is answered 200 within two seconds.
bool page_loads(const mcu_tools_test::PanelUrl &url) {
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(url.port) + "\r\n" +
                                url.cookie() + "Connection: close\r\n\r\n";
    const int fd = connect_from("127.0.0.1", url.port);
    send_text(fd, request);
    std::string answer;
    char buf[4096];
    const auto try_until = Clock::now() + std::chrono::seconds(2);
    while (answer.size() < 12 && Clock::now() < try_until) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) != 1) continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;  // turned away
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer.compare(0, 12, "HTTP/1.1 200") == 0;
}

struct Crowd {
    const char *name;
    const char *source;  // where the idle clients connect from; the page loads from 127.0.0.1
    int idle_requests;   // half-sent requests, after the streams
};

void PrintTo(const Crowd &crowd, std::ostream *os) { *os << crowd.name; }

class PanelIdleClients : public testing::TestWithParam<Crowd> {};

TEST_P(PanelIdleClients, LeaveRoomForAPageLoad) {
    const std::string dir = mcu_tools_test::test_dir();
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), {"--no-console", "--http", "0"}),
                dir + "/sim.log");
    mcu_tools_test::PanelUrl url;
    ASSERT_TRUE(mcu_tools_test::wait_for_panel(sim, &url)) << sim.output();
    const uint16_t port = url.port;
    const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";

    // The streams are the token holder's own (a page left open many times).
    std::vector<int> streams, requests;
    for (int i = 0; i < kUnreadStreams; ++i) {
        streams.push_back(connect_from(GetParam().source, port));
        send_text(streams.back(), "GET /events HTTP/1.1\r\n" + host + url.cookie() + "\r\n");
    }
    for (int i = 0; i < GetParam().idle_requests; ++i) {
        requests.push_back(connect_from(GetParam().source, port));
        send_text(requests.back(), "GET / HTTP/1.1\r\n" + host);  // the blank line never comes
    }

    EXPECT_TRUE(page_loads(url)) << sim.output();
    // It loaded while idle requests still held their places, not because
    // they had run out of time.
    std::size_t held = 0;
    for (int fd : requests) held += !ended_by_server(fd);
    EXPECT_GT(held, 0u) << "the page loaded while idle requests held their connections";
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    // The half-sent requests are closed, and only a few streams are kept.
    auto all_ended = [&] {
        for (int fd : requests)
            if (!ended_by_server(fd)) return false;
        return true;
    };
    while (!all_ended() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(all_ended());
    std::size_t kept = 0;
    for (int fd : streams) kept += !ended_by_server(fd);
    EXPECT_LE(kept, kStreamsKept);
    for (int fd : streams) ::close(fd);
    for (int fd : requests) ::close(fd);
    EXPECT_EQ(sim.terminate(), 0) << sim.output();
}

const Crowd kCrowds[] = {
    {"FromAnotherAddress", "127.0.0.2", 50},
    {"FromThePagesAddress", "127.0.0.1", 50},
    {"MoreThanThePanelTakes", "127.0.0.1", 100},
};
INSTANTIATE_TEST_SUITE_P(, PanelIdleClients, testing::ValuesIn(kCrowds),
                         [](const testing::TestParamInfo<Crowd> &i) { return std::string(i.param.name); });

}  // namespace
