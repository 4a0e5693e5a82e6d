#include "quarnelpc/quarnelpc.h"

#include "quarnelprotocol.h"

QString QuarnelPc::version()
{
    return QuarnelProtocol::version();
}
