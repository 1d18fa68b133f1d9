// panel_access_test.cpp - the virtual MCU's web panel answers only the
// holder of the token it printed on starting: another local user reaches
// the port but is refused before anything is done, and nothing sent to the
// panel names a file for the virtual MCU to open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tool_test_support.h"

namespace {

using mcu_tools_test::PanelUrl;
using mcu_tools_test::Process;

// How a request shows a token that is not the panel's.
enum class Credential { None, OneDigitOff, HalfOfIt, WrongCookie, OtherPortsCookie };

struct Intruder {
    const char *name;
    Credential credential;
    const char *method, *path, *body;
    const char *done;  // what the log says when the request is served ("": nothing to see)
};

std::string request_of(const PanelUrl &url, const Intruder &r) {
    std::string path = r.path, headers, wrong = url.token;
    if (!wrong.empty()) wrong.back() = wrong.back() == '0' ? '1' : '0';
    switch (r.credential) {
        case Credential::None: break;
        case Credential::OneDigitOff: path += "?token=" + wrong; break;
        case Credential::HalfOfIt: path += "?token=" + url.token.substr(0, url.token.size() / 2); break;
        case Credential::WrongCookie:
            headers = "Cookie: mcu_panel_" + std::to_string(url.port) + "=" + wrong + "\r\n";
            break;
        case Credential::OtherPortsCookie:
            headers = "Cookie: mcu_panel_" + std::to_string(url.port + 1) + "=" + url.token + "\r\n";
            break;
    }
    const std::string body = r.body;
    return std::string(r.method) + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(url.port) +
           "\r\n" + headers + "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

class PanelWithoutToken : public testing::TestWithParam<Intruder> {};

TEST_P(PanelWithoutToken, IsRefusedAndNothingIsDone) {
    const Intruder &r = GetParam();
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), {"--no-console", "--http", "0"}),
                mcu_tools_test::test_dir() + "/sim.log");
    PanelUrl url;
    ASSERT_TRUE(mcu_tools_test::wait_for_panel(sim, &url)) << sim.output();
    const std::string answer = mcu_tools_test::http_exchange(url.port, request_of(url, r), 2000);
    EXPECT_EQ(answer.compare(0, 12, "HTTP/1.1 403"), 0) << answer;
    EXPECT_EQ(answer.find("event: "), std::string::npos) << "the live log was sent";
    if (*r.done) {
        EXPECT_EQ(sim.output().find(r.done), std::string::npos) << sim.output();
    }
    EXPECT_EQ(sim.terminate(), 0) << sim.output();
}

const Intruder kIntruders[] = {
    {"NoTokenPressesPower", Credential::None, "POST", "/api/power", "state=on", "MCU_MSG_RET_POWER_KEY"},
    {"NoTokenLoadsThePage", Credential::None, "GET", "/", "", ""},
    {"OneDigitOffPressesAKey", Credential::OneDigitOff, "POST", "/api/key", "name=HARD_KEY_POWER", "HARD_KEY"},
    {"HalfTheTokenReadsTheLog", Credential::HalfOfIt, "GET", "/events", "", ""},
    {"WrongCookieStartsACapture", Credential::WrongCookie, "POST", "/api/capture/start", "", "capture started"},
    {"AnotherPortsCookieRunsAScenario", Credential::OtherPortsCookie, "POST", "/api/scenario", "text=power+on",
     "scenario:"},
};
INSTANTIATE_TEST_SUITE_P(, PanelWithoutToken, testing::ValuesIn(kIntruders),
                         [](const testing::TestParamInfo<Intruder> &i) { return std::string(i.param.name); });

