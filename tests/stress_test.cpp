// Load in both directions at once: 16 application threads send requests
// of every kind through the API table while the agent server streams
// inbound messages of every family, and the handlers answer the version
// requests among them with a request of their own.  The run is bounded by
// its frame counts; at the end every frame is accounted for on both
// sides: each outbound frame whole (checksum) and exactly one of the
// frames sent, each thread's frames in its order, the handler's answers
// one per request; each inbound message delivered once, in order, decoded
// as it must be.  Built under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "agent_server.h"
#include "delivery.h"
#include "internal.h"
#include "mcu_agent_api.h"
#include "wire.h"

using mcu_agent_test::AgentServer;
using mcu_agent_test::Bytes;
using mcu_agent_test::inbound_frame;

namespace {

constexpr int kThreads = 16;
constexpr uint32_t kRequestsPerThread = 2000;  // each also sends a marker: 64,000 frames
constexpr uint32_t kInbound = 40000;

// ---- requests of every kind ---------------------------------------------

// Argument records, read by every thread at once: one per `fill`, all
// zero but what it sets, built at the first call.
template <typename Record, typename Fill>
Record *record_with(Fill fill) {
    static Record r = [fill] {
        Record x;
        std::memset(&x, 0, sizeof x);
        fill(x);
        return x;
    }();
    return &r;
}
template <typename Record>
Record *zero_record() {
    return record_with<Record>([](Record &) {});
}

#define ROW(slot, ...) [](const MCU_AGENT_API &api) { return api.slot(__VA_ARGS__); }

using Request = int (*)(const MCU_AGENT_API &);

// One call of every request in the API table (the two empty GPS slots
// aside), with arguments that the library sends.
const std::vector<Request> &requests() {
    static const std::vector<Request> rows = {
        ROW(hmi_startup),
        ROW(navi_startup),
        ROW(get_sync_info),
        ROW(get_mainboard_version_info),
        ROW(set_hard_key, HARD_KEY_ID(0x12)),
        ROW(set_touch, record_with<TOUCH_INFO>([](TOUCH_INFO &t) { t.x = 800, t.y = 480; })),
        ROW(set_engineer_mode, ENGINEER_MODE_ID(1)),
        ROW(beep_tone, BEEP_TONE_ID(1)),
        ROW(poweroff_timer_disp, DISP_STATUS_ID(1)),
        ROW(set_screen_save_mode, SCREEN_SAVE_MODE_ID(2)),
        ROW(send_alive, HEARTBEAT_ON),
        ROW(send_version_info, record_with<VERSION_INFO>([](VERSION_INFO &v) {
                std::memcpy(v.version_buffer, "HMI 3.14.15", 11);
                v.size = 11;
            })),
        ROW(set_audio_power, POWER_STATUS_ID(1)),
        ROW(get_audio_power),
        ROW(set_rtc_mode, RTC_MODE_ID(1)),
        ROW(set_rct_clock, record_with<CLOCK_MSG>([](CLOCK_MSG &c) { c.hours = 13, c.year = 2024, c.date = 15; })),
        ROW(get_rct_clock),
        ROW(set_button_backlight_duty_cycle, zero_record<BUTTON_DUTY_INFO>()),
        ROW(set_usb_power, 200),
        ROW(set_setup_param_info, record_with<SETUP_PARAM_INFO>([](SETUP_PARAM_INFO &p) {
                p.size = 254;
                for (int i = 0; i < 254; ++i) p.param_info[i] = static_cast<uint8_t>(i);
            })),
        ROW(get_setup_param_info),
        ROW(set_audio_source, AUDIO_SOURCE_ID(0x92)),
        ROW(get_audio_source),
        ROW(set_audio_setting_info, zero_record<AUDIO_SETTING_TYPE_INFO>()),
        ROW(get_audio_setting_info),
        ROW(set_audio_aux_gain, AUDIO_AUX_GAIN_ID(2)),
        ROW(get_audio_aux_gain),
        ROW(set_audio_beep, BEEP_STATUS_ID(1)),
        ROW(get_audio_beep),
        ROW(set_audio_speed_volume, AUDIO_SPEED_VOLUME_ID(3)),
        ROW(get_audio_speed_volume),
        ROW(get_audio_speed),
        ROW(set_audio_navi_mix_status, zero_record<NAVIGATION_BROADCAST_ID>()),
        ROW(set_main_driver_answer_status, MAIN_DRIVER_ANSWER_ID(1)),
        ROW(get_main_driver_answer_status),
        ROW(get_aux_plug_status),
        ROW(set_adjust_volume, ADJUST_VOLUME_ID(1)),
        ROW(set_absolutely_volume, zero_record<ABSOLUTELY_VOLUME>()),
        ROW(set_audio_function_switch, AUDIO_FUNCTION_SWITCH(1)),
        ROW(get_audio_function_switch),
        ROW(set_radio_freq, 0x2A3F),
        ROW(set_radio_seek_up),
        ROW(set_radio_seek_down),
        ROW(set_radio_manual_up),
        ROW(set_radio_manual_down),
        ROW(set_radio_ctrl, RADIO_CTRL_ID(1)),
        ROW(call_radio_preset_num, 3),
        ROW(save_radio_preset_num, 4),
        ROW(change_radio_band),
        ROW(radio_fastseek_up),
        ROW(radio_fastseek_down),
        ROW(save_radio_collected_info, record_with<RADIO_COLLECTED_INFO>([](RADIO_COLLECTED_INFO &c) {
                c.size = 63;
                std::memset(c.content, 0x3C, 63);
            })),
        ROW(radio_list_update, UPDATE_CMD(1)),
        ROW(get_radio_notify),
        ROW(get_radio_preset_info, RADIO_BAND_ID(1)),
        ROW(set_radio_band_change_info, zero_record<RADIO_BAND_CHANGE_INFO>()),
        ROW(set_radio_stop_conditions_info, zero_record<RADIO_STOP_CONDITIONS_INFO>()),
        ROW(set_radio_diagnose_info, RADIO_DIAGNOSE_INFO(1)),
        ROW(set_radio_curband_info, RADIO_CURBAND_INFO(1)),
        ROW(get_ign_on_off_status),
        ROW(set_coreboard_resume_info, record_with<COREBOARD_RESUME_INFO>([](COREBOARD_RESUME_INFO &r) {
                r.address_offset = 0x10;
                r.length = 124;
                std::memset(r.data, 0xC4, 124);
            })),
        ROW(get_coreboard_resume_info, 0x0100, 0x0040),
        ROW(send_player_play_skip_status, PLATER_PLAY_SKIP_STATUS_INFO(1)),
        ROW(send_bluetooth_status, zero_record<BLUETOOTH_STATUS_INFO>()),
        ROW(set_video_source, zero_record<VIDEO_SOURCE_INFO>()),
        ROW(get_video_source),
        ROW(set_language, LANGUAGE_ID(2)),
        ROW(get_language),
        ROW(set_ILL_mode, ILL_MODE_ID(1)),
        ROW(get_ILL_mode),
        ROW(set_backlight_status, BACKLIGHT_STATUS_ID(1)),
        ROW(get_backlight_status),
        ROW(set_brightness, 7),
        ROW(get_brightness),
        ROW(set_contrast, 9),
        ROW(get_contrast),
        ROW(set_TFT_daynight_mode_info, zero_record<DAYNIGHT_MODE_INFO>()),
        ROW(send_AVM_setting_menu_exit),
        ROW(set_AVM_setting_info, zero_record<AVM_SETTING_TYPE_INFO>()),
        ROW(get_AVM_setting_info),
        ROW(set_AVM_default_setting),
        ROW(set_MHL_pop_type, MHL_POP_TYPE_ID(1)),
        ROW(update_mainboard_firmware, UPDATE_TYPE_ID(0xAA)),
        ROW(set_coreboard_restart),
        ROW(set_mainboard_default_setting),
        ROW(set_record_play_state, RECORD_PLAY_STATE_ID(1)),
        ROW(set_speaker_diag, SPEAKER_FREQ_ID(2)),
        ROW(save_avm_data_info, record_with<AVM_DATA_INFO>([](AVM_DATA_INFO &a) {
                a.size = 128;
                std::memset(a.content, 0xA7, 128);
            })),
        ROW(send_mcan_info, record_with<MCAN_DATA_INFO>([](MCAN_DATA_INFO &m) {
                m.size = 255;
                std::memset(m.data, 0xFD, 255);
            })),
        ROW(send_host_can, zero_record<MCAN_DATA_INFO>()),
        ROW(send_fcc_can, zero_record<MCAN_DATA_INFO>()),
        ROW(send_rcc_can, zero_record<MCAN_DATA_INFO>()),
        ROW(get_can_info, 0xF7, 0x05),
        ROW(send_hvac_status, zero_record<HVAC_STATUS>()),
        ROW(send_hvac_diag_entry, zero_record<HVAC_DIAG_CTRL_INFO>()),
        ROW(send_hvac_diag_read_status, zero_record<HVAC_DIAG_CTRL_INFO>()),
        ROW(send_hvac_diag_exit),
        ROW(send_hvac_diag_unit_test_mode, HVAC_DIAG_CTRL_UT_MODE_ID(2)),
    };
    return rows;
}

// Each thread also sends markers, CAN frames naming the thread and a
// sequence number, by which the server checks each thread's order.
MCAN_DATA_INFO marker(int thread, uint32_t seq) {
    MCAN_DATA_INFO m{};
    m.size = 6;
    const uint8_t bytes[] = {'S', static_cast<uint8_t>(thread), static_cast<uint8_t>(seq >> 16),
                             static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), 'Z'};
    std::memcpy(m.data, bytes, sizeof bytes);
    return m;
}

