/*
 * client.h - link transport of the MCU agent client: the receive ring
 * buffer and the socket client with its two worker threads.
 *
 * The receive thread moves bytes from the agent socket into the ring; the
 * packet-handle thread pops one inbound frame at a time (message id, length
 * byte, payload) and hands it to the transport callback.
 */
#ifndef MCU_AGENT_CLIENT_H
#define MCU_AGENT_CLIENT_H

#include <pthread.h>

#ifndef MCU_AGENT_EXPORT
#if defined(__GNUC__) || defined(__clang__)
#define MCU_AGENT_EXPORT __attribute__((visibility("default")))
#else
#define MCU_AGENT_EXPORT
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Capacity of the receive ring in bytes. */
#define RECEIVE_BUFFER_MSG_SIZE 2048
/* The largest popped frame: id, length byte and 255 payload bytes. */
#define RECEIVE_BUFFER_MSG_MAX_POP 257

/* Circular byte store between the receive thread and the packet-handle
 * thread.  Push and pop do not lock; callers hold buffer_mutex around each
 * call (socket_receive_buffer_msg_lock / _unlock). */
typedef struct {
    unsigned char *buffer;        /* RECEIVE_BUFFER_MSG_SIZE bytes, owned */
    int size;                     /* capacity */
    int fill_offset;              /* write position */
    int handle_offset;            /* read position */
    unsigned char is_full_flag;   /* 1 when all bytes are occupied */
    pthread_mutex_t buffer_mutex;
    /* 1 while pop is skipping bytes that do not start a frame, so that a
     * run of garbage is reported once, however it is chunked. */
    unsigned char resync_flag;
} RECEIVE_BUFFER_MSG;

/* Called on the packet-handle thread once per inbound frame with the
 * connected descriptor, the popped frame (id, length, payload; zero beyond)
 * and its byte count (L + 2).  The result is ignored. */
typedef int (*SOCKET_RECEIVE_CALLBACK_FUNC)(int socket_fd, void *msg, int size);

typedef struct {
    int socket_fd;
    SOCKET_RECEIVE_CALLBACK_FUNC socket_receive_callback_func;
} SOCKET_MSG;

/* Ring operations. */
MCU_AGENT_EXPORT int socket_receive_buffer_msg_init(RECEIVE_BUFFER_MSG *receive_buffer_msg);
MCU_AGENT_EXPORT int socket_receive_buffer_msg_free(RECEIVE_BUFFER_MSG *receive_buffer_msg);
MCU_AGENT_EXPORT int socket_receive_buffer_msg_lock(RECEIVE_BUFFER_MSG *receive_buffer_msg);
MCU_AGENT_EXPORT int socket_receive_buffer_msg_unlock(RECEIVE_BUFFER_MSG *receive_buffer_msg);
/* Appends size bytes; 0 when stored, -1 when refused (nothing stored). */
MCU_AGENT_EXPORT int socket_receive_buffer_msg_push(RECEIVE_BUFFER_MSG *receive_buffer_msg,
                                                    unsigned char *msg, int size);
/* Removes one complete inbound frame and writes id, length and payload to
 * msg (room for RECEIVE_BUFFER_MSG_MAX_POP bytes); returns L + 2, or -1 when
 * no complete frame is stored.  Bytes that do not start with the lead bytes
 * are reported once and skipped up to the next lead-byte pair. */
MCU_AGENT_EXPORT int socket_receive_buffer_msg_pop(RECEIVE_BUFFER_MSG *receive_buffer_msg, char *msg);

/* Socket client. */
/* Connects to the agent server and starts the worker threads.  Returns the
 * connected descriptor (> 0), or -1.  While a connection stands it returns
 * that connection's descriptor and starts nothing new. */
MCU_AGENT_EXPORT int socket_client_init(SOCKET_RECEIVE_CALLBACK_FUNC socket_receive_callback_func);
/* Sends one whole frame on the current connection: size on success, -1
 * without a working connection or on failure.  Never raises SIGPIPE. */
MCU_AGENT_EXPORT int socket_send(char *msg, int size);
/* Same on a descriptor of the caller's. */
MCU_AGENT_EXPORT int socket_sendto(int sockfd, char *msg, int size);
MCU_AGENT_EXPORT int create_detached_thread(pthread_t *thread, void *(*thread_function)(void *), void *arg);

#ifdef __cplusplus
}
#endif

#endif /* MCU_AGENT_CLIENT_H */
