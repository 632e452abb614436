#pragma once

#include "boardlink.h"

#include <QByteArray>
#include <QString>

// A minimal STK500 version 1 programmer (AVR061) for optiboot, written from
// the protocol document for these tests only: every command is answered
// with INSYNC, its data and OK.
class Stk500v1Writer
{
public:
    explicit Stk500v1Writer(BoardLink &link)
        : link(link)
    {
    }

    bool sync();
    QByteArray readSignature();
    bool enterProgrammingMode();
    bool loadAddress(quint32 wordAddress);
    bool programPage(const QByteArray &data);
    QByteArray readPage(int size);
    bool leaveProgrammingMode();

    // Page by page from address 0; a short last page is padded with 0xFF
    // unless padLastPage is false.
    bool writeImage(const QByteArray &image, int pageBytes, bool padLastPage = true);
    QByteArray readImage(int size, int pageBytes);

    QString error() const { return lastError; }

private:
    // Sends request + CRC_EOP and expects INSYNC, answerBytes of data, OK.
    bool command(const QByteArray &request, int answerBytes, QByteArray *answer = nullptr);

    BoardLink &link;
    QString lastError;
};

// A minimal STK500 version 2 programmer (AVR068) for the MEGA bootloader,
// written from the protocol document for these tests only.
class Stk500v2Writer
{
public:
    explicit Stk500v2Writer(BoardLink &link)
        : link(link)
    {
    }

    // The answer body of one message (command id and status first), empty on
    // a timeout or a malformed frame.
    QByteArray transact(const QByteArray &body);

    QByteArray signOn();
    bool enterProgrammingMode();
    QByteArray readSignature();
    quint8 chipErase(); // the status byte of the answer
    bool loadAddress(quint32 wordAddress);
    bool programPage(const QByteArray &data);
    QByteArray readPage(int size);
    bool leaveProgrammingMode();

    bool writeImage(const QByteArray &image, int pageBytes);
    QByteArray readImage(int size, int pageBytes);

    QString error() const { return lastError; }

private:
    bool expectOk(const QByteArray &body, const char *what);

    BoardLink &link;
    quint8 sequence = 0;
    QString lastError;
};
