#include "testsupport.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>

namespace {
constexpr int kPollIntervalMs = 10;
constexpr int kDialogWaitMs = 5000;
} // namespace

MessageBoxCloser::MessageBoxCloser(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &MessageBoxCloser::poll);
    timer.start(kPollIntervalMs);
}

void MessageBoxCloser::poll()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        boxes.append({ box->windowTitle(), box->text(), int(box->icon()),
                       int(box->standardButtons()), int(box->buttons().size()), box->parentWidget(),
                       box->isModal() });
        box->done(QMessageBox::Ok);
    }
}

FileDialogDriver::FileDialogDriver(const QString &answer, QObject *parent)
    : QObject(parent)
    , answer(answer)
{
    // A test answers Qt's own dialog; the platform's native one (Windows')
    // cannot be driven from here.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    connect(&timer, &QTimer::timeout, this, &FileDialogDriver::poll);
    timer.start(kPollIntervalMs);
    deadline.start();
}

void FileDialogDriver::poll()
{
    const auto widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        auto *dialog = qobject_cast<QFileDialog *>(widget);
        if (!dialog || !dialog->isVisible())
            continue;
        if (!answered) {
            title = dialog->windowTitle();
            directory = dialog->directory().absolutePath();
            filters = dialog->nameFilters();
        }
        auto *nameEdit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (answer.isEmpty() || !nameEdit || deadline.hasExpired(kDialogWaitMs)) {
            dialog->reject();
        } else {
            // Typed rather than selected: selecting leaves the name field
            // alone while it has the focus.
            nameEdit->setText(answer);
            // Through QDialog: the file dialog keeps its accept() protected.
            static_cast<QDialog *>(dialog)->accept();
        }
        answered = true;
    }
}
