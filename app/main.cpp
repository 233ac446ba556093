#include <QApplication>

#include "app/GainApp.h"

// The application object exists for the life of the process.
CGainApp theApp;

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    return theApp.Run(argc, argv);
}
