#include "app/form/ui_widget.h"

#include "app/devicecolumns.h"

namespace {
constexpr int kBold = 75;

QString yaHei()
{
    return QString::fromUtf8("\xe5\xbe\xae\xe8\xbd\xaf\xe9\x9b\x85\xe9\xbb\x91");
}
} // namespace

void Ui_Widget::setupUi(QWidget *Widget)
{
    if (Widget->objectName().isEmpty())
        Widget->setObjectName(QString::fromUtf8("Widget"));
    Widget->setEnabled(true);
    Widget->resize(1079, 466);
    QFont windowFont;
    // Kept as users know them: see docs/kept-from-the-design.md.
    windowFont.setFamily(QString::fromUtf8("Agency FB"));
    windowFont.setPointSize(14);
    windowFont.setBold(true);
    windowFont.setWeight(kBold);
    Widget->setFont(windowFont);

    verticalLayout_2 = new QVBoxLayout(Widget);
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setContentsMargins(11, 11, 11, 11);
    verticalLayout_2->setObjectName(QString::fromUtf8("verticalLayout_2"));
    horizontalLayout_2 = new QHBoxLayout();
    horizontalLayout_2->setSpacing(6);
    horizontalLayout_2->setObjectName(QString::fromUtf8("horizontalLayout_2"));
    verticalLayout = new QVBoxLayout();
    verticalLayout->setSpacing(6);
    verticalLayout->setObjectName(QString::fromUtf8("verticalLayout"));

    horizontalLayout_2->addLayout(verticalLayout);

    userTableWidget = new QTableWidget(Widget);
    if (userTableWidget->columnCount() < DeviceColumnCount)
        userTableWidget->setColumnCount(DeviceColumnCount);
    // One font for every header: two sizes made the row uneven and cut the
    // larger ones' descenders.
    QFont headerFontB;
    headerFontB.setFamily(yaHei());
    headerFontB.setPointSize(9);
    headerFontB.setBold(true);
    headerFontB.setWeight(kBold);
    for (int column = 0; column < DeviceColumnCount; ++column) {
        auto *headerItem = new QTableWidgetItem();
        headerItem->setTextAlignment(Qt::AlignCenter);
        headerItem->setFont(headerFontB);
        userTableWidget->setHorizontalHeaderItem(column, headerItem);
    }
    userTableWidget->setObjectName(QString::fromUtf8("userTableWidget"));
    QFont tableFont;
    tableFont.setPointSize(12);
    tableFont.setBold(true);
    tableFont.setWeight(kBold);
    userTableWidget->setFont(tableFont);
    userTableWidget->setAutoScrollMargin(16);
    userTableWidget->setSelectionMode(QAbstractItemView::SingleSelection);
    userTableWidget->setSelectionBehavior(QAbstractItemView::SelectRows);
    userTableWidget->setShowGrid(false);
    userTableWidget->setColumnCount(DeviceColumnCount);
    userTableWidget->horizontalHeader()->setDefaultSectionSize(150);
    userTableWidget->horizontalHeader()->setMinimumSectionSize(27);

    horizontalLayout_2->addWidget(userTableWidget);

    verticalLayout_2->addLayout(horizontalLayout_2);

    horizontalLayout_3 = new QHBoxLayout();
    horizontalLayout_3->setSpacing(6);
    horizontalLayout_3->setObjectName(QString::fromUtf8("horizontalLayout_3"));
    radioButton_2 = new QRadioButton(Widget);
    radioButton_2->setObjectName(QString::fromUtf8("radioButton_2"));
    QFont controlFont;
    controlFont.setFamily(yaHei());
    controlFont.setPointSize(9);
    radioButton_2->setFont(controlFont);
    radioButton_2->setChecked(true);

    horizontalLayout_3->addWidget(radioButton_2);

    lineEdit_2 = new QLineEdit(Widget);
    lineEdit_2->setObjectName(QString::fromUtf8("lineEdit_2"));
    lineEdit_2->setEnabled(true);
    lineEdit_2->setFont(controlFont);

    horizontalLayout_3->addWidget(lineEdit_2);

    horizontalSpacer = new QSpacerItem(40, 20, QSizePolicy::Expanding, QSizePolicy::Minimum);

    horizontalLayout_3->addItem(horizontalSpacer);

    userNumLabel = new QLabel(Widget);
    userNumLabel->setObjectName(QString::fromUtf8("userNumLabel"));
    userNumLabel->setFont(headerFontB);

    horizontalLayout_3->addWidget(userNumLabel);

    verticalLayout_2->addLayout(horizontalLayout_3);

    horizontalLayout_8 = new QHBoxLayout();
    horizontalLayout_8->setSpacing(6);
    horizontalLayout_8->setObjectName(QString::fromUtf8("horizontalLayout_8"));
    horizontalLayout_8->setContentsMargins(-1, 0, -1, -1);
    radioButton = new QRadioButton(Widget);
    radioButton->setObjectName(QString::fromUtf8("radioButton"));
    radioButton->setFont(controlFont);

    horizontalLayout_8->addWidget(radioButton);

    pushButton_4 = new QPushButton(Widget);
    pushButton_4->setObjectName(QString::fromUtf8("pushButton_4"));
    pushButton_4->setEnabled(false);
    pushButton_4->setFont(controlFont);

    horizontalLayout_8->addWidget(pushButton_4);

    lineEdit = new QLineEdit(Widget);
    lineEdit->setObjectName(QString::fromUtf8("lineEdit"));
    lineEdit->setEnabled(true);
    lineEdit->setFont(controlFont);

    horizontalLayout_8->addWidget(lineEdit);

    label = new QLabel(Widget);
    label->setObjectName(QString::fromUtf8("label"));
    label->setFont(controlFont);

    horizontalLayout_8->addWidget(label);

    lineEdit_3 = new QLineEdit(Widget);
    lineEdit_3->setObjectName(QString::fromUtf8("lineEdit_3"));
    lineEdit_3->setFont(controlFont);

    horizontalLayout_8->addWidget(lineEdit_3);

    label_3 = new QLabel(Widget);
    label_3->setObjectName(QString::fromUtf8("label_3"));
    label_3->setFont(controlFont);

    horizontalLayout_8->addWidget(label_3);

    label_2 = new QLabel(Widget);
    label_2->setObjectName(QString::fromUtf8("label_2"));
    label_2->setFont(controlFont);

    horizontalLayout_8->addWidget(label_2);

    verifyCheckBox = new QCheckBox(Widget);
    verifyCheckBox->setObjectName(QString::fromUtf8("verifyCheckBox"));
    verifyCheckBox->setFont(controlFont);
    verifyCheckBox->setChecked(true);

    horizontalLayout_8->addWidget(verifyCheckBox);

    verticalLayout_2->addLayout(horizontalLayout_8);

    retranslateUi(Widget);

    QMetaObject::connectSlotsByName(Widget);
}