// The printed URL opens the page: the token moves into a cookie that the
// page's script cannot read and other sites' requests do not carry, and
// out of the address bar.
TEST(PanelToken, TheTokenUrlLeavesACookieAndThePlainUrl) {
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(), {"--no-console", "--http", "0"}),
                mcu_tools_test::test_dir() + "/sim.log");
    PanelUrl url;
    ASSERT_TRUE(mcu_tools_test::wait_for_panel(sim, &url)) << sim.output();
    ASSERT_EQ(url.token.size(), 64u) << sim.output();
    const std::string host = "Host: 127.0.0.1:" + std::to_string(url.port) + "\r\nConnection: close\r\n";
    const std::string first =
        mcu_tools_test::http_exchange(url.port, "GET /?token=" + url.token + " HTTP/1.1\r\n" + host + "\r\n", 2000);
    EXPECT_EQ(first.compare(0, 12, "HTTP/1.1 303"), 0) << first;
    EXPECT_NE(first.find("\r\nLocation: /\r\n"), std::string::npos) << first;
    EXPECT_NE(first.find("\r\nSet-Cookie: mcu_panel_" + std::to_string(url.port) + "=" + url.token +
                         "; Path=/; HttpOnly; SameSite=Strict\r\n"),
              std::string::npos)
        << first;
    const std::string page =
        mcu_tools_test::http_exchange(url.port, "GET / HTTP/1.1\r\n" + host + url.cookie() + "\r\n", 2000);
    EXPECT_EQ(page.compare(0, 12, "HTTP/1.1 200"), 0) << page;
    EXPECT_NE(page.find("<title>Virtual MCU panel</title>"), std::string::npos) << page;
    // The live log starts from the backlog, which never holds the token.
    const std::string events = mcu_tools_test::http_exchange(
        url.port, "GET /events HTTP/1.1\r\n" + host + url.cookie() + "\r\n", 1000);
    EXPECT_NE(events.find("event: log"), std::string::npos) << events;
    EXPECT_EQ(events.find(url.token), std::string::npos) << events;
    const std::string power = mcu_tools_test::panel_post(url, "/api/power", "state=on");
    EXPECT_EQ(power.compare(0, 12, "HTTP/1.1 200"), 0) << power;
    EXPECT_TRUE(sim.wait_for_output("MCU_MSG_RET_POWER_KEY")) << sim.output();
    EXPECT_EQ(sim.terminate(), 0) << sim.output();
}

struct PanelReplay {
    const char *name;
    bool the_replay_file;  // the scenario names the --replay file, else a FIFO
    const char *answer;
};

class PanelScenarioReplay : public testing::TestWithParam<PanelReplay> {};

// A scenario sent to the panel replays the capture the command line named
// and opens no other file: a FIFO named there would hold the whole
// virtual MCU until SIGKILL.
TEST_P(PanelScenarioReplay, OpensOnlyTheCommandLinesCapture) {
    const std::string dir = mcu_tools_test::test_dir();
    const std::string capture = dir + "/replay.capture", fifo = dir + "/fifo";
    mcu_tools_test::write_file(capture, "(1733590000.100000) #1 agent > 04#01\n");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Process sim(mcu_tools_test::sim_command(mcu_tools_test::private_socket_path(),
                                            {"--no-console", "--http", "0", "--replay", capture}),
                dir + "/sim.log");
    PanelUrl url;
    ASSERT_TRUE(mcu_tools_test::wait_for_panel(sim, &url)) << sim.output();
    const std::string named = GetParam().the_replay_file ? capture : fifo;
    const std::string answer = mcu_tools_test::panel_post(url, "/api/scenario", "text=replay+" + named);
    EXPECT_EQ(answer.compare(0, 12, std::string("HTTP/1.1 ") + GetParam().answer), 0) << answer;
    if (!GetParam().the_replay_file) {
        EXPECT_NE(answer.find("opens no file"), std::string::npos) << answer;
    }
    // Still serving, and it ends on SIGTERM.
    EXPECT_EQ(mcu_tools_test::panel_post(url, "/api/version", "").compare(0, 12, "HTTP/1.1 200"), 0);
    EXPECT_EQ(sim.terminate(), 0) << sim.output();
}

const PanelReplay kPanelReplays[] = {
    {"TheReplayFile", true, "200"},
    {"AFifo", false, "400"},
};
INSTANTIATE_TEST_SUITE_P(, PanelScenarioReplay, testing::ValuesIn(kPanelReplays),
                         [](const testing::TestParamInfo<PanelReplay> &i) { return std::string(i.param.name); });

}  // namespace
