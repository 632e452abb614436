#include "upload/thread.h"

Thread::Thread(QString &at_port, QString &data_port, QString &host_ip, int row,
               QString &board_type)
    : row(row)
    , host_ip(host_ip)
    , at_port(at_port)
    , data_port(data_port)
    , board_type(board_type)
{
}

void Thread::run() {}
