#include "app/widget.h"
#include "firmware/defaultfirmware.h"

// The window's locator keeps its results in default_path and generate_time;
// the search itself is shared with the command-line tool.

void Widget::find_build_dir()
{
    FirmwareChoice choice { default_path, generate_time };
    locateDefaultFirmware(choice, currentUserName(), QString::fromLatin1(kLocatorLogPath));
    default_path = choice.path;
    generate_time = choice.generateTime;
}

void Widget::find_hex_in_dir(QString dir)
{
    FirmwareChoice choice { default_path, generate_time };
    locateHexInBuildDir(choice, currentUserName(), dir, QString::fromLatin1(kLocatorLogPath));
    default_path = choice.path;
    generate_time = choice.generateTime;
}

void Widget::read_generate_time(QString path)
{
    FirmwareChoice choice { default_path, generate_time };
    readGenerateTime(choice, path);
    generate_time = choice.generateTime;
}
