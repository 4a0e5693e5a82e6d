#ifndef QUARNELPC_VERSION_H
#define QUARNELPC_VERSION_H

/* The library's version at compile time, for C and C++ alike. The major
 * number is the SONAME's; a minor number rises with each addition to the
 * interface, so a program may require what it uses:
 *
 *   #if QUARNELPC_VERSION >= QUARNELPC_VERSION_CHECK(1, 1, 0)
 *
 * quarnelpc_library_version() (quarnelpc_c.h) says what was loaded at run
 * time. */
#define QUARNELPC_VERSION_MAJOR 1
#define QUARNELPC_VERSION_MINOR 1
#define QUARNELPC_VERSION_PATCH 0
#define QUARNELPC_VERSION_CHECK(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define QUARNELPC_VERSION \
    QUARNELPC_VERSION_CHECK(QUARNELPC_VERSION_MAJOR, QUARNELPC_VERSION_MINOR, QUARNELPC_VERSION_PATCH)
#define QUARNELPC_VERSION_STR "1.1.0"

#endif
