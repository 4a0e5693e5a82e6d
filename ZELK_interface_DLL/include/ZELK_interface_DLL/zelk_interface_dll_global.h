#ifndef ZELK_INTERFACE_DLL_GLOBAL_H
#define ZELK_INTERFACE_DLL_GLOBAL_H

#include <QtGlobal>

// The library is built with hidden visibility: only what carries this macro
// (the facade and the simulated FPGA's test API) is visible to its users.
#if defined(ZELK_INTERFACE_DLL_LIBRARY)
#define ZELK_INTERFACE_DLL_EXPORT Q_DECL_EXPORT
#else
#define ZELK_INTERFACE_DLL_EXPORT Q_DECL_IMPORT
#endif

#endif
