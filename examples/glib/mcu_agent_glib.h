/*
 * mcu_agent_glib.h - the MCU agent client library's deliveries on a GLib
 * main loop.
 *
 * In the application's dispatch mode the library runs nothing of the
 * application on its own threads: handlers, listeners, connection events
 * and call completions wait until the application calls McuAgent_dispatch,
 * and McuAgent_get_fd is readable exactly while some wait.  This source
 * watches that descriptor and dispatches from the main context it is
 * attached to, so every delivery runs on the thread that iterates that
 * context, in order.
 *
 *     McuAgent_set_dispatch_mode(MCU_AGENT_DISPATCH_APPLICATION);   first
 *     GSource *source = mcu_agent_source_new();
 *     g_source_attach(source, NULL);                  the default context
 *     McuAgent_client_init(table);
 *     g_main_loop_run(loop);
 *     g_source_destroy(source);                       before the shutdown,
 *     g_source_unref(source);                         which closes the
 *     McuAgent_shutdown();                            descriptor
 *
 * One per process (the library has one connection).  A delivery that runs
 * a nested main loop is not re-entered: GLib does not dispatch a source
 * from inside its own dispatch.  Copy the two files into the application;
 * they use only <mcu_agent_api.h> and GLib.
 */
#ifndef MCU_AGENT_GLIB_H
#define MCU_AGENT_GLIB_H

#include <glib.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Deliveries run at most this many per dispatch before the loop turns
 * again (timers, other sources); the descriptor stays readable, so the
 * rest follow on the next iteration. */
#define MCU_AGENT_GLIB_BATCH 64

/* A new source on McuAgent_get_fd, at G_PRIORITY_DEFAULT, not attached;
 * NULL with errno as McuAgent_get_fd left it when the library is not in
 * the application's dispatch mode.  A callback set on it is not used. */
GSource *mcu_agent_source_new(void);

#ifdef __cplusplus
}
#endif

#endif
