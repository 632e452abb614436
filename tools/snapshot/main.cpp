// Renders the main window to a PNG for the README: window-snapshot OUT.png [SECONDS]
// Run it with QT_QPA_PLATFORM=offscreen; with SECONDS it lets the window run
// that long first (so announcements arriving meanwhile show as rows).
#include "app/widget.h"

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: window-snapshot OUT.png [SECONDS]\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    const int seconds = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 0;
    Widget window;
    window.show();
    int result = 1;
    QTimer::singleShot(seconds * 1000, &window, [&] {
        // The screen's own picture shows what a user sees, style-sheet
        // transparency included.
        const QPixmap picture = window.windowHandle()->screen()->grabWindow(window.winId());
        result = picture.save(out, "PNG") ? 0 : 1;
        QApplication::quit();
    });
    QApplication::exec();
    return result;
}
