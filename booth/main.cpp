// The booth's entry point.
#include "AppController.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Korvanex");
    QCoreApplication::setApplicationName("booth");
    AppController controller;
    controller.awakeFromNib();
    controller.show();
    controller.applicationDidFinishLaunching();
    return app.exec();
}
