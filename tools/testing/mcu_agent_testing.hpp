// mcu_agent_testing.hpp - a fake agent for an application's unit tests.
//
// It runs inside the test process and listens on a socket of its own (in a
// fresh directory only this user may enter), so tests run in parallel and
// no virtual MCU needs to be started.  The test scripts it in the virtual
// MCU's own words: what it injects is a console line of mcu-agent-sim, what
// it expects is what a scenario's "expect app" line says.
//
//   mcu_agent::testing::FakeAgent agent;        // sets MCU_AGENT_SOCKET
//   start_the_application();                     // McuAgent_client_init(...)
//   ASSERT_TRUE(agent.inject("HARD_KEY_POWER"));
//   auto cmd = agent.expect("SET_AUDIO_POWER", std::chrono::milliseconds(1000));
//   ASSERT_TRUE(cmd);                            // fails with the closest frame seen
//   EXPECT_EQ(cmd.field("status"), "POWER_STATUS_OFF");
//
// Every result converts to bool and carries a message; when GoogleTest's
// header is included before this one it also converts to
// ::testing::AssertionResult, so EXPECT_TRUE(...) prints the message.
// Link mcu_agent_client::testing (CMake) or -lmcu_agent_testing.
#ifndef MCU_AGENT_TESTING_HPP
#define MCU_AGENT_TESTING_HPP

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#define MCU_AGENT_TESTING_API __attribute__((visibility("default")))

namespace mcu_agent {
namespace testing {

// What an operation came to: true, or false with why.  The message of a
// success may say something too (what was sent).
class MCU_AGENT_TESTING_API Outcome {
public:
    Outcome() = default;
    Outcome(bool ok, std::string message) : ok_(ok), message_(std::move(message)) {}

    explicit operator bool() const { return ok_; }
    const std::string &message() const { return message_; }

#if defined(GOOGLETEST_INCLUDE_GTEST_GTEST_H_) || defined(GTEST_INCLUDE_GTEST_GTEST_H_)
    operator ::testing::AssertionResult() const {
        return (ok_ ? ::testing::AssertionSuccess() : ::testing::AssertionFailure()) << message_;
    }
#endif

private:
    bool ok_ = false;
    std::string message_;
};

inline std::ostream &operator<<(std::ostream &out, const Outcome &o) { return out << o.message(); }

// A command the application sent, decoded through the protocol rows; false
// (with why) when the expected command did not come.
class MCU_AGENT_TESTING_API Command : public Outcome {
public:
    struct Field {
        std::string name;
        std::string words;    // the value as the tools print it: POWER_STATUS_ON, 9810, "text", [1,2]
        uint32_t number = 0;  // a number field's value
    };

    Command() = default;
    Command(bool ok, std::string message) : Outcome(ok, std::move(message)) {}
    Command(std::string message, uint8_t id, std::string name, std::vector<uint8_t> payload, std::vector<Field> fields)
        : Outcome(true, std::move(message)), id_(id), name_(std::move(name)), payload_(std::move(payload)),
          fields_(std::move(fields)) {}

    uint8_t id() const { return id_; }
    const std::string &name() const { return name_; }  // MCU_CMD_SET_AUDIO_POWER
    const std::vector<uint8_t> &payload() const { return payload_; }
    const std::vector<Field> &fields() const { return fields_; }
    // A field's value in words; empty when the command has no such field.
    std::string field(const std::string &name) const;
    // A number field's value; `otherwise` when there is no such field.
    uint32_t number(const std::string &name, uint32_t otherwise = 0) const;

private:
    uint8_t id_ = 0;
    std::string name_;
    std::vector<uint8_t> payload_;
    std::vector<Field> fields_;
};

class MCU_AGENT_TESTING_API FakeAgent {
public:
    struct Options {
        // Points MCU_AGENT_SOCKET of this process at the fake agent for as
        // long as it lives (the value before is put back afterwards).
        bool set_environment = true;
        // Answers MCU_CMD_GET_VERSION_INFO as the virtual MCU does.
        bool answer_version = true;
    };

    FakeAgent();
    explicit FakeAgent(const Options &options);
    ~FakeAgent();
    FakeAgent(const FakeAgent &) = delete;
    FakeAgent &operator=(const FakeAgent &) = delete;

    // Whether it listens; false with why (the socket could not be made).
    Outcome ready() const;
    const std::string &socket_path() const;

    // Waits until an application is connected.
    Outcome wait_connected(std::chrono::milliseconds within = std::chrono::milliseconds(2000));
    // Applications connected now.
    int connections() const;

    // Sends a message to every connected application (waiting up to a
    // second for one to connect).  `line` is a console line of the virtual
    // MCU ("hvac blower_level=5", "key HARD_KEY_POWER", "power off",
    // "send RET_RADIO_NOTIFY cur_freq=9810", "raw 04 01 12", "set
    // radio.freq 9810"); a HARD_KEY_ID member alone is a key press and a
    // message name first is "send".  Fields left out come from the virtual
    // MCU's state, which follows what was sent.
    Outcome inject(const std::string &line);

    // Waits for a command "NAME [field=value ...]" that the application
    // sent after the frame the previous expectation was met by (or at any
    // time, for the first).  On failure the message names the frame of
    // that command that came closest, as the virtual MCU's scenarios do.
    Command expect(const std::string &command, std::chrono::milliseconds within);
    // Met when no such command comes within the time.
    Outcome expect_none(const std::string &command, std::chrono::milliseconds within);

    // From now on answers every command "NAME" with `line` (as inject
    // takes it), sent to the application that asked.  An empty line stops
    // answering it.
    Outcome answer(const std::string &command, const std::string &line);

    // Closes every connection; it goes on listening, so an application
    // that reconnects is served again.
    void drop();
    // Stops reading the applications' bytes (true) or reads again (false):
    // their sends back up as they would against a stuck agent.
    void stall_reading(bool stalled);
    // Drops every connection and stops listening: connects fail.
    void go_away();
    // Listens again at the same path.
    Outcome come_back();

    // Every frame and event so far, one line each, as the virtual MCU logs
    // them ("app > MCU_CMD_X(0x..) ...", "agent > MCU_MSG_Y(0x..) ...").
    std::vector<std::string> log() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testing
}  // namespace mcu_agent

#endif  // MCU_AGENT_TESTING_HPP