void Ui_Widget::retranslateUi(QWidget *Widget)
{
    // Kept as users know them: see docs/kept-from-the-design.md.
    Widget->setWindowTitle(
        QCoreApplication::translate("Widget", "Corvane-MT7681 Wireless Rudireze V1.0 ", nullptr));
    static const char *const headers[]
        = { "Name", "Device", "IP", "Port_Data", "Port_At", "Send", "Progress" };
    for (int column = 0; column < 7; ++column)
        userTableWidget->horizontalHeaderItem(column)->setText(
            QCoreApplication::translate("Widget", headers[column], nullptr));
    radioButton_2->setText(QCoreApplication::translate("Widget", "Use Default file", nullptr));
    userNumLabel->setText(QCoreApplication::translate("Widget",
                                                      "Online Count\xef\xbc\x9a"
                                                      "0",
                                                      nullptr));
    radioButton->setText(QCoreApplication::translate("Widget", "Manual Assign File", nullptr));
    pushButton_4->setText(QCoreApplication::translate("Widget", "Open File", nullptr));
    label->setText(QCoreApplication::translate("Widget", "Current Use File:", nullptr));
    label_3->setText(QCoreApplication::translate("Widget", "Generate time:", nullptr));
    label_2->setText(QCoreApplication::translate("Widget", "0:0:0", nullptr));
    verifyCheckBox->setText(QCoreApplication::translate("Widget", "Verify", nullptr));
    verifyCheckBox->setToolTip(QCoreApplication::translate(
        "Widget", "Read the flash back after writing; a board whose flash differs shows Fail",
        nullptr));
}