bool is_marker(const Bytes &f) { return f[4] == 0xFD && f[5] == 6 && f[6] == 'S' && f[11] == 'Z'; }

// ---- inbound messages and their handlers --------------------------------

// The inbound stream repeats a pool of frames: every id that has a
// decoding rule, at varied lengths, and version requests between them.
std::vector<std::pair<uint8_t, Bytes>> inbound_pool() {
    std::vector<uint8_t> ids;
    for (const mcu_agent::protocol::Message &m : mcu_agent::protocol::messages()) ids.push_back(m.id);
    std::vector<std::pair<uint8_t, Bytes>> pool;
    for (std::size_t k = 0; k < 300; ++k) {
        const uint8_t id = k % 5 == 4 ? uint8_t{MCU_MSG_GET_VERSION_INFO} : ids[k * 7 % ids.size()];
        Bytes payload(k * 37 % 256);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(k + i * 3);
        pool.emplace_back(id, std::move(payload));
    }
    return pool;
}

std::vector<PACKET_MSG> g_expected;  // decoded pool, written before the library connects
std::atomic<uint32_t> g_delivered{0};
std::atomic<uint32_t> g_wrong{0};
std::atomic<uint32_t> g_first_wrong{~0u};
std::atomic<uint32_t> g_answers_sent{0};
std::atomic<uint32_t> g_answers_failed{0};
std::atomic<bool> g_checking{false};

