// child.h - runs a scenario that could hang in a child process with a time
// limit, so that a fault fails the test instead of stopping the suite.
#ifndef MCU_AGENT_TEST_CHILD_H
#define MCU_AGENT_TEST_CHILD_H

#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace mcu_agent_test {

// `body`'s exit status, 128 + the signal that ended it, or -1 when it did
// not end within `limit` (it is killed then).  `meanwhile` runs in this
// process once the child exists: threads that serve the child start there,
// since a process with threads must not fork (ThreadSanitizer refuses).
inline int in_child(const std::function<int()> &body, std::chrono::milliseconds limit,
                    const std::function<void()> &meanwhile = {}) {
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) _exit(body());
    if (meanwhile) meanwhile();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace mcu_agent_test

#endif
