#include "app/widget.h"
#include "common/names.h"
#include "firmware/hexconversion.h"

#include <cstdio>

void Widget::reportLikePerror(const char *text, const QString &systemError)
{
    std::fprintf(stderr, "%s: %s\n", text, systemError.toLocal8Bit().constData());
}

bool Widget::convert_hex_file(QString path)
{
    return convertIntoImage(path).ok();
}

ImageFileConversion Widget::convertIntoImage(const QString &path)
{
    const ImageFileConversion result = convertHexFileToImage(path, QString::fromLatin1(kImagePath));
    // Kept as users know them: see docs/kept-from-the-design.md.
    switch (result.status) {
    case ImageFileConversion::Converted:
        break;
    case ImageFileConversion::InputUnreadable:
        reportLikePerror("File open error!!!\n", result.systemError);
        break;
    case ImageFileConversion::OutputUnwritable:
        reportLikePerror("File creat error!!!\n", result.systemError);
        break;
    case ImageFileConversion::BadHex:
        std::fprintf(stderr, "%s\n", result.message.toLocal8Bit().constData());
        break;
    }
    return result;
}
