#include "app/widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    int result = 0;
    {
        Widget window;
        window.show();
        result = QApplication::exec();
    }
    return result;
}
