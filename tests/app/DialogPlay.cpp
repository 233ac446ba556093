// Drives the real dialog through one preview on the default sound device: loads FILE through
// Browse and its file chooser, sets the percentage, presses Play and waits until the button says
// "再生" again and the device has been closed. Used by the preview test on a private sound server.
//
//   sonorette-dialog-play FILE PERCENT
#include <QApplication>
#include <QPushButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "ChooserUser.h"
#include "app/GainApp.h"
#include "app/MainDialog.h"
#include "platform/WaveOut.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    // The chooser remembers its folders in the test area, not in the user's settings.
    QStandardPaths::setTestModeEnabled(true);
    QApplication application(argc, argv);
    platform::waveOutPrepare();

    CGainDlg dialog;
    dialog.show();
    testsupport::ChooserUser user({testsupport::ChooserUser::Typed(argv[1])});
    QTest::mouseClick(dialog.findChild<QPushButton*>("IDC_BROWSE"), Qt::LeftButton);
    if (user.Finish().size() != 1 || !user.Problem().isEmpty()) {
        std::fprintf(stderr, "sonorette-dialog-play: the file chooser: %s\n",
                     qPrintable(user.Problem()));
        return 1;
    }
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
