#include "app/MainDialog.h"

#include <sys/resource.h>
#include <unistd.h>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>

#include <atomic>
#include <cmath>
#include <exception>

#include "app/AboutDialog.h"
#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "app/FileChoosers.h"
#include "platform/MessageBox.h"
#include "playback/Preview.h"
#include "wave/SampleLevels.h"

CGainDlg* g_pMainDlg = nullptr;
platform::WAVEFORMATEX g_PlayFormat;

namespace {

constexpr int kPercentMin = 0;
constexpr int kPercentMax = 1000;
constexpr int kPercentStart = 100;
constexpr const char* kDefaultExtension = "wav";
constexpr const char* kFilter = "wave files|*.wav|";

const char* const kPlayText = "再生";
const char* const kStopText = "停止";
const char* const kAboutMenuText = "Sonorette のﾊﾞｰｼﾞｮﾝ情報(&A)...";

// Each preview has its own number, so that the end reported by an earlier player is never taken
// for the end of a later one.
std::atomic<std::uint64_t> g_playGeneration{0};

const QEvent::Type kWaveDoneEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kPlayedOutEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type kLoudnessEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class CWaveDoneEvent : public QEvent {
  public:
    CWaveDoneEvent(platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader)
        : QEvent(kWaveDoneEvent), m_hWaveOut(hWaveOut), m_pHeader(pHeader) {}
    platform::HWAVEOUT m_hWaveOut;
    platform::WAVEHDR* m_pHeader;
};

class CPlayedOutEvent : public QEvent {
  public:
    explicit CPlayedOutEvent(std::uint64_t generation)
        : QEvent(kPlayedOutEvent), m_generation(generation) {}
    std::uint64_t m_generation;
};

class CLoudnessEvent : public QEvent {
  public:
    CLoudnessEvent(std::uint64_t generation, const LoudnessMeasure& measure)
        : QEvent(kLoudnessEvent), m_generation(generation), m_measure(measure) {}
    std::uint64_t m_generation;
    LoudnessMeasure m_measure;
};

// Decibels with one decimal and a sign where asked, minus infinity as "-∞".
QString Decibels(double value, const char* unit, bool sign = false) {
    if (std::isinf(value) && value < 0) {
        return QStringLiteral("-∞ ") + QString::fromUtf8(unit);
    }
    return QString::asprintf(sign ? "%+.1f %s" : "%.1f %s", value, unit);
}

QString FromSystem(const char* path) {
    return QFile::decodeName(QByteArray(path));
}

}  // namespace

void OnPlayProgress(std::uint32_t fedFrames, std::uint32_t totalFrames) {
    if (fedFrames >= totalFrames && g_pMainDlg != nullptr) {
        QCoreApplication::postEvent(g_pMainDlg, new CPlayedOutEvent(g_playGeneration.load()));
    }
}

CGainDlg::CGainDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_hIcon(AppIcon()) {
    setWindowTitle(QStringLiteral("Sonorette"));
    setFont(DialogFont());
    const CDialogUnits units(font());
    setFixedSize(units.X(175), units.Y(113));
    setAcceptDrops(true);

    // Template order, which is also the tab order.
    auto* pBrowse = new QPushButton(QStringLiteral("参照"), this);
    pBrowse->setObjectName(QStringLiteral("IDC_BROWSE"));
    units.Place(pBrowse, 136, 7, 33, 22);

    m_editPath = new QLineEdit(this);
    m_editPath->setObjectName(QStringLiteral("IDC_PATH"));
    units.Place(m_editPath, 7, 7, 127, 21);

    // The up-down control and its buddy box, one widget here: it takes the buddy's place.
    m_spinPercent = new QSpinBox(this);
    m_spinPercent->setObjectName(QStringLiteral("IDC_PERCENT"));
    units.Place(m_spinPercent, 7, 60, 35, 15);

    auto* pPercentSign = new QLabel(QStringLiteral("％"), this);
    pPercentSign->setAlignment(Qt::AlignCenter);
    units.Place(pPercentSign, 41, 59, 10, 17);

    m_btnPlay = new QPushButton(QString::fromUtf8(kPlayText), this);
    m_btnPlay->setObjectName(QStringLiteral("IDC_PLAY"));
    units.Place(m_btnPlay, 74, 59, 39, 16);

    auto* pSave = new QPushButton(QStringLiteral("保存"), this);
    pSave->setObjectName(QStringLiteral("IDC_SAVE"));
    units.Place(pSave, 125, 57, 43, 17);

    auto* pExit = new QPushButton(QStringLiteral("終了"), this);
    pExit->setObjectName(QStringLiteral("IDOK"));
    units.Place(pExit, 63, 92, 50, 14);

    // Enter presses the push button that has the focus. Exit is the default button while none
    // has it: Enter in the path or percentage box ends the program.
    for (QPushButton* pButton : {pBrowse, m_btnPlay, pSave, pExit}) {
        pButton->setAutoDefault(true);
    }
    pExit->setDefault(true);
    setTabOrder(pBrowse, m_editPath);
    setTabOrder(m_editPath, m_spinPercent);
    setTabOrder(m_spinPercent, m_btnPlay);
    setTabOrder(m_btnPlay, pSave);
    setTabOrder(pSave, pExit);

    connect(pBrowse, &QPushButton::clicked, this, &CGainDlg::OnBrowse);
    connect(pSave, &QPushButton::clicked, this, &CGainDlg::OnSave);
    connect(m_btnPlay, &QPushButton::clicked, this, &CGainDlg::OnPlay);
    connect(pExit, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_spinPercent, &QSpinBox::valueChanged, this, &CGainDlg::UpdatePercentTip);

    OnInitDialog();
    pBrowse->setFocus();
}

