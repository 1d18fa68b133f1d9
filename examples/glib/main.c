/*
 * main.c - the GLib adapter in use: a GMainLoop application whose
 * deliveries all run on its main thread.  It prints every message it is
 * given (by field name), answers the MCU's version request, then asks for
 * a few states one after the other with McuAgent_call_async, each
 * completion (also on the main thread) starting the next request.
 *
 * Exit status: 0 when every request was answered and every delivery ran on
 * the main thread, 1 otherwise, 2 when the agent could not be reached.
 */
#include <stdio.h>
#include <string.h>

#include <mcu_agent_api.h>

#include "mcu_agent_glib.h"

typedef struct {
    const char *name;
    MCU_AGENT_REQUEST send;
} Request;

static const Request requests[] = {
    {"McuAgent_get_ign_on_off_status", McuAgent_get_ign_on_off_status},
    {"McuAgent_get_audio_power", McuAgent_get_audio_power},
    {"McuAgent_get_audio_source", McuAgent_get_audio_source},
    {"McuAgent_get_mainboard_version_info", McuAgent_get_mainboard_version_info},
};
#define REQUEST_COUNT ((int)(sizeof requests / sizeof requests[0]))

static GMainLoop *loop;
static GThread *main_thread;
static int next_request, answered, off_main;

static void on_main_thread_or_count(void) {
    if (g_thread_self() != main_thread) ++off_main;
}

static void answer_version(uint8_t type) {
    static const char text[] = "glib-demo 1.0";
    VERSION_INFO info;
    memset(&info, 0, sizeof info);
    info.type = type == VERSION_TYPE_BT ? VERSION_TYPE_BT : VERSION_TYPE_HMI;
    info.size = sizeof text - 1;
    memcpy(info.version_buffer, text, info.size);
    printf("-> McuAgent_send_version_info(\"%s\") = %d\n", text, McuAgent_send_version_info(&info));
}

static void on_message(const PACKET_MSG *msg, void *user) {
    (void)user;
    on_main_thread_or_count();
    char line[1024];
    McuAgent_format_msg(msg, line, sizeof line);
    printf("<- %s\n", line);
    if (msg->mcu_msg_id == MCU_MSG_GET_VERSION_INFO) answer_version(msg->data[0]);
}

static void on_connection(int connected, void *user) {
    (void)user;
    on_main_thread_or_count();
    printf("connection: %s\n", connected ? "up" : "down");
    if (!connected) g_main_loop_quit(loop);
}

static void request_next(void);

static void on_answer(MCU_AGENT_CALL_RESULT result, const PACKET_MSG *answer, void *user) {
    const Request *r = user;
    on_main_thread_or_count();
    printf("   %s: %s%s%s\n", r->name, McuAgent_call_result_text(result), answer ? ", " : "",
           answer ? McuAgent_msg_name(answer->mcu_msg_id) : "");
    answered += result == MCU_AGENT_CALL_OK;
    request_next();
}

static void request_next(void) {
    if (next_request == REQUEST_COUNT) {
        g_main_loop_quit(loop);
        return;
    }
    const Request *r = &requests[next_request++];
    MCU_AGENT_CALL_RESULT sent = McuAgent_call_async(r->send, 1000, on_answer, (void *)r, NULL);
    printf("-> %s: %s\n", r->name, sent == MCU_AGENT_CALL_OK ? "sent" : McuAgent_call_result_text(sent));
    if (sent != MCU_AGENT_CALL_OK) request_next();
}

static gboolean start_requests(gpointer unused) {
    (void)unused;
    request_next();
    return G_SOURCE_REMOVE;
}

static gboolean give_up(gpointer unused) {
    (void)unused;
    printf("   !! gave up after 10 s\n");
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

int main(void) {
    setvbuf(stdout, NULL, _IOLBF, 0);
    main_thread = g_thread_self();
    if (McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION) != 0) {
        perror("McuAgent_set_dispatch_mode");
        return 2;
    }
    GSource *source = mcu_agent_source_new();
    if (!source) {
        perror("McuAgent_get_fd");
        return 2;
    }
    g_source_attach(source, NULL);
    McuAgent_add_listener(MCU_AGENT_ANY_MESSAGE, on_message, NULL);
    McuAgent_add_connection_listener(on_connection, NULL);
    if (!McuAgent_client_init(NULL)) { /* no table: the listener hears everything */
        printf("cannot reach the agent: is mcu-agent-sim running?\n");
        return 2;
    }
    printf("-> McuAgent_hmi_startup() = %d\n", McuAgent_hmi_startup());
    loop = g_main_loop_new(NULL, FALSE);
    g_idle_add(start_requests, NULL);
    g_timeout_add(10000, give_up, NULL);
    g_main_loop_run(loop);
    g_source_destroy(source);
    g_source_unref(source);
    McuAgent_shutdown(); /* what is left is delivered here, on this thread */
    g_main_loop_unref(loop);
    printf("%d of %d requests answered; deliveries off the main thread: %d\n", answered, REQUEST_COUNT, off_main);
    return answered == REQUEST_COUNT && off_main == 0 ? 0 : 1;
}
