// Drives the real dialog through one preview on the default sound device: loads FILE as Browse
// does, sets the percentage, presses Play and waits until the button says "再生" again and the
// device has been closed. Used by the preview test on a private sound server.
//
//   sonorette-dialog-play FILE PERCENT
#include <QApplication>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <cstdlib>
#include <optional>
#include <string>

#include "app/FileChoosers.h"
#include "app/GainApp.h"
#include "app/MainDialog.h"
#include "platform/WaveOut.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    QApplication application(argc, argv);
    const std::string path = argv[1];
    SetFileChooserForTesting([path](bool) { return std::optional<std::string>(path); });
    platform::waveOutPrepare();

    CGainDlg dialog;
    dialog.show();
    dialog.OnBrowse();
    dialog.m_spinPercent->setValue(std::atoi(argv[2]));
    QTest::mouseClick(dialog.m_btnPlay, Qt::LeftButton);
    if (!dialog.m_bPlaying) {
        return 1;
    }
    const bool playedOut = QTest::qWaitFor(
        [&dialog] { return dialog.m_btnPlay->text() == QStringLiteral("再生"); }, 60000);
    // Waits for the feeder to play the device out and close it.
    dialog.accept();
    return playedOut ? 0 : 1;
}
