// CGainDlg: the program's one window (template 102): Browse, the path, the percentage, Play/Stop,
// Save and Exit.
//
// Ownership: the window owns the loaded image, the play copy and the player; the player borrows
// the play copy's samples and g_PlayFormat and is always stopped and destroyed (its feeder
// joined) before either is released or replaced.
// The loaded image's loudness is measured on a thread of the window's own, at a low priority,
// which borrows the image: the window cancels and joins it before the image is replaced or the
// window goes.
// Threads: everything runs on the user-interface thread except PostWaveDone (a device's
// notification thread), OnPlayProgress (the player's feeder thread) and the loudness thread; they
// only post events to the window and never wait for it.
#pragma once

#include <QDialog>
#include <QIcon>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "platform/WaveFormat.h"
#include "platform/WaveOut.h"
#include "playback/WavePlayer.h"
#include "wave/Loudness.h"
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
    // The loaded image's loudness, once its measurement has come back; nothing until then.
    std::optional<LoudnessMeasure> m_loudness;
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
    // Measures the loaded image's loudness off this thread; the tooltip shows it when it comes.
    void StartLoudness();
    // Cancels a measurement in progress and waits for its thread.
    void StopLoudness();

    std::thread m_loudnessThread;
    std::atomic<bool> m_loudnessCancel{false};
    // Which measurement the window waits for: a result of an earlier one is dropped.
    std::uint64_t m_loudnessGeneration = 0;
};

// The one main window; set when it is built.
extern CGainDlg* g_pMainDlg;
// The preview's format record; the player of the moment keeps its address.
extern platform::WAVEFORMATEX g_PlayFormat;

// The player's progress report (feeder thread): at the end of the stream the window puts "再生"
// back on its button.
void OnPlayProgress(std::uint32_t fedFrames, std::uint32_t totalFrames);