CGainDlg::~CGainDlg() {
    StopLoudness();
    ReleasePreview();
    if (g_pMainDlg == this) {
        g_pMainDlg = nullptr;
    }
}

void CGainDlg::OnInitDialog() {
    setWindowIcon(m_hIcon);
    g_pMainDlg = this;
    m_pWave.reset();
    m_pPlayWave.reset();
    m_pPlayer.reset();
    m_spinPercent->setRange(kPercentMin, kPercentMax);
    m_spinPercent->setValue(kPercentStart);
    m_bPlaying = false;
    UpdatePercentTip();
}

int CGainDlg::ReadPercent() const {
    return m_spinPercent->value();
}

void CGainDlg::OnBrowse() {
    char path[kPathBufferBytes] = {};
    if (ChooseOpenFile(kDefaultExtension, kFilter, path) == 0) {
        return;
    }
    LoadFile(path);
}

void CGainDlg::LoadFile(const char* path) {
    m_editPath->setText(FromSystem(path));
    StopLoudness();
    m_pWave.reset();
    m_pWave = std::make_unique<CWaveData>(path);
    // Measured once: the percentage box's tip reads the clip counts from here as it changes.
    m_levels = m_pWave->GetLevels();
    m_spinPercent->setValue(ProposePercent(m_levels.Peak()));
    StartLoudness();
    UpdatePercentTip();
}

void CGainDlg::OnSave() {
    // An image whose read failed holds nothing worth saving.
    if (!m_pWave || !m_pWave->HasSamples()) {
        return;
    }
    char path[kPathBufferBytes] = {};
    if (ChooseSaveFile(path, kDefaultExtension, kFilter) == 0) {
        return;
    }
    const double factor = GainFactor(ReadPercent());
    CWaveData copy(*m_pWave);
    copy.ApplyGain(factor);
    if (copy.HasSamples()) {
        copy.Write(path);
    }
}

void CGainDlg::OnPlay() {
    if (!m_pWave) {
        return;
    }
    if (m_bPlaying) {
        m_btnPlay->setText(QString::fromUtf8(kPlayText));
        m_bPlaying = false;
        ReleasePreview();
        return;
    }
    if (!preview::CanPlay(*m_pWave)) {
        return;
    }
    m_bPlaying = true;
    m_btnPlay->setText(QString::fromUtf8(kStopText));
    // The earlier player may still be playing out the earlier copy: it goes first.
    ReleasePreview();
    m_pPlayWave = preview::MakePlayCopy(*m_pWave, GainFactor(ReadPercent()));
    if (!m_pPlayWave) {
        // The copy could not be made (its message has been shown): there is nothing to play.
        m_bPlaying = false;
        m_btnPlay->setText(QString::fromUtf8(kPlayText));
        return;
    }
    StartPlayback();
}

void CGainDlg::StartPlayback() {
    m_pPlayer.reset();
    g_playGeneration.fetch_add(1);
    m_pPlayer = preview::MakePreviewPlayer(this, *m_pPlayWave, &g_PlayFormat, OnPlayProgress);
    if (m_pPlayer) {
        m_pPlayer->Start();
    }
}

void CGainDlg::ReleasePreview() {
    if (m_pPlayer) {
        m_pPlayer->Stop();
        m_pPlayer.reset();
    }
    m_pPlayWave.reset();
}

void CGainDlg::PostWaveDone(platform::HWAVEOUT hWaveOut, platform::WAVEHDR* pHeader) {
    QCoreApplication::postEvent(this, new CWaveDoneEvent(hWaveOut, pHeader));
}

