/* can_echo - every frame received on one CAN channel is sent on another
 * with its identifier plus one: the skeleton of a CAN application on
 * canport. It sleeps until a frame arrives (CAN_ReadWait), waits until the
 * gateway driver has published its channels, and ends on SIGINT or SIGTERM.
 *
 *   can_echo [FROM [TO]]      default: from channel 0 to channel 1
 */
#include "canport.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifndef CAN_ECHO_VERSION
#define CAN_ECHO_VERSION "0"
#endif

static volatile sig_atomic_t stopping = 0;

static void stop(int signal_number)
{
    (void)signal_number;
    stopping = 1;
}

static void pause_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static const char usage[] =
    "usage: can_echo [FROM [TO]]\n"
    "Sends every CAN frame received on channel FROM (default 0) on channel TO\n"
    "(default 1) with its identifier plus one, until SIGINT or SIGTERM.\n"
    "The node: RT_NODE_DIR; canport.rsl is found through RT_LIBRARY_PATH.\n";

int main(int argc, char **argv)
{
    if (argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(usage, stdout);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        printf("can_echo %s\n", CAN_ECHO_VERSION);
        return 0;
    }
    int from = argc > 1 ? atoi(argv[1]) : 0;
    int to = argc > 2 ? atoi(argv[2]) : 1;
    CanPortApi can;
    if (CanPortBind(&can) != 0) {
        fprintf(stderr, "can_echo: canport.rsl cannot be loaded (looked for in %s; RT_LIBRARY_PATH names more folders)\n",
                RtLibrarySearchPath());
        return 1;
    }
    /* No SA_RESTART: a signal ends the wait for a frame at once. */
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    unsigned long echoed = 0, lost = 0, refused = 0;
    int waiting_reported = 0;
    while (!stopping) {
        uint32_t id = 0, length = 0;
        uint8_t extended = 0, rtr = 0, data[8];
        int32_t waiting = can.read_wait(from, &id, &extended, &rtr, &length, data, -1);
        if (waiting == -1) { /* the driver has not published its channels yet */
            if (!waiting_reported)
                fprintf(stderr, "can_echo: waiting for the CAN channels\n");
            waiting_reported = 1;
            pause_ms(100);
            continue;
        }
        if (waiting < 0) {
            fprintf(stderr, "can_echo: channel %d: error %d\n", from, (int)waiting);
            return 1;
        }
        if (waiting == 0)
            continue; /* a signal ended the wait */
        uint32_t next = (id + 1) & (extended ? 0x1FFFFFFFu : 0x7FFu);
        int32_t queued = can.write(to, next, extended, rtr, rtr ? 0 : (int32_t)length, data);
        if (queued == -7)
            ++lost; /* the send queue was full: this frame was not sent */
        else if (queued == -8)
            ++refused; /* an extended frame for a standard-format gateway */
        else if (queued < 0) {
            fprintf(stderr, "can_echo: channel %d: error %d\n", to, (int)queued);
            return 1;
        } else
            ++echoed;
    }
    printf("can_echo: %lu frames echoed from channel %d to %d, %lu lost to a full queue, %lu extended frames refused "
           "by a standard-format channel\n",
           echoed, from, to, lost, refused);
    return 0;
}
