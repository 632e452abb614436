#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// One run of consecutive bytes of an Intel HEX file.
struct HexChunk
{
    quint32 address = 0;
    QByteArray data;
};

// The contents of an Intel HEX file, or why it could not be read.
struct HexContents
{
    QVector<HexChunk> chunks; // ascending; adjacent records merged, overlaps resolved in file order
    QString error; // empty when the file was read whole

    bool ok() const { return error.isEmpty(); }
    quint32 endAddress() const; // one past the last byte; 0 when empty
};

// Reads data, extended segment and extended linear address records up to the
// end-of-file record; start-address records are ignored. Every record's
// checksum is checked.
HexContents parseIntelHex(const QByteArray &text);
HexContents readIntelHexFile(const QString &path);

// The bytes from address 0 to the end of the last chunk, gaps filled with the
// erased-flash value 0xFF.
QByteArray flatImage(const HexContents &contents);
