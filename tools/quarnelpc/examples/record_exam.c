/* Records one exam with libquarnelpc's C interface: finds a terminal (or
 * takes the one named), connects, selects headbox 1, switches sync on,
 * stores the headboxes' stream for a time, switches sync off and closes.
 * No event loop, no Qt: every call waits, with a time-out, for its result.
 *
 *   record_exam_c [HOST] [SECONDS] [FILE]   (defaults: discover, 5, exam.bin;
 *                                            an empty HOST discovers too)
 *
 * Built against the installed library:
 *   cc -o record_exam_c record_exam.c $(pkg-config --cflags --libs quarnelpc)
 * The exit status is the library's error value (0 when the exam was recorded). */

#include <quarnelpc/quarnelpc_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    DiscoverMs = 30000,
    ConnectMs = 5000,
    AnswerMs = 3000,
    ReadMs = 1000,
    /* Stream bytes may still be on their way when "ok" for sync off comes
       on the other connection: read until the stream has been quiet this long. */
    QuietMs = 500,
    CloseMs = 3000
};

static int fail(quarnelpc_error error, const char *what)
{
    fprintf(stderr, "record_exam_c: %s: %s (%s)\n", what, quarnelpc_last_message(), quarnelpc_error_text(error));
    return (int)error;
}

static double nowSeconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* 1. The first terminal that announces itself. */
static quarnelpc_error discover(quarnelpc_announcement *found)
{
    quarnelpc_discovery *discovery = NULL;
    quarnelpc_error error = quarnelpc_discovery_open(&discovery);
    if (error != QUARNELPC_OK)
        return error;
    printf("listening for terminals\n");
    error = quarnelpc_discovery_next(discovery, found, DiscoverMs);
    quarnelpc_discovery_close(discovery);
    if (error == QUARNELPC_OK)
        printf("found %s: %s, %d headboxes, port %u\n", found->terminal, found->headbox_serial,
               found->headbox_count, (unsigned)found->data_port);
    return error;
}

/* 2. A command, and its "ok". */
static quarnelpc_error command(quarnelpc_terminal *terminal, int code, int32_t value, const char *text)
{
    double ms = 0;
    const quarnelpc_error error = quarnelpc_command(terminal, code, &value, 1, AnswerMs, &ms);
    if (error == QUARNELPC_OK)
        printf("ok  %s  (%.1f ms)\n", text, ms);
    return error;
}

/* 3. The stream into the file, until the time is over (seconds > 0) or the
 * stream has been quiet for QuietMs (seconds == 0). */
static quarnelpc_error store(quarnelpc_terminal *terminal, FILE *out, double seconds, unsigned long long *total)
{
    static char buffer[65536];
    const double end = nowSeconds() + seconds;
    for (;;) {
        size_t got = 0;
        const int waitMs = seconds > 0 ? ReadMs : QuietMs;
        const quarnelpc_error error = quarnelpc_read(terminal, buffer, sizeof buffer, &got, waitMs);
        if (error == QUARNELPC_E_TIMED_OUT && seconds == 0)
            return QUARNELPC_OK;
        if (error != QUARNELPC_OK && error != QUARNELPC_E_TIMED_OUT)
            return error;
        if (got > 0 && fwrite(buffer, 1, got, out) != got) {
            fprintf(stderr, "record_exam_c: cannot write the file\n");
            return QUARNELPC_E_FAILURE;
        }
        *total += got;
        if (seconds > 0 && nowSeconds() >= end)
            return QUARNELPC_OK;
    }
}

static int record(const char *host, uint16_t dataPort, int seconds, FILE *out)
{
    quarnelpc_terminal *terminal = NULL;
    printf("connecting to %s\n", host);
    quarnelpc_error error = quarnelpc_connect(host, dataPort, 0, ConnectMs, &terminal);
    if (error != QUARNELPC_OK)
        return fail(error, "connect");

    unsigned long long total = 0;
    const char *step = "read 1";
    error = command(terminal, QUARNELPC_HEADBOX_READ, 1, "read 1");
    if (error == QUARNELPC_OK) {
        step = "sync on";
        error = command(terminal, QUARNELPC_SYNC, 1, "sync on");
    }
    if (error == QUARNELPC_OK) {
        step = "recording";
        error = store(terminal, out, seconds, &total);
    }
    if (error == QUARNELPC_OK) {
        step = "sync off";
        error = command(terminal, QUARNELPC_SYNC, 0, "sync off");
    }
    if (error == QUARNELPC_OK) {
        step = "recording";
        error = store(terminal, out, 0, &total);
    }
    if (error != QUARNELPC_OK) {
        const int status = fail(error, step);
        quarnelpc_close(terminal, CloseMs);
        return status;
    }
    error = quarnelpc_close(terminal, CloseMs);
    if (error != QUARNELPC_OK)
        return fail(error, "close");
    printf("recorded %llu bytes\n", total);
    return 0;
}

int main(int argc, char *argv[])
{
    const char *host = argc > 1 ? argv[1] : "";
    const int seconds = argc > 2 ? atoi(argv[2]) : 5;
    const char *file = argc > 3 ? argv[3] : "exam.bin";
    FILE *out = seconds > 0 ? fopen(file, "wb") : NULL;
    if (!out) {
        fprintf(stderr, "usage: record_exam_c [HOST] [SECONDS] [FILE]\n");
        return QUARNELPC_E_USAGE;
    }

    uint16_t dataPort = 0;
    quarnelpc_announcement found;
    if (!*host) {
        const quarnelpc_error error = discover(&found);
        if (error != QUARNELPC_OK) {
            fclose(out);
            return fail(error, "discover");
        }
        host = found.terminal;
        dataPort = found.data_port;
    }
    const int status = record(host, dataPort, seconds, out);
    if (fclose(out) != 0 && status == 0) {
        fprintf(stderr, "record_exam_c: cannot write %s\n", file);
        return QUARNELPC_E_FAILURE;
    }
    return status;
}
