#include "platform/widgetstyle.h"

QString transparentBoxStyleName()
{
    return QStringLiteral("Windows");
}
