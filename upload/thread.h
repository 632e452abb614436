#pragma once

#include <QString>
#include <QThread>

// One upload of one board: handshake on the module's AT port, then STK500
// through its data port. Reports leave only through updateover.
class Thread : public QThread
{
    Q_OBJECT

public:
    Thread(QString &at_port, QString &data_port, QString &host_ip, int row, QString &board_type);

signals:
    void updateover(int row, int status, float progress);

protected:
    void run() override;

private:
    int row = 0;
    QString host_ip;
    QString at_port;
    QString data_port;
    QString board_type;
};
