// Shows the main window and the About box as a user sees them and saves each as a PNG in the
// current folder (main-window.png, about-box.png), for the README and for a person to look at.
// Run it under xvfb-run, or with QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QLibraryInfo>
#include <QPixmap>
#include <QTimer>
#include <QTranslator>
#include <cstdio>

#include "app/AboutDialog.h"
#include "app/DialogUnits.h"
#include "app/MainDialog.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setFont(DialogFont());
    CGainDlg dialog;
    dialog.show();
    QApplication::processEvents();
    const bool mainSaved = dialog.grab().save(QStringLiteral("main-window.png"));

    CAboutDlg about(&dialog);
    about.show();
    QApplication::processEvents();
    const bool aboutSaved = about.grab().save(QStringLiteral("about-box.png"));
    std::printf("main window %dx%d, About box %dx%d\n", dialog.width(), dialog.height(),
                about.width(), about.height());
    return mainSaved && aboutSaved ? 0 : 1;
}