VERSION_INFO version_answer() {
    VERSION_INFO v{};
    v.type = VERSION_TYPE_BT;
    std::memcpy(v.version_buffer, "ANSWER", 6);
    v.size = 6;
    return v;
}

// Runs on the packet-handle thread, one message at a time.
void check_message(PACKET_MSG *packet) {
    if (!g_checking) {  // decoding the pool
        mcu_agent_test::record_packet(packet);
        return;
    }
    const uint32_t n = g_delivered.load(std::memory_order_relaxed);
    const PACKET_MSG &want = g_expected[n % g_expected.size()];
    if (packet->mcu_msg_id != want.mcu_msg_id || packet->size != want.size ||
        std::memcmp(packet->data, want.data, sizeof want.data) != 0) {
        uint32_t none = ~0u;
        g_first_wrong.compare_exchange_strong(none, n);
        ++g_wrong;
    }
    if (packet->mcu_msg_id == MCU_MSG_GET_VERSION_INFO) {
        VERSION_INFO v = version_answer();
        if (McuAgent_send_version_info(&v) == 7 + 1 + 6)
            ++g_answers_sent;
        else
            ++g_answers_failed;
    }
    g_delivered.store(n + 1, std::memory_order_release);
}

MCU_MSG_HANDLE_REGISTER *check_every_id() {
    static std::array<MCU_MSG_HANDLE_REGISTER, 256> table = [] {
        std::array<MCU_MSG_HANDLE_REGISTER, 256> t{};
        for (int id = 0; id < 255; ++id) t[static_cast<std::size_t>(id)] = {static_cast<MCU_MSG_ID>(id), check_message};
        t[255] = {MCU_MSG_MAX_ID, nullptr};
        return t;
    }();
    return table.data();
}

bool checksum_ok(const Bytes &f) { return mcu_agent::wire::is_request_frame(f.data(), f.size()); }

