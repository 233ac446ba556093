#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "app/GainApp.h"

// The application object exists for the life of the process.
CGainApp theApp;

namespace {

// Without a display to show the window on, Qt ends the program with an abort after a page of
// advice about plug-ins; one plain sentence says what is wrong.
bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (!HasDisplay()) {
        std::fputs(
            "Sonorette: ウィンドウを表示する画面がありません (DISPLAY も WAYLAND_DISPLAY も"
            "設定されていません)。デスクトップの中で起動してください。\n",
            stderr);
        return 1;
    }
    QApplication application(argc, argv);
    return theApp.Run(argc, argv);
}
