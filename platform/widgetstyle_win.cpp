#include "platform/widgetstyle.h"

QString transparentBoxStyleName()
{
    return QString();
}
