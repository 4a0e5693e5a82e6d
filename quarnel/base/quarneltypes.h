#ifndef QUARNELTYPES_H
#define QUARNELTYPES_H

#include <cstdint>

// Type names of the headbox interface's declarations.
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

#endif
