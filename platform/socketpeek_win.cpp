#include "platform/socketpeek.h"

#include <winsock2.h>

bool peerDoneSending(qintptr descriptor)
{
    // Qt keeps the socket non-blocking, so the peek returns at once.
    char byte = 0;
    const int peeked = ::recv(static_cast<SOCKET>(descriptor), &byte, 1, MSG_PEEK);
    return peeked == 0 || (peeked < 0 && WSAGetLastError() != WSAEWOULDBLOCK);
}
