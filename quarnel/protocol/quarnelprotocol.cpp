#include "quarnelprotocol.h"

QString QuarnelProtocol::version()
{
    return QStringLiteral(QUARNEL_VERSION);
}
