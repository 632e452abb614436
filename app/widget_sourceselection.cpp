#include "app/widget.h"

#include "app/form/ui_widget.h"
#include "firmware/defaultfirmware.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>

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

void Widget::on_pushButton_4_clicked()
{
    // Kept as users know them: see docs/kept-from-the-design.md.
    manual_path
        = QFileDialog::getOpenFileName(this, tr("Open hex"), QStringLiteral("."), tr("hex(*.hex)"));
    if (manual_path.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("waring"), QStringLiteral("open file fail"),
                             QMessageBox::Ok);
        return;
    }
    // Converted first: a file that gives no image leaves the previous choice
    // (and ./update.bin) in place, so no upload starts with a stale image.
    const ImageFileConversion conversion = convertIntoImage(manual_path);
    if (!conversion.ok()) {
        QMessageBox::warning(this, QStringLiteral("waring"),
                             QStringLiteral("open file fail\n") + conversion.message,
                             QMessageBox::Ok);
        return;
    }
    manual_converted = true;
    read_generate_time(manual_path);
    // Good news, not a warning.
    QMessageBox::information(this, QStringLiteral("tip"), QStringLiteral("open file successful"),
                             QMessageBox::Ok);
    current_file_name = manual_path.mid(manual_path.lastIndexOf(QLatin1Char('/')) + 1);
    ui->lineEdit->setText(manual_path);
    ui->lineEdit_3->setText(current_file_name);
    ui->label_2->setText(generate_time);
}

void Widget::refresh_default_file()
{
    find_build_dir();
    ui->lineEdit_2->setText(default_path);
    ui->label_2->setText(generate_time);
}

void Widget::update_hex_file()
{
    if (!manual_mode) {
        refresh_default_file();
        current_file_name = defaultFileName(default_path);
        ui->lineEdit_3->setText(current_file_name);
    }
    // Silent modules leave in both modes: a row kept while the file picked by
    // hand is in use only leads an upload into the connect-failure box.
    if (!removingModule)
        sweepLiveness();
}
