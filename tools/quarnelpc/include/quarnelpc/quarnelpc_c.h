#ifndef QUARNELPC_C_H
#define QUARNELPC_C_H

/* The C interface of libquarnelpc, for acquisition programs in any language:
 * find terminals, connect to one, send commands and wait for their "ok",
 * receive the headboxes' stream. Plain types and opaque handles only.
 *
 * No event loop of the caller is needed. Each handle (a discovery, a
 * terminal) does its network work on a thread of its own that the library
 * starts and ends; it needs no QCoreApplication and works the same from a
 * plain C program, from any thread and from a Qt program.
 *
 * Thread rules:
 *  - Every call may be made from any thread. On one terminal, commands
 *    wait for each other, and so do reads; one thread may read the stream
 *    while another sends commands. Different handles never wait for each
 *    other. A handle is closed only once no other call on it is running.
 *  - Stream callbacks arrive on the terminal's own network thread, one at a
 *    time, in stream order. A callback must return soon and must not call a
 *    function that waits on its own terminal (command, read, close): such a
 *    call returns QUARNELPC_E_USAGE at once. After quarnelpc_close() or
 *    quarnelpc_set_stream_callback() returns, the old callback is no longer
 *    called.
 *  - Qt delivers no network event in a process without a QCoreApplication:
 *    in a program that has none at its first quarnelpc_connect() or
 *    quarnelpc_discovery_open(), the library makes one on a thread of its
 *    own and keeps it until the process ends (the program's locale stays
 *    as it was). A Qt program creates its own before that first call.
 *  - Close every handle before the program ends (and, in a Qt program,
 *    before its QCoreApplication is destroyed).
 *
 * Every call that waits takes a time-out in milliseconds; none waits longer.
 * Errors are the values below, which are also quarnelclient's exit codes;
 * quarnelpc_last_message() gives the text for the calling thread's last
 * failed call. */

#include <stddef.h>
#include <stdint.h>

#include "version.h"

#if defined(QUARNELPC_BUILDING)
#define QUARNELPC_C_API __attribute__((visibility("default")))
#else
#define QUARNELPC_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum quarnelpc_error {
    QUARNELPC_OK = 0,
    QUARNELPC_E_FAILURE = 1,         /* anything else: a port in use */
    QUARNELPC_E_USAGE = 2,           /* a bad argument, or a call this thread may not make now */
    QUARNELPC_E_UNREACHABLE = 3,     /* host not found, no route, network unreachable */
    QUARNELPC_E_REFUSED = 4,         /* nothing listens on the port */
    QUARNELPC_E_BUSY = 5,            /* the terminal closed the connection at once: another PC has it */
    QUARNELPC_E_TIMED_OUT = 6,       /* no connection, no "ok", no bytes or no terminal in time */
    QUARNELPC_E_CONNECTION_LOST = 7, /* the terminal closed the connection, or the network failed */
    QUARNELPC_E_CHECK_FAILED = 8,    /* quarnelclient's: a recorded stream that fails its check */
    QUARNELPC_E_PROTOCOL = 9,        /* the terminal broke the protocol: an "ok" for no command */
    QUARNELPC_E_NO_DATA = 10         /* quarnelclient's: a recording without a byte of the stream */
} quarnelpc_error;

/* The terminal's commands (see docs/protocol.md) and the values each takes
 * in quarnelpc_command(). */
typedef enum quarnelpc_command_code {
    QUARNELPC_CLOCK = 1,              /* 1 value: the link's clock code (8, 12, 16 or 24) */
    QUARNELPC_TRIGGER_OUT = 2,        /* 1 value: rate in 1/100 Hz, 0 = off */
    QUARNELPC_MULTI_HEAD_LAYOUT = 3,  /* 8 values: headboxes, data length, total channels,
                                         samples per packet, channels of headboxes 1 to 4 */
    QUARNELPC_HEADBOX_READ = 4,       /* 1 value: channel, 0 shared, 1 to 4 a headbox */
    QUARNELPC_HEADBOX_WRITE = 5,      /* 1 value: channel */
    QUARNELPC_HEADBOX_READ_WRITE = 6, /* 1 value: channel */
    QUARNELPC_SYNC = 7,               /* 1 value: non-zero on (the headboxes stream), 0 off */
    QUARNELPC_DELAY = 8,              /* 1 value: pause in ms (the terminal bounds it to a minute) */
    QUARNELPC_CLEAR_RECEIVE_PATH = 9  /* no value */
} quarnelpc_command_code;

