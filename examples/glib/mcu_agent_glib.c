/* mcu_agent_glib.c - see mcu_agent_glib.h. */
#include "mcu_agent_glib.h"

#include <errno.h>

#include <mcu_agent_api.h>

typedef struct {
    GSource source;
    gpointer fd_tag;
    gboolean resting; /* another thread dispatched: the descriptor is not watched for a moment */
} McuAgentSource;

/* How long the source rests when another thread dispatches, rather than
 * spin on the readable descriptor. */
#define REST_US 10000

static gboolean mcu_agent_source_dispatch(GSource *source, GSourceFunc callback, gpointer user_data) {
    (void)callback;
    (void)user_data;
    McuAgentSource *s = (McuAgentSource *)source;
    if (s->resting) {
        s->resting = FALSE;
        g_source_set_ready_time(source, -1);
        g_source_modify_unix_fd(source, s->fd_tag, G_IO_IN);
    }
    if (McuAgent_dispatch(MCU_AGENT_GLIB_BATCH) < 0 && errno == EBUSY) {
        s->resting = TRUE;
        g_source_modify_unix_fd(source, s->fd_tag, 0);
        g_source_set_ready_time(source, g_source_get_time(source) + REST_US);
    }
    return G_SOURCE_CONTINUE;
}

/* No prepare or check: GLib dispatches a source whose descriptor polled
 * ready, or whose ready time came. */
static GSourceFuncs mcu_agent_source_funcs = {
    NULL, NULL, mcu_agent_source_dispatch, NULL, NULL, NULL,
};

GSource *mcu_agent_source_new(void) {
    int fd = McuAgent_get_fd();
    if (fd < 0) return NULL;
    GSource *source = g_source_new(&mcu_agent_source_funcs, sizeof(McuAgentSource));
    McuAgentSource *s = (McuAgentSource *)source;
    s->fd_tag = g_source_add_unix_fd(source, fd, G_IO_IN);
    s->resting = FALSE;
    g_source_set_name(source, "mcu_agent");
    return source;
}
