// log.cpp - the library's diagnostic lines and the application's sink for
// them.
#include "log.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "mcu_agent_api.h"

namespace mcu_agent {

namespace {

using LogHandler = void (*)(int level, const char *line, void *user);

// The handler and its argument change together, so they are read as a
// pair under a lock that is never held while a line is written.
pthread_mutex_t g_log_mutex = PTHREAD_MUTEX_INITIALIZER;
LogHandler g_handler = nullptr;
void *g_user = nullptr;

bool current_handler(LogHandler *handler, void **user) {
    pthread_mutex_lock(&g_log_mutex);
    *handler = g_handler;
    *user = g_user;
    pthread_mutex_unlock(&g_log_mutex);
    return *handler != nullptr;
}

// Hands the line to the handler without its trailing newline; returns
// false when there is no handler.
bool to_handler(LogLevel level, char *line) {
    LogHandler handler;
    void *user;
    if (!current_handler(&handler, &user)) return false;
    size_t n = strlen(line);
    while (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    handler(level, line, user);
    return true;
}

// To the handler, or else to `stream` as printf/perror would write it.
void emit(LogLevel level, FILE *stream, char *line) {
    if (to_handler(level, line)) return;
    fputs(line, stream);
    fflush(stream);
}

}  // namespace

void log_line(LogLevel level, const char *format, ...) {
    char line[320];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    emit(level, stdout, line);
}

void log_perror(const char *text) {
    const int error = errno;
    char line[320];
    char reason[128];
    // The GNU strerror_r returns the text, which may not be in `reason`.
    const char *why = strerror_r(error, reason, sizeof reason);
    snprintf(line, sizeof line, "%s: %s\n", text, why);
    emit(kLogError, stderr, line);
}

void log_after_fork_in_child() { pthread_mutex_init(&g_log_mutex, nullptr); }

}  // namespace mcu_agent

extern "C" void McuAgent_set_log_handler(void (*handler)(int level, const char *line, void *user), void *user) {
    using namespace mcu_agent;
    pthread_mutex_lock(&g_log_mutex);
    g_handler = handler;
    g_user = handler ? user : nullptr;
    pthread_mutex_unlock(&g_log_mutex);
}