bool CGainDlg::event(QEvent* pEvent) {
    if (pEvent->type() == kLoudnessEvent) {
        const auto* pLoudness = static_cast<CLoudnessEvent*>(pEvent);
        if (pLoudness->m_generation == m_loudnessGeneration) {
            m_loudness = pLoudness->m_measure;
            UpdatePercentTip();
        }
        return true;
    }
    if (pEvent->type() == kWaveDoneEvent) {
        const auto* pDone = static_cast<CWaveDoneEvent*>(pEvent);
        // Only the current player's device gets its buffers back, and only while playing.
        if (m_bPlaying && m_pPlayer && pDone->m_hWaveOut == m_pPlayer->DeviceHandle()) {
            m_pPlayer->OnBufferDone(pDone->m_pHeader);
        }
        return true;
    }
    if (pEvent->type() == kPlayedOutEvent) {
        if (static_cast<CPlayedOutEvent*>(pEvent)->m_generation == g_playGeneration.load() &&
            m_bPlaying) {
            m_bPlaying = false;
            m_btnPlay->setText(QString::fromUtf8(kPlayText));
        }
        return true;
    }
    return QDialog::event(pEvent);
}

void CGainDlg::done(int result) {
    StopLoudness();
    m_bPlaying = false;
    ReleasePreview();
    QDialog::done(result);
}

void CGainDlg::OnSysCommand(unsigned commandId) {
    if ((commandId & 0xFFF0) == kIdmAboutBox) {
        CAboutDlg about(this);
        about.exec();
    }
}

void CGainDlg::contextMenuEvent(QContextMenuEvent* pEvent) {
    // The window manager's menu cannot be extended, so the About entry is offered here.
    QMenu menu(this);
    menu.setSeparatorsCollapsible(false);
    menu.addSeparator();
    QAction* pAbout = menu.addAction(QString::fromUtf8(kAboutMenuText));
    if (menu.exec(pEvent->globalPos()) == pAbout) {
        OnSysCommand(kIdmAboutBox);
    }
}

void CGainDlg::dragEnterEvent(QDragEnterEvent* pEvent) {
    const QList<QUrl> urls = pEvent->mimeData()->urls();
    if (urls.size() == 1 && urls.front().isLocalFile() &&
        urls.front().toLocalFile().endsWith(QStringLiteral(".wav"), Qt::CaseInsensitive)) {
        pEvent->acceptProposedAction();
    }
}

void CGainDlg::dropEvent(QDropEvent* pEvent) {
    const QList<QUrl> urls = pEvent->mimeData()->urls();
    if (urls.size() != 1 || !urls.front().isLocalFile()) {
        return;
    }
    const QByteArray path = QFile::encodeName(urls.front().toLocalFile());
    if (static_cast<std::size_t>(path.size()) >= kPathBufferBytes) {
        platform::ShowMessageBox(
            "ファイルのパスが長すぎます。259 バイト以内のパスを選んでください。");
        return;
    }
    pEvent->acceptProposedAction();
    LoadFile(path.constData());
}

void CGainDlg::UpdatePercentTip() {
    const int percent = ReadPercent();
    const double gainDb = 20.0 * std::log10(percent / 100.0);
    QString tip = QStringLiteral("ゲイン: ") + Decibels(gainDb, "dB", true);
    if (m_pWave && m_pWave->HasSamples()) {
        tip = QStringLiteral("ピーク: ") + Decibels(20.0 * std::log10(m_levels.Peak()), "dBFS") +
              QStringLiteral("\n") + tip + QStringLiteral("\nクリップ: ") +
              QString::number(static_cast<qulonglong>(m_levels.ClippedAt(percent))) +
              QStringLiteral(" サンプル");
    }
    // What the file measures, and what it will measure with this gain.
    if (m_loudness) {
        const auto line = [gainDb](const char* label, double value, const char* unit) {
            return QStringLiteral("\n") + QString::fromUtf8(label) + Decibels(value, unit) +
                   QStringLiteral(" → ") + Decibels(value + gainDb, unit);
        };
        tip += line("ラウドネス: ", m_loudness->integratedLufs, "LUFS");
        tip += line("トゥルーピーク: ", FractionToDecibels(m_loudness->truePeakFraction), "dBTP");
    }
    m_spinPercent->setToolTip(tip);
}

void CGainDlg::StartLoudness() {
    m_loudness.reset();
    ++m_loudnessGeneration;
    if (!m_pWave || !m_pWave->HasSamples()) {
        return;
    }
    m_loudnessCancel = false;
    try {
        m_loudnessThread =
            std::thread([this, pImage = m_pWave.get(), generation = m_loudnessGeneration] {
                // Below the preview's threads, which must never wait for it.
                ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
                if (const std::optional<LoudnessMeasure> measure =
                        MeasureImageLoudness(*pImage, m_loudnessCancel)) {
                    QCoreApplication::postEvent(this, new CLoudnessEvent(generation, *measure));
                }
            });
    } catch (const std::exception&) {
        // Without a thread the tooltip goes without the loudness; nothing else depends on it.
    }
}

void CGainDlg::StopLoudness() {
    if (m_loudnessThread.joinable()) {
        m_loudnessCancel = true;
        m_loudnessThread.join();
    }
}
