#include "platform/socketpeek.h"

#include <sys/socket.h>

#include <cerrno>

bool peerDoneSending(qintptr descriptor)
{
    char byte = 0;
    const ssize_t peeked = ::recv(static_cast<int>(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return peeked == 0 || (peeked < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}
