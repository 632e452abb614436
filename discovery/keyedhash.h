#pragma once

#include <QString>
#include <QtGlobal>

// SipHash-2-4: a keyed hash whose values nobody without the key can steer,
// so no made-up address can be chosen to land where another one does.
quint64 keyedHash(const quint64 (&key)[2], const char *data, int size);

// The hash of the address's UTF-16 text.
inline quint64 keyedHash(const quint64 (&key)[2], const QString &address)
{
    return keyedHash(key, reinterpret_cast<const char *>(address.constData()),
                     address.size() * int(sizeof(QChar)));
}
