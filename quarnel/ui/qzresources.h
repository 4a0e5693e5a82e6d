#ifndef QZRESOURCES_H
#define QZRESOURCES_H

// Registers the panel's images under ":/gui/resources/". A resource bundle in
// a static library is dropped by the linker unless something refers to it.
void InitQzResources();

#endif
