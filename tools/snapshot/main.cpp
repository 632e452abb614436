// Renders the main window to a PNG for the README:
//   window-snapshot OUT.png [SECONDS] [--size WxH] [--upload ADDRESS [--board NAME]]
// Run it with QT_QPA_PLATFORM=offscreen. With SECONDS it lets the window run
// that long first (so announcements arriving meanwhile show as rows). With
// --upload it then presses the Upload button of the module at ADDRESS (its
// Device box set to NAME), waits for the result and shows the result's
// tooltip in the picture.
#include "app/devicecolumns.h"
#include "app/widget.h"
#include "upload/uploadlog.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTableWidget>
#include <QTimer>
#include <QToolTip>
#include <QWindow>

#include <cstdio>

namespace {
// Longest an upload of the snapshot may take.
constexpr int kUploadLimitMs = 120000;
constexpr int kPollMs = 50;
// Time for the tooltip to be laid out and drawn.
constexpr int kTooltipSettleMs = 300;
constexpr int kMsecsPerSecond = 1000;
// Time for the window to be drawn once.
constexpr int kFirstPaintMs = 200;

struct Options
{
    QString out;
    int seconds = 0;
    QSize size;
    QString upload;
    QString board;
};

bool parse(const QStringList &arguments, Options &options)
{
    QStringList positional;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--size") && hasValue) {
            const QStringList parts = arguments.at(++i).split(QLatin1Char('x'));
            if (parts.size() != 2)
                return false;
            options.size = QSize(parts.at(0).toInt(), parts.at(1).toInt());
        } else if (argument == QLatin1String("--upload") && hasValue) {
            options.upload = arguments.at(++i);
        } else if (argument == QLatin1String("--board") && hasValue) {
            options.board = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--"))) {
            return false;
        } else {
            positional << argument;
        }
    }
    if (positional.isEmpty() || positional.size() > 2)
        return false;
    options.out = positional.at(0);
    options.seconds = positional.size() > 1 ? positional.at(1).toInt() : 0;
    return true;
}

int rowOf(const QTableWidget *table, const QString &address)
{
    for (int row = 0; row < table->rowCount(); ++row) {
        const QTableWidgetItem *item = table->item(row, IpColumn);
        if (item && item->text() == address)
            return row;
    }
    return -1;
}

// Sets the row's Device box and presses its Upload button; the button,
// which comes back when the upload has ended, or nullptr without such a row.
QAbstractButton *startUpload(QTableWidget *table, const QString &address, const QString &board)
{
    const int row = rowOf(table, address);
    if (row < 0)
        return nullptr;
    auto *combo = qobject_cast<QComboBox *>(table->cellWidget(row, DeviceColumn));
    if (combo && !board.isEmpty())
        combo->setCurrentText(board);
    auto *button = qobject_cast<QAbstractButton *>(table->cellWidget(row, SendColumn));
    if (button)
        button->click();
    return button;
}

void showResultTooltip(QTableWidget *table, const QString &address)
{
    const int row = rowOf(table, address);
    const QTableWidgetItem *item = row < 0 ? nullptr : table->item(row, ProgressColumn);
    if (!item || item->toolTip().isEmpty())
        return;
    const QRect cell = table->visualItemRect(item);
    QToolTip::showText(table->viewport()->mapToGlobal(cell.bottomLeft()), item->toolTip(),
                       table->viewport(), cell);
}
} // namespace

int main(int argc, char *argv[])
{
    installPlainUploadDiagnostics();
    QApplication application(argc, argv);
    Options options;
    if (!parse(QApplication::arguments(), options)) {
        std::fprintf(stderr,
                     "usage: window-snapshot OUT.png [SECONDS] [--size WxH] "
                     "[--upload ADDRESS [--board NAME]]\n");
        return 2;
    }
    Widget window;
    if (options.size.isValid())
        window.resize(options.size.expandedTo(window.minimumSizeHint()));
    window.show();
    int result = 1;
    const auto grab = [&] {
        // The screen's own picture shows what a user sees, style-sheet
        // transparency included; a tooltip is a window of its own, drawn in
        // where it stands.
        // Scaled, the screen's picture would be cut to the unscaled size.
        QPixmap picture = window.devicePixelRatioF() == 1.0
            ? window.windowHandle()->screen()->grabWindow(window.winId())
            : window.grab();
        QPainter painter(&picture);
        for (QWidget *tip : QApplication::topLevelWidgets()) {
            if (tip->isVisible() && tip->inherits("QTipLabel"))
                painter.drawPixmap(
                    QRect(tip->geometry().topLeft() - window.geometry().topLeft(), tip->size()),
                    tip->grab());
        }
        painter.end();
        result = picture.save(options.out, "PNG") ? 0 : 1;
        QApplication::quit();
    };
    // The upload's end shows as its button coming back; the button has no
    // signal for that, so it is looked at now and then.
    QTimer poll;
    QElapsedTimer uploading;
    QAbstractButton *button = nullptr;
    auto *table = window.findChild<QTableWidget *>(QStringLiteral("userTableWidget"));
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (!button->isEnabled()) {
            if (uploading.elapsed() < kUploadLimitMs)
                return;
            std::fprintf(stderr, "no result from the module at %s\n", qPrintable(options.upload));
            QApplication::exit(1);
            return;
        }
        poll.stop();
        showResultTooltip(table, options.upload);
        QTimer::singleShot(kTooltipSettleMs, &window, grab);
    });
    QTimer::singleShot(qMax(options.seconds * kMsecsPerSecond, kFirstPaintMs), &window, [&] {
        if (options.upload.isEmpty()) {
            grab();
            return;
        }
        button = startUpload(table, options.upload, options.board);
        if (!button) {
            std::fprintf(stderr, "no row for the module at %s\n", qPrintable(options.upload));
            QApplication::exit(1);
            return;
        }
        uploading.start();
        poll.start(kPollMs);
    });
    QApplication::exec();
    return result;
}
