// log.h - every line the library prints goes through here: to the
// application's log handler when it set one, otherwise to standard output
// or standard error exactly as printf/puts/perror would print it.
#ifndef MCU_AGENT_LOG_H
#define MCU_AGENT_LOG_H

namespace mcu_agent {

enum LogLevel { kLogError = 0, kLogWarning = 1, kLogInfo = 2 };

// One line in printf style; `text` ends in "\n" as printf's would.  Goes to
// standard output by default.  Never call with a library lock held: the
// line may block on a full pipe or in the application's handler.
void log_line(LogLevel level, const char *format, ...) __attribute__((format(printf, 2, 3)));
// As perror(text) would print it, on standard error by default; errno is
// read at the call.
void log_perror(const char *text);

// After fork(), in the child: the lock may have been held by a thread that
// does not exist there.
void log_after_fork_in_child();

}  // namespace mcu_agent

#endif  // MCU_AGENT_LOG_H