TEST(StressTest, SixteenSendersAndAnInboundStreamWithAnsweringHandlers) {
    using Clock = std::chrono::steady_clock;
    const auto pool = inbound_pool();
    uint32_t version_requests = 0;
    for (uint32_t j = 0; j < kInbound; ++j) version_requests += pool[j % pool.size()].first == MCU_MSG_GET_VERSION_INFO;

    // Decode the pool with the library's decoders before it connects (the
    // entry point keeps the table although no server answers yet).
    mcu_agent_test::capture_stdout([&] {
        McuAgent_client_init(check_every_id());
        for (const auto &[id, payload] : pool) {
            PACKET_MSG p;
            mcu_agent_test::dispatch_frame(id, payload, &p);
            g_expected.push_back(p);
        }
    });

    AgentServer server;
    MCU_AGENT_API *api = nullptr;
    mcu_agent_test::capture_stdout([&] { api = McuAgent_client_init(check_every_id()); });
    ASSERT_NE(api, nullptr);
    ASSERT_TRUE(server.accept_client());

    // The frame each request writes, learnt one at a time.
    std::map<Bytes, std::size_t> row_of;
    std::vector<Bytes> frame_of;
    for (std::size_t r = 0; r < requests().size(); ++r) {
        const int result = requests()[r](*api);
        const auto f = server.read_frame();
        ASSERT_TRUE(f.has_value()) << "request " << r;
        ASSERT_EQ(result, static_cast<int>(f->size())) << "request " << r;
        ASSERT_TRUE(checksum_ok(*f)) << "request " << r;
        ASSERT_TRUE(row_of.emplace(*f, r).second) << "requests " << r << " and " << row_of[*f] << " write the same frame";
        frame_of.push_back(*f);
    }
    VERSION_INFO answer = version_answer();
    ASSERT_EQ(McuAgent_send_version_info(&answer), 14);
    const auto answer_frame = server.read_frame();
    ASSERT_TRUE(answer_frame.has_value());
    ASSERT_EQ(row_of.count(*answer_frame), 0u);
    g_checking = true;

    const auto start = Clock::now();
    // The server reads everything that comes while it streams.
    const std::size_t outbound_total = std::size_t{kThreads} * kRequestsPerThread * 2 + version_requests;
    std::map<Bytes, uint32_t> frame_counts;
    std::array<uint32_t, kThreads> next_marker{};
    std::atomic<uint32_t> broken{0};
    uint32_t answers = 0;
    std::thread reader([&] {
        for (std::size_t n = 0; n < outbound_total; ++n) {
            const auto f = server.read_frame(30000);
            if (!f || !checksum_ok(*f)) {
                ++broken;
                return;
            }
            if (is_marker(*f)) {
                const int t = (*f)[7];
                const uint32_t seq = uint32_t{(*f)[8]} << 16 | uint32_t{(*f)[9]} << 8 | (*f)[10];
                if (t >= kThreads || seq != next_marker[static_cast<std::size_t>(t)]++) ++broken;
            } else if (*f == *answer_frame) {
                ++answers;
            } else if (row_of.count(*f)) {
                ++frame_counts[*f];
            } else {
                ++broken;
            }
        }
    });
    std::thread streamer([&] {
        Bytes chunk;
        for (uint32_t j = 0; j < kInbound; ++j) {
            const auto &[id, payload] = pool[j % pool.size()];
            const Bytes f = inbound_frame(id, payload);
            chunk.insert(chunk.end(), f.begin(), f.end());
            if (chunk.size() > 3000 || j + 1 == kInbound) {
                if (!server.send(chunk)) return;
                chunk.clear();
            }
        }
    });
    std::atomic<uint32_t> bad_results{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (uint32_t i = 0; i < kRequestsPerThread; ++i) {
                MCAN_DATA_INFO m = marker(t, i);
                if (api->send_mcan_info(&m) != 13) ++bad_results;
                const std::size_t r = (static_cast<std::size_t>(t) * 11 + i) % requests().size();
                if (requests()[r](*api) != static_cast<int>(frame_of[r].size())) ++bad_results;
            }
        });
    }
    for (std::thread &s : senders) s.join();
    streamer.join();
    reader.join();
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (g_delivered.load(std::memory_order_acquire) < kInbound && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Inbound: every message once, in order, decoded as it must be; one
    // answer for each version request, all sent whole.
    EXPECT_EQ(g_delivered.load(), kInbound);
    EXPECT_EQ(g_wrong.load(), 0u) << "first wrong delivery: " << g_first_wrong.load();
    EXPECT_EQ(g_answers_sent.load(), version_requests);
    EXPECT_EQ(g_answers_failed.load(), 0u);
    // Outbound: whole frames only, each thread's markers in order, every
    // request frame exactly as often as it was sent.
    EXPECT_EQ(broken.load(), 0u);
    EXPECT_EQ(bad_results.load(), 0u);
    EXPECT_EQ(answers, version_requests);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next_marker[static_cast<std::size_t>(t)], kRequestsPerThread) << t;
    std::map<Bytes, uint32_t> sent_counts;
    for (int t = 0; t < kThreads; ++t)
        for (uint32_t i = 0; i < kRequestsPerThread; ++i)
            ++sent_counts[frame_of[(static_cast<std::size_t>(t) * 11 + i) % requests().size()]];
    EXPECT_TRUE(frame_counts == sent_counts);
    EXPECT_TRUE(server.nothing_arrives(100));
    std::printf("%zu frames out, %u in, in %.2f s\n", outbound_total, kInbound, seconds);
}

}  // namespace
