#pragma once

#include "app/form/ui_widget.h"
#include "app/widget.h"

#include <QMetaObject>
#include <QTableWidget>
#include <QTimer>

// The tests' door into the window's private state. Slots are reached through
// the meta-object, as their connections would reach them.
class WidgetProbe
{
public:
    explicit WidgetProbe(Widget &window)
        : w(window)
    {
    }

    Ui_Widget &ui() const { return *w.ui; }
    bool manualMode() const { return w.manual_mode; }
    const QString &manualPath() const { return w.manual_path; }
    const QString &defaultPath() const { return w.default_path; }
    const QString &currentFileName() const { return w.current_file_name; }
    const QString &generateTime() const { return w.generate_time; }
    const QMap<QString, int> &liveness() const { return w.moduleLiveness; }
    QTimer *hexTimer() const { return w.hex_timer; }
    QUdpSocket *udpSocket() const { return w.udpSocket; }
    quint16 udpPort() const { return w.udpPort; }
    Thread *latestWorker() const { return w.worker; }
    bool fillingTable() const { return w.fillingTable; }
    bool removingModule() const { return w.removingModule; }

    void sweepLiveness() { w.sweepLiveness(); }
    void addDeviceRow(const QString &ip, const QString &dataPort, const QString &atPort,
                      const QString &name)
    {
        w.addDeviceRow(ip, dataPort, atPort, name);
    }
    bool convertHexFile(const QString &path) { return w.convert_hex_file(path); }
    void findBuildDir() { w.find_build_dir(); }
    void readGenerateTime(const QString &path) { w.read_generate_time(path); }
    QString localIPv4Address() { return w.localIPv4Address(); }
    QString currentUserName() { return w.currentUserName(); }
    void setDefaultPath(const QString &path) { w.default_path = path; }
    void setGenerateTime(const QString &time) { w.generate_time = time; }

    // Invokes a private slot by name, as its connection would.
    template<typename... Args> bool invoke(const char *slot, Args... args)
    {
        return QMetaObject::invokeMethod(&w, slot, Qt::DirectConnection, args...);
    }

    // upload
    int uploadWorkerCount() const { return w.uploadWorkers.size(); }
    // As after a successful pick by hand (./update.bin written by the test).
    void markManualPick(const QString &name)
    {
        w.current_file_name = name;
        w.manual_converted = true;
    }

    // firmware
    void findHexInDir(const QString &dir) { w.find_hex_in_dir(dir); }

    // discovery
    void setRemovingModule(bool raised) { w.removingModule = raised; }

private:
    Widget &w;
};

// The window with its refresh timer stopped: a test runs the ticks itself.
struct QuietWindow
{
    explicit QuietWindow(bool shown = true)
        : probe(window)
        , table(probe.ui().userTableWidget)
    {
        probe.hexTimer()->stop();
        if (shown)
            window.show();
    }

    Widget window;
    WidgetProbe probe;
    QTableWidget *table;
};
