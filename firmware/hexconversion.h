#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// The largest flash of the supported boards (ATmega2560); no image byte may
// land at or beyond it.
constexpr int kMaxImageSize = 256 * 1024;
// A HEX text for a full image with one-byte records stays far below this;
// anything larger is not a firmware file.
constexpr qint64 kMaxHexTextSize = 64 * 1024 * 1024;

// The flat image an Intel HEX text describes, or the first reason it
// describes none.
struct HexConversion
{
    // The byte for address A sits at offset A; bytes no record gave are zero.
    QByteArray image;
    // Empty when the text converted.
    QString error;
    // 1-based line of the error; 0 when no single line is at fault.
    int errorLine = 0;

    bool ok() const { return error.isEmpty(); }
    // "line 7: ..." or the bare error.
    QString describe() const;
};

// Data records (with extended segment and linear addresses) up to the
// end-of-file record, which must be there; a UTF-8 byte order mark and blank
// lines are allowed, any other line must be a record with a correct
// checksum, and no two records may give the same address.
HexConversion convertHexText(const QByteArray &text);

// Reading a HEX file and writing its image, with what went wrong.
struct ImageFileConversion
{
    enum Status { Converted, InputUnreadable, OutputUnwritable, BadHex };

    Status status = Converted;
    // For the unreadable and unwritable cases, the system's error text.
    QString systemError;
    // A sentence for the user saying why nothing was written.
    QString message;
    // The image's size, once the text converted.
    qint64 imageBytes = 0;

    bool ok() const { return status == Converted; }
};

// Reads and converts the HEX file at hexPath; on success *image receives the
// image (Converted), otherwise the status is InputUnreadable or BadHex and
// the message names the file, and the line when one is at fault.
ImageFileConversion convertHexFile(const QString &hexPath, QByteArray *image);

// The image from address 0 as Intel HEX text: data records of 16 bytes, an
// extended linear address record (04) where the upper 16 address bits
// change, and the end-of-file record; lines end in CR LF. convertHexText
// gives the same bytes back.
QByteArray hexTextOfImage(const QByteArray &image);

// Writes all the bytes to a device opened unbuffered: a buffered write that
// fails only when the file is closed would let a cut image pass (a full disk,
// a file size limit). A short write is tried again, so the call that fails
// leaves the system's reason in the device's error. False when one failed.
bool writeAllBytes(QIODevice &output, const QByteArray &bytes);

// Replaces the file at path with the image, as Intel HEX or, for a path
// ending in ".bin", as raw bytes, in one step as convertHexFileToImage does.
// Empty on success, else a sentence naming the file and the system's reason.
QString writeImageFile(const QString &path, const QByteArray &image);

// Converts the HEX file at hexPath and replaces imagePath with the image in
// one step (a new file renamed over the old), so a failure or interruption
// never leaves a half-written image and a reader that has the old file open
// keeps reading the old image.
//
// Both replace nothing but a regular file: a path that names a character
// device or a FIFO (/dev/null, /dev/stdout, a pipe) is written where it is,
// and one that names a directory or any other kind of file is refused.
ImageFileConversion convertHexFileToImage(const QString &hexPath, const QString &imagePath);
