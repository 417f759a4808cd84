#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QDialog dialog;
    return dialog.exec() == QDialog::Accepted ? 0 : 0;
}
