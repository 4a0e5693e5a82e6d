#ifndef QUARNELPC_GLOBAL_H
#define QUARNELPC_GLOBAL_H

#include <QtGlobal>

// Only what this header marks is exported from libquarnelpc; the rest of the
// library, the terminal's own protocol code included, stays inside it.
#if defined(QUARNELPC_BUILDING)
#define QUARNELPC_EXPORT Q_DECL_EXPORT
#else
#define QUARNELPC_EXPORT Q_DECL_IMPORT
#endif

#endif
