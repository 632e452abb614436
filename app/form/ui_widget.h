#pragma once

#include <QtCore/QCoreApplication>
#include <QtCore/QVariant>
#include <QtWidgets/QAbstractItemView>
#include <QtWidgets/QApplication>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSpacerItem>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QVBoxLayout>
#include <QtWidgets/QWidget>

// The main window's form: every widget and layout, in the order and with the
// object names the rest of the program looks them up by.
class Ui_Widget
{
public:
    QVBoxLayout *verticalLayout_2;
    QHBoxLayout *horizontalLayout_2;
    QVBoxLayout *verticalLayout;
    QTableWidget *userTableWidget;
    QHBoxLayout *horizontalLayout_3;
    QRadioButton *radioButton_2;
    QLineEdit *lineEdit_2;
    QSpacerItem *horizontalSpacer;
    QLabel *userNumLabel;
    QHBoxLayout *horizontalLayout_8;
    QRadioButton *radioButton;
    QPushButton *pushButton_4;
    QLineEdit *lineEdit;
    QLabel *label;
    QLineEdit *lineEdit_3;
    QLabel *label_3;
    QLabel *label_2;
    // Whether an upload reads the flash back (remembered between runs).
    QCheckBox *verifyCheckBox;

    void setupUi(QWidget *Widget);
    void retranslateUi(QWidget *Widget);
};

namespace Ui {
class Widget : public Ui_Widget
{
};
} // namespace Ui
