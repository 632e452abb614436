#pragma once

#include "discovery/announcementrelay.h"
#include "discovery/moduleadmission.h"
#include "firmware/hexconversion.h"

#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QWidget>

#include <memory>

class QTableWidgetItem;
class QTimer;
class QUdpSocket;
class Thread;
class Ui_Widget;

// The main window: the device table, the firmware choice and the upload start.
// It owns every piece of window state; its operations live in the widget_*.cpp
// beside it, and their substance in discovery/, firmware/ and upload/.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

signals:
    // Never emitted; kept as users know them: see docs/kept-from-the-design.md.
    void sendIPaddress(QString IPaddress);
    void change_username(QString, QHostAddress);
    void send_hostname(QString, QString, QString);
    void send_hostinfo(QString, QString, QString);

private slots:
    void processPendingDatagrams();
    void OnBtnClicked();
    void on_pushButton_4_clicked();
    void deal_ui(int row, int status, float progress);
    void update_hex_file();
    void participantLeft(QString ip);
    void on_radioButton_2_toggled(bool checked);
    void on_radioButton_toggled(bool checked);
    void on_userTableWidget_itemChanged(QTableWidgetItem *item);

private:
    // Discovery and the device table (widget_announcements.cpp,
    // widget_devicetable.cpp, widget_renaming.cpp, widget_localidentity.cpp).
    void refreshLiveness(QString ip);
    void sweepLiveness();
    void addDeviceRow(QString ip, QString dataPort, QString atPort, QString name);
    void lockTableCells();
    // Whether an upload to the module at that address is running.
    bool isUploading(const QString &ip) const;
    QString localIPv4Address();
    QString currentUserName();
    // The critical box of a module whose port could not be reached, naming
    // the module when its address is known.
    void showConnectServerFail(const QString &name = QString(), const QString &ip = QString());

    // Firmware image preparation (widget_conversion.cpp, widget_locator.cpp,
    // widget_sourceselection.cpp).
    bool convert_hex_file(QString path);
    // The C library's perror layout on standard error: the text, a colon, a
    // blank, the system's error text and a newline.
    static void reportLikePerror(const char *text, const QString &systemError);
    // convert_hex_file with the reason a conversion failed.
    ImageFileConversion convertIntoImage(const QString &path);
    void find_build_dir();
    void find_hex_in_dir(QString dir);
    void read_generate_time(QString path);
    void refresh_default_file();

    // Upload start and its progress (widget_uploadstart.cpp,
    // widget_progressdisplay.cpp).
    void stopWorkers();
    // What ./update.bin holds, taken whole when Upload is pressed; or why the
    // upload must fail without it.
    QByteArray readImage(QString *failure);

    Ui_Widget *ui = nullptr;
    QUdpSocket *udpSocket = nullptr;
    // Shares what udpSocket takes from port 3333 with the other listeners of
    // ours, and theirs with it (discovery/).
    std::unique_ptr<AnnouncementRelay> announcementRelay;
    quint16 udpPort = 0;
    Thread *worker = nullptr;
    QString manual_path;
    QString default_path;
    QString current_file_name;
    QTimer *hex_timer = nullptr;
    QMap<QString, int> moduleLiveness;
    // The address item of each listed module: whether a module has a row is
    // asked here, without reading the table. Its row number is still found by
    // scanning the IP column, since rows move as modules come and go.
    QHash<QString, QTableWidgetItem *> moduleRows;
    bool removingModule = false;
    // True while every cell of columns 1 to 6 is locked: lockTableCells,
    // asked after every announcement, then need not walk the table. Any
    // change of such a cell, or a new row, lowers it (discovery/).
    bool cellsLocked = false;
    // Which modules have rows when more announce themselves than fit
    // (discovery/).
    ModuleAdmission admission;
    bool manual_mode = false;
    QString generate_time;
    bool fillingTable = false;
    // Upload workers still running or not yet deleted (upload/).
    QList<Thread *> uploadWorkers;
    // True once a file picked by hand was converted: until then ./update.bin
    // holds nothing the manual choice stands for (firmware/).
    bool manual_converted = false;

    // Tests reach the window's state through this one door.
    friend class WidgetProbe;
};
