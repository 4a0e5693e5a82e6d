#include "qzresources.h"

#include <QtGlobal>

void InitQzResources()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    Q_INIT_RESOURCE(qzresources);
}
