#include "app/widget.h"

#include "app/form/ui_widget.h"

void Widget::on_radioButton_2_toggled(bool checked)
{
    if (checked) {
        ui->pushButton_4->setEnabled(false);
        manual_mode = false;
    }
}

void Widget::on_radioButton_toggled(bool checked)
{
    if (checked) {
        ui->pushButton_4->setEnabled(true);
        manual_mode = true;
    }
}

void Widget::on_pushButton_4_clicked() {}

void Widget::refresh_default_file() {}

void Widget::update_hex_file()
{
    if (manual_mode)
        return;
    refresh_default_file();
}
