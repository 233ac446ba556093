// CGainDlg: the program's one window (template 102): Browse, the path, the percentage, Play/Stop,
// Save and Exit.
//
// Ownership: the window owns the loaded image, the play copy and the player; the player borrows
// the play copy's samples and g_PlayFormat and is always stopped and destroyed (its feeder
// joined) before either is released or replaced.
// Threads: everything runs on the user-interface thread except PostWaveDone (a device's
// notification thread) and OnPlayProgress (the player's feeder thread); both only post events to
// the window and never wait for it.
#pragma once

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/WaveFormat.h"
#include "platform/WaveOut.h"
#include "playback/WavePlayer.h"
#include "wave/SampleLevels.h"
#include "wave/WaveData.h"

class QLineEdit;
class QPushButton;
class QSpinBox;

class CGainDlg : public QDialog, public platform::IWaveNotifyTarget {
    Q_OBJECT
  public:
    // The system command of the About entry.
    static constexpr unsigned kIdmAboutBox = 16;

    explicit CGainDlg(QWidget* pParent = nullptr);
    ~CGainDlg() override;

    void OnBrowse();
    void OnSave();
    void OnPlay();
    void OnSysCommand(unsigned commandId);
    // Browse's steps after the chooser, for a path dropped on the window or given at start.
    void LoadFile(const char* path);
    // The percentage box's value, 0..1000.
    int ReadPercent() const;

    // Hands a finished buffer to the window's thread.
    void PostWaveDone(platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) override;

    std::unique_ptr<CWaveData> m_pWave;
    // The loaded image's peak and clip counts, measured at Browse; none before the first.
    CSampleLevels m_levels;
    std::unique_ptr<CWavePlayer> m_pPlayer;
    std::unique_ptr<CWaveData> m_pPlayWave;
    // Set from Play until Stop, or until the player has fed the whole stream. Read and written on
    // the user-interface thread only: the feeder's report of the end arrives as an event.
    bool m_bPlaying = false;
    QPushButton* m_btnPlay = nullptr;
    QSpinBox* m_spinPercent = nullptr;
    QLineEdit* m_editPath = nullptr;
    QIcon m_hIcon;

  protected:
    // Sees every event first: finished buffers and the end of a preview.
    bool event(QEvent* pEvent) override;
    // Exit, Enter, Esc and the close box: a running preview is stopped first.
    void done(int result) override;
    void contextMenuEvent(QContextMenuEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;

  private:
    void OnInitDialog();
    void StartPlayback();
    // Stops and destroys the player (waiting for its feeder), then the play copy.
    void ReleasePreview();
    void UpdatePercentTip();
};

// The one main window; set when it is built.
extern CGainDlg* g_pMainDlg;
// The preview's format record; the player of the moment keeps its address.
extern platform::WAVEFORMATEX g_PlayFormat;

// The player's progress report (feeder thread): at the end of the stream the window puts "再生"
// back on its button.
void OnPlayProgress(std::uint32_t fedFrames, std::uint32_t totalFrames);