/* One terminal heard on the LAN. Texts are NUL-terminated, cut to fit. */
typedef struct quarnelpc_announcement {
    char terminal[64];       /* its address, e.g. "198.51.100.10" */
    char headbox_serial[64]; /* serial of the first headbox found */
    int headbox_count;
    uint16_t data_port;      /* to pass to quarnelpc_connect() */
    char connected_to[64];   /* whom it serves, as it says it */
} quarnelpc_announcement;

typedef struct quarnelpc_discovery quarnelpc_discovery;
typedef struct quarnelpc_terminal quarnelpc_terminal;

/* Called with each piece of the stream, on the terminal's network thread. */
typedef void (*quarnelpc_stream_callback)(void *user, const void *bytes, size_t size);

/* QUARNELPC_VERSION of the library loaded. */
QUARNELPC_C_API int quarnelpc_library_version(void);
/* The protocol's software version, "1.9.2022.5" style; a static text. */
QUARNELPC_C_API const char *quarnelpc_protocol_version(void);
/* "timed out" for QUARNELPC_E_TIMED_OUT; a static text. */
QUARNELPC_C_API const char *quarnelpc_error_text(int error);
/* One line on the calling thread's last failed call; "" when none. Valid
 * until this thread's next call. */
QUARNELPC_C_API const char *quarnelpc_last_message(void);

/* Listens for the terminals' broadcasts (several programs on one PC may).
 * Returns at once; *discovery is null on failure. */
QUARNELPC_C_API quarnelpc_error quarnelpc_discovery_open(quarnelpc_discovery **discovery);
/* The next announcement heard (the oldest of those not taken yet); waits
 * up to timeout_ms for one, 0 only looks. */
QUARNELPC_C_API quarnelpc_error quarnelpc_discovery_next(quarnelpc_discovery *discovery,
                                                         quarnelpc_announcement *announcement,
                                                         int timeout_ms);
/* Stops listening and frees the handle; null is fine. */
QUARNELPC_C_API void quarnelpc_discovery_close(quarnelpc_discovery *discovery);

/* Connects to the terminal at host (an address or a name); 0 for a port is
 * the terminal's default. Waits up to timeout_ms; *terminal is null on
 * failure. */
QUARNELPC_C_API quarnelpc_error quarnelpc_connect(const char *host, uint16_t data_port, uint16_t answer_port,
                                                  int timeout_ms, quarnelpc_terminal **terminal);
/* Sends a command (values as quarnelpc_command_code lists them) and waits
 * for its "ok": up to timeout_ms, plus the pause a delay command asks for.
 * round_trip_ms, when not null, receives the time to the "ok". On a time-out
 * the connection stays, and the next command may be sent. */
QUARNELPC_C_API quarnelpc_error quarnelpc_command(quarnelpc_terminal *terminal, int code,
                                                  const int32_t *values, size_t count, int timeout_ms,
                                                  double *round_trip_ms);
/* Any command code with any parameter bytes, as the terminal reads them. */
QUARNELPC_C_API quarnelpc_error quarnelpc_raw_command(quarnelpc_terminal *terminal, int code,
                                                      const void *parameters, size_t size, int timeout_ms,
                                                      double *round_trip_ms);
/* Takes up to size bytes of the stream into buffer; *got says how many.
 * Waits up to timeout_ms for the first byte (0 only looks). Once 64 MiB
 * wait unread (minutes of a headbox's stream), the library reads no more
 * from the terminal until the program has caught up to 32 MiB: TCP holds
 * the terminal back, and a headbox that streams on regardless loses words
 * once the terminal's own buffers are full. So read at least as fast as
 * the headboxes stream. Once the connection has ended, what was received
 * before is still read, then the reason it ended is returned. */
QUARNELPC_C_API quarnelpc_error quarnelpc_read(quarnelpc_terminal *terminal, void *buffer, size_t size,
                                               size_t *got, int timeout_ms);
/* From now on the stream goes to callback (null: to quarnelpc_read()
 * again). Bytes already kept for quarnelpc_read() stay there. */
QUARNELPC_C_API quarnelpc_error quarnelpc_set_stream_callback(quarnelpc_terminal *terminal,
                                                              quarnelpc_stream_callback callback,
                                                              void *user);
/* Ends the connection gracefully (what was sent goes out), waiting up to
 * timeout_ms, then frees the handle whatever the result; null is fine. */
QUARNELPC_C_API quarnelpc_error quarnelpc_close(quarnelpc_terminal *terminal, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
