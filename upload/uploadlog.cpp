#include "upload/uploadlog.h"

#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcUpload, "rudireze.upload")

void logSystemError(const char *text)
{
    // Taken first: the logging itself may set errno.
    const int error = errno;
    qCCritical(lcUpload, "%s: %s", text, std::strerror(error));
}
