/* Installed setuid root and run by another user: the library must ignore
 * the environment that user chose (the agent's socket, the trace file). */
#include <stdio.h>
#include <unistd.h>

#include <mcu_agent_api.h>

int main(void)
{
    printf("euid %d\n", (int)geteuid());
    fflush(stdout);
    McuAgent_client_init(NULL);
    return 0;
}
