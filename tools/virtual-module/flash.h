#pragma once

#include <QByteArray>
#include <QtGlobal>

// Program memory that behaves as real flash: programming can only clear bits,
// so a page that was not erased first ends up as the AND of old and new data.
class Flash
{
public:
    Flash(int sizeBytes, int pageBytes);

    int size() const { return int(memory.size()); }
    int pageSize() const { return pageBytes; }
    int pageCount() const { return size() / pageBytes; }
    const QByteArray &bytes() const { return memory; }

    // Replaces the whole content; shorter data leaves the rest erased, longer
    // data is cut at the end of the flash.
    void setContents(const QByteArray &data);
    void eraseAll();
    void erasePage(int page);
    // Programs data from byteAddress on; addresses wrap at the end of the
    // flash as the part's address counter does.
    void program(quint32 byteAddress, const QByteArray &data);
    QByteArray read(quint32 byteAddress, int length) const;
    quint8 at(quint32 byteAddress) const;

    // A faulty cell: after every write into this page its first byte reads
    // back with its lowest bit inverted. -1 switches the fault off.
    void setCorruptPage(int page) { corruptPage = page; }

private:
    QByteArray memory;
    int pageBytes;
    int corruptPage = -1;
};
