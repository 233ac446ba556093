// The main window driven as a user drives it: Browse, the percentage, Save, Play/Stop, Exit, the
// About box and drag and drop. Offscreen, with the file choosers replaced by answers given here,
// messages captured instead of shown, and the emulated wave output device in place of the sound
// card, so that nothing is ever heard and what would have been heard can be checked.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "app/AboutDialog.h"
#include "app/DialogUnits.h"
#include "app/FileChoosers.h"
#include "app/MainDialog.h"
#include "platform/EmulatedWaveOut.h"
#include "platform/WaveOut.h"

namespace {

using testsupport::Bytes;

const QString kPlayText = QStringLiteral("再生");
const QString kStopText = QStringLiteral("停止");
const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kBitsChanged = "ビット数を変更しました。";
const std::string kOpenFailed = "再生デバイスのオープンに失敗しました。";
const std::string kPathTooLong =
    "ファイルのパスが長すぎます。259 バイト以内のパスを選んでください。";

constexpr std::uint32_t kRate = 44100;

// A PCM file: the format chunk, then the data chunk holding the sample bytes.
Bytes WaveFile(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
               const Bytes& sampleBytes) {
    return testsupport::RiffBuilder()
        .Chunk("fmt ", testsupport::FormatRecord(1, channels, rate, bits))
        .Chunk("data", sampleBytes)
        .Build();
}

// The file that Save writes for 16-bit samples: the 44-byte header, then the samples.
Bytes SavedFile(std::uint16_t channels, std::uint32_t rate, const Bytes& sampleBytes) {
    Bytes file;
    testsupport::AppendId(file, "RIFF");
    testsupport::AppendLE32(file, static_cast<std::uint32_t>(sampleBytes.size() + 36));
    testsupport::AppendId(file, "WAVE");
    testsupport::AppendId(file, "fmt ");
    testsupport::AppendLE32(file, 16);
    const Bytes format = testsupport::FormatRecord(1, channels, rate, 16);
    file.insert(file.end(), format.begin(), format.end());
    testsupport::AppendId(file, "data");
    testsupport::AppendLE32(file, static_cast<std::uint32_t>(sampleBytes.size()));
    file.insert(file.end(), sampleBytes.begin(), sampleBytes.end());
    return file;
}

// One sample scaled by the percentage: truncated toward zero, limited to the 16-bit range.
std::int16_t Gained(std::int16_t sample, int percent) {
    const double product = std::trunc(sample * (percent * 0.01));
    return static_cast<std::int16_t>(std::clamp(product, -32768.0, 32767.0));
}

std::vector<std::int16_t> Gained(const std::vector<std::int16_t>& samples, int percent) {
    std::vector<std::int16_t> result;
    result.reserve(samples.size());
    for (const std::int16_t s : samples) {
        result.push_back(Gained(s, percent));
    }
    return result;
}

// Stereo frames that are never silent and differ from their neighbours, so that a missing,
// repeated or misplaced frame shows. The left channel reaches 30000, the right -20000.
std::vector<std::int16_t> NumberedStereo(std::uint32_t frameCount) {
    std::vector<std::int16_t> samples;
    samples.reserve(std::size_t{frameCount} * 2);
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        samples.push_back(static_cast<std::int16_t>(i % 30000 + 1));
        samples.push_back(static_cast<std::int16_t>(-static_cast<int>(i % 20000) - 1));
    }
    return samples;
}

std::vector<std::int16_t> NumberedMono(std::uint32_t frameCount) {
    std::vector<std::int16_t> samples;
    samples.reserve(frameCount);
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        samples.push_back(static_cast<std::int16_t>((i % 2 == 0 ? 1 : -1) * int(i % 25000 + 1)));
    }
    return samples;
}

Bytes SampleBytes(const CWaveData& wave) {
    if (!wave.HasSamples()) {
        return {};
    }
    return Bytes(wave.m_pSamples.get(), wave.m_pSamples.get() + wave.m_sampleBytes);
}

// Empty when recording is expected followed by nothing but silence; otherwise what is wrong.
QString SourceThenSilence(const Bytes& recording, const Bytes& expected) {
    if (recording.size() < expected.size()) {
        return QStringLiteral("only %1 of %2 bytes were played")
            .arg(recording.size())
            .arg(expected.size());
    }
    const auto mismatch =
        std::mismatch(expected.begin(), expected.end(), recording.begin()).first - expected.begin();
    if (mismatch != static_cast<std::ptrdiff_t>(expected.size())) {
        return QStringLiteral("first wrong frame: %1").arg(mismatch / 4);
    }
    const auto loud = std::find_if(recording.begin() + static_cast<std::ptrdiff_t>(expected.size()),
                                   recording.end(), [](std::uint8_t b) { return b != 0; });
    if (loud != recording.end()) {
        return QStringLiteral("sound after the last frame, at frame %1")
            .arg((loud - recording.begin()) / 4);
    }
    return {};
}

// Empty when recording is a prefix of expected (a preview stopped early).
QString PrefixOf(const Bytes& recording, const Bytes& expected) {
    if (recording.size() > expected.size()) {
        return QStringLiteral("more was played than the preview holds");
    }
    const auto mismatch =
        std::mismatch(recording.begin(), recording.end(), expected.begin()).first -
        recording.begin();
    if (mismatch != static_cast<std::ptrdiff_t>(recording.size())) {
        return QStringLiteral("first wrong frame: %1").arg(mismatch / 4);
    }
    return {};
}

// The names of the files in a folder.
std::vector<std::string> FilesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

class GainDlgTest : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();

    // Window, layout and chrome.
    void initialState();
    void windowChrome();
    void layoutMatchesDialogUnits();
    void tabOrder();
    void percentTipFollowsThePercentage();

    // Browse and drag and drop.
    void browseProposesPercentage_data();
    void browseProposesPercentage();
    void browseOfAMissingFileProposesZero();
    void cancelledBrowseChangesNothing();
    void browseRefusesATooLongPath();
    void dropOfAWaveFileLoadsItLikeBrowse();
    void dragOfOtherThingsIsRefused();
    void dropOfATooLongPathIsRefused();

    // Save.
    void saveWritesTheGainAppliedLoadedImage();
    void saveOfAnEightBitFileWidensItEveryTime();
    void saveKeepsAMonoFileMono();
    void saveWithoutSamplesDoesNothing();
    void cancelledSaveWritesNothing();

    // Play and Stop.
    void playWithoutSamplesDoesNothing();
    void playAndStop();
    void previewThatRunsToItsEndPutsPlayBack();
    void staleEndOfAnEarlierPreviewIsIgnored();
    void playOfAnEightBitFileTellsEveryTime();
    void monoFilePlaysAsStereo();
    void percentChangeDuringPreviewKeepsThePlayCopy();
    void browseDuringPreviewReplacesOnlyTheLoadedImage();
    void saveDuringPreviewUsesTheCurrentPercentage();
    void fastRepeatedPlayAndStop();
    void closingDuringPreviewStopsIt_data();
    void closingDuringPreviewStopsIt();
    void failedDeviceStartKeepsStopUntilClicked();
    void recordingIsTheGainAppliedPreview_data();
    void recordingIsTheGainAppliedPreview();

    // Keyboard, About box and context menu.
    void enterAndEscEndTheDialog_data();
    void enterAndEscEndTheDialog();
    void systemCommandOpensAboutBox_data();
    void systemCommandOpensAboutBox();
    void contextMenuOffersTheAboutBox();

  private:
    std::string MakeFile(const std::string& name, const Bytes& bytes);
    std::string MakeWave16(const std::string& name, std::uint16_t channels,
                           const std::vector<std::int16_t>& samples, std::uint32_t rate = kRate);
    // Browse with the open chooser answering path.
    void Browse(const std::string& path);
    // Save with the save chooser answering path.
    void Save(const std::string& path);
    void ClickPlay();
    QPushButton* Button(const char* name) const;
    QString PlayText() const { return m_dlg->m_btnPlay->text(); }
    QString PathText() const { return m_dlg->m_editPath->text(); }
    std::vector<std::string> Messages() const { return m_messages->Messages(); }
    // Runs the event loop until the preview has ended by itself and its device is closed.
    bool WaitForEndOfPreview(int timeoutMs = 10000);
    // Runs a system command, closing any About box it opens; gives how many were opened.
    int SysCommandClosingAbout(unsigned commandId, QString* pTitle, QString* pText);

    std::unique_ptr<platform::EmulatedWaveOut> m_driver;
    std::unique_ptr<testsupport::MessageCapture> m_messages;
    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<CGainDlg> m_dlg;
    // The choosers' answers, taken in order; what was asked (true for a save).
    std::deque<std::optional<std::string>> m_answers;
    std::vector<bool> m_asked;
    int m_unanswered = 0;
};

void GainDlgTest::init() {
    m_driver = std::make_unique<platform::EmulatedWaveOut>(
        platform::EmulatedWaveOut::Options{.realTime = true});
    platform::SetWaveOutDriver(m_driver.get());
    m_messages = std::make_unique<testsupport::MessageCapture>();
    m_dir = std::make_unique<testsupport::TempDir>();
    m_answers.clear();
    m_asked.clear();
    m_unanswered = 0;
    SetFileChooserForTesting([this](bool save) -> std::optional<std::string> {
        m_asked.push_back(save);
        if (m_answers.empty()) {
            ++m_unanswered;
            return std::nullopt;
        }
        std::optional<std::string> answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    });
    m_dlg = std::make_unique<CGainDlg>();
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
}

void GainDlgTest::cleanup() {
    m_dlg.reset();
    QCoreApplication::processEvents();
    SetFileChooserForTesting({});
    QCOMPARE(m_unanswered, 0);
    m_dir.reset();
    m_messages.reset();
    if (m_driver) {
        QCOMPARE(m_driver->OpenDevices(), 0);
    }
    platform::SetWaveOutDriver(nullptr);
    m_driver.reset();
}

std::string GainDlgTest::MakeFile(const std::string& name, const Bytes& bytes) {
    const std::string path = m_dir->File(name);
    testsupport::WriteFile(path, bytes);
    return path;
}

std::string GainDlgTest::MakeWave16(const std::string& name, std::uint16_t channels,
                                    const std::vector<std::int16_t>& samples, std::uint32_t rate) {
    return MakeFile(name, WaveFile(channels, rate, 16, testsupport::Samples16(samples)));
}

void GainDlgTest::Browse(const std::string& path) {
    m_answers.push_back(path);
    Button("IDC_BROWSE")->click();
}

void GainDlgTest::Save(const std::string& path) {
    m_answers.push_back(path);
    Button("IDC_SAVE")->click();
}

void GainDlgTest::ClickPlay() {
    Button("IDC_PLAY")->click();
}

QPushButton* GainDlgTest::Button(const char* name) const {
    return m_dlg->findChild<QPushButton*>(QString::fromLatin1(name));
}

bool GainDlgTest::WaitForEndOfPreview(int timeoutMs) {
    return QTest::qWaitFor(
        [this] {
            return !m_dlg->m_bPlaying && PlayText() == kPlayText && m_driver->OpenDevices() == 0;
        },
        timeoutMs);
}

int GainDlgTest::SysCommandClosingAbout(unsigned commandId, QString* pTitle, QString* pText) {
    int opened = 0;
    QTimer closer;
    closer.setInterval(5);
    connect(&closer, &QTimer::timeout, [&] {
        auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        if (pAbout == nullptr || !pAbout->isVisible()) {
            return;
        }
        ++opened;
        *pTitle = pAbout->windowTitle();
        const QList<QLabel*> labels = pAbout->findChildren<QLabel*>();
        for (const QLabel* pLabel : labels) {
            if (!pLabel->text().isEmpty()) {
                *pText = pLabel->text();
            }
        }
        if (pAbout->parentWidget() != m_dlg.get()) {
            *pTitle += QStringLiteral(" (not over the main window)");
        }
        pAbout->accept();
    });
    closer.start();
    m_dlg->OnSysCommand(commandId);
    // Anything the command left behind would show up here.
    QTest::qWait(30);
    closer.stop();
    return opened;
}

// --- Window, layout and chrome ---------------------------------------------------------------

void GainDlgTest::initialState() {
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
    QCOMPARE(m_dlg->m_spinPercent->text(), QStringLiteral("100"));
    QCOMPARE(m_dlg->m_spinPercent->minimum(), 0);
    QCOMPARE(m_dlg->m_spinPercent->maximum(), 1000);
    QCOMPARE(m_dlg->ReadPercent(), 100);
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(PathText().isEmpty());
    QVERIFY(!m_dlg->m_pWave);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);
    QVERIFY(!m_dlg->m_bPlaying);
    QCOMPARE(g_pMainDlg, m_dlg.get());
    QCOMPARE(m_dlg->focusWidget(), Button("IDC_BROWSE"));
    QVERIFY(m_dlg->acceptDrops());
    QVERIFY(Messages().empty());
    QVERIFY(m_asked.empty());
}

void GainDlgTest::windowChrome() {
    QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Sonorette"));
    const Qt::WindowFlags flags = m_dlg->windowFlags();
    QCOMPARE(m_dlg->windowType(), Qt::Dialog);
    QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowTitleHint));
    QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!m_dlg->windowIcon().isNull());

    const CDialogUnits units(m_dlg->font());
    const QSize size(units.X(175), units.Y(113));
    QCOMPARE(m_dlg->size(), size);
    QCOMPARE(m_dlg->minimumSize(), size);
    QCOMPARE(m_dlg->maximumSize(), size);
    QVERIFY(!m_dlg->isSizeGripEnabled());
    QCOMPARE(m_dlg->font().pointSize(), 9);
}

void GainDlgTest::layoutMatchesDialogUnits() {
    const CDialogUnits units(m_dlg->font());
    struct Placed {
        const char* name;
        QString text;
        int x, y, width, height;
    };
    const Placed buttons[] = {
        {"IDC_BROWSE", QStringLiteral("参照"), 136, 7, 33, 22},
        {"IDC_PLAY", QStringLiteral("再生"), 74, 59, 39, 16},
        {"IDC_SAVE", QStringLiteral("保存"), 125, 57, 43, 17},
        {"IDOK", QStringLiteral("終了"), 63, 92, 50, 14},
    };
    for (const Placed& placed : buttons) {
        QPushButton* pButton = Button(placed.name);
        QVERIFY2(pButton != nullptr, placed.name);
        QCOMPARE(pButton->geometry(), units.Rect(placed.x, placed.y, placed.width, placed.height));
        QCOMPARE(pButton->text(), placed.text);
    }
    auto* pPath = m_dlg->findChild<QLineEdit*>(QStringLiteral("IDC_PATH"));
    QVERIFY(pPath != nullptr);
    QCOMPARE(pPath, m_dlg->m_editPath);
    QCOMPARE(pPath->geometry(), units.Rect(7, 7, 127, 21));
    auto* pPercent = m_dlg->findChild<QSpinBox*>(QStringLiteral("IDC_PERCENT"));
    QVERIFY(pPercent != nullptr);
    QCOMPARE(pPercent, m_dlg->m_spinPercent);
    QCOMPARE(pPercent->geometry(), units.Rect(7, 60, 35, 15));
    QCOMPARE(Button("IDC_PLAY"), m_dlg->m_btnPlay);

    const QList<QLabel*> labels = m_dlg->findChildren<QLabel*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.front()->text(), QStringLiteral("％"));
    QCOMPARE(labels.front()->geometry(), units.Rect(41, 59, 10, 17));
    QCOMPARE(labels.front()->alignment(), Qt::AlignCenter);

    // Exit is the one default button.
    QVERIFY(Button("IDOK")->isDefault());
    for (const char* name : {"IDC_BROWSE", "IDC_PLAY", "IDC_SAVE"}) {
        QVERIFY2(!Button(name)->isDefault(), name);
        QVERIFY2(!Button(name)->autoDefault(), name);
    }
}

void GainDlgTest::tabOrder() {
    m_dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    QWidget* const order[] = {Button("IDC_BROWSE"), m_dlg->m_editPath,  m_dlg->m_spinPercent,
                              Button("IDC_PLAY"),   Button("IDC_SAVE"), Button("IDOK"),
                              Button("IDC_BROWSE")};
    order[0]->setFocus();
    for (std::size_t i = 1; i < std::size(order); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* pFocus = QApplication::focusWidget();
        QVERIFY2(pFocus == order[i] || order[i]->isAncestorOf(pFocus),
                 qPrintable(QStringLiteral("step %1: focus on %2")
                                .arg(i)
                                .arg(pFocus ? pFocus->objectName() : QStringLiteral("nothing"))));
    }
    // And back again.
    for (std::size_t i = std::size(order) - 1; i-- > 0;) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        QWidget* pFocus = QApplication::focusWidget();
        QVERIFY2(pFocus == order[i] || order[i]->isAncestorOf(pFocus),
                 qPrintable(QStringLiteral("back step %1").arg(i)));
    }
}

void GainDlgTest::percentTipFollowsThePercentage() {
    QCOMPARE(m_dlg->m_spinPercent->toolTip(), QStringLiteral("ゲイン: +0.0 dB"));
    m_dlg->m_spinPercent->setValue(0);
    QCOMPARE(m_dlg->m_spinPercent->toolTip(), QStringLiteral("ゲイン: -∞ dB"));
    Browse(MakeWave16("half.wav", 1, {16384, -3, 7}));
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    QCOMPARE(m_dlg->m_spinPercent->toolTip(), QStringLiteral("ピーク: -6.0 dBFS\nゲイン: +6.0 dB"));
}

// --- Browse and drag and drop ----------------------------------------------------------------

void GainDlgTest::browseProposesPercentage_data() {
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("channels");
    QTest::addColumn<QList<int>>("samples");
    QTest::addColumn<int>("proposal");

    QTest::newRow("16-bit peak 32767") << 16 << 1 << QList<int>{0, 32767, -100} << 100;
    QTest::newRow("16-bit peak 32768") << 16 << 1 << QList<int>{5, -32768, 32000} << 100;
    QTest::newRow("16-bit peak 16384") << 16 << 2 << QList<int>{16384, -20, 3, 9} << 200;
    QTest::newRow("16-bit peak -16384") << 16 << 1 << QList<int>{-16384, 16383} << 200;
    QTest::newRow("16-bit peak 3277") << 16 << 1 << QList<int>{3277, -3000} << 999;
    QTest::newRow("16-bit peak 3276") << 16 << 1 << QList<int>{-3276, 1} << 1000;
    QTest::newRow("16-bit peak 100") << 16 << 2 << QList<int>{100, -99} << 1000;
    QTest::newRow("16-bit silence") << 16 << 1 << QList<int>{0, 0, 0, 0} << 0;
    QTest::newRow("16-bit no samples") << 16 << 1 << QList<int>{} << 0;
    QTest::newRow("8-bit full scale") << 8 << 1 << QList<int>{128, 0, 200} << 100;
    QTest::newRow("8-bit half scale") << 8 << 1 << QList<int>{64, 192, 128} << 200;
    QTest::newRow("8-bit silence") << 8 << 2 << QList<int>{128, 128} << 0;
}

void GainDlgTest::browseProposesPercentage() {
    QFETCH(int, bits);
    QFETCH(int, channels);
    QFETCH(QList<int>, samples);
    QFETCH(int, proposal);

    Bytes sampleBytes;
    for (const int s : samples) {
        if (bits == 16) {
            testsupport::AppendLE16(sampleBytes, static_cast<std::uint16_t>(s));
        } else {
            sampleBytes.push_back(static_cast<std::uint8_t>(s));
        }
    }
    const std::string path =
        MakeFile("proposal.wav", WaveFile(static_cast<std::uint16_t>(channels), kRate,
                                          static_cast<std::uint16_t>(bits), sampleBytes));
    m_dlg->m_spinPercent->setValue(555);
    Browse(path);

    QCOMPARE(m_asked, std::vector<bool>{false});
    QCOMPARE(m_dlg->m_spinPercent->value(), proposal);
    QCOMPARE(m_dlg->m_spinPercent->text(), QString::number(proposal));
    QCOMPARE(PathText(), QString::fromStdString(path));
    QVERIFY(m_dlg->m_pWave);
    QVERIFY(m_dlg->m_pWave->HasSamples());
    QCOMPARE(SampleBytes(*m_dlg->m_pWave), sampleBytes);
    QVERIFY(Messages().empty());
    QCOMPARE(PlayText(), kPlayText);
}

void GainDlgTest::browseOfAMissingFileProposesZero() {
    Browse(MakeWave16("loud.wav", 1, {16384}));
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    const CWaveData* pOld = m_dlg->m_pWave.get();
    QVERIFY(pOld != nullptr);

    const std::string missing = m_dir->File("missing.wav");
    Browse(missing);
    QCOMPARE(Messages(), std::vector<std::string>{kNotFound});
    QCOMPARE(PathText(), QString::fromStdString(missing));
    QCOMPARE(m_dlg->m_spinPercent->value(), 0);
    QVERIFY(m_dlg->m_pWave);
    QVERIFY(!m_dlg->m_pWave->HasSamples());
    QCOMPARE(m_asked, (std::vector<bool>{false, false}));
}

void GainDlgTest::cancelledBrowseChangesNothing() {
    const std::string path = MakeWave16("a.wav", 1, {16384, -1});
    Browse(path);
    m_dlg->m_spinPercent->setValue(321);
    const CWaveData* pLoaded = m_dlg->m_pWave.get();

    m_answers.push_back(std::nullopt);
    Button("IDC_BROWSE")->click();
    QCOMPARE(m_asked, (std::vector<bool>{false, false}));
    QCOMPARE(PathText(), QString::fromStdString(path));
    QCOMPARE(m_dlg->m_spinPercent->value(), 321);
    QCOMPARE(m_dlg->m_pWave.get(), pLoaded);
    QCOMPARE(SampleBytes(*m_dlg->m_pWave), testsupport::Samples16({16384, -1}));
    QVERIFY(Messages().empty());

    // Before anything was loaded, too.
    m_dlg = std::make_unique<CGainDlg>();
    m_answers.push_back(std::nullopt);
    Button("IDC_BROWSE")->click();
    QVERIFY(PathText().isEmpty());
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
    QVERIFY(!m_dlg->m_pWave);
}

void GainDlgTest::browseRefusesATooLongPath() {
    const std::string path = MakeWave16("a.wav", 1, {16384});
    Browse(path);
    const std::string tooLong = "/" + std::string(259, 'x');
    Browse(tooLong);
    QCOMPARE(Messages(), std::vector<std::string>{kPathTooLong});
    QCOMPARE(PathText(), QString::fromStdString(path));
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    QVERIFY(m_dlg->m_pWave && m_dlg->m_pWave->HasSamples());
}

void GainDlgTest::dropOfAWaveFileLoadsItLikeBrowse() {
    const std::string path = MakeWave16("dropped.WAV", 2, {16384, -8, 4, 1});
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(path))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_dlg.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_dlg.get(), &drop);
    QVERIFY(drop.isAccepted());

    QCOMPARE(PathText(), QString::fromStdString(path));
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    QVERIFY(m_dlg->m_pWave && m_dlg->m_pWave->HasSamples());
    QCOMPARE(m_dlg->m_pWave->m_channels, 2);
    QVERIFY(Messages().empty());
    QVERIFY(m_asked.empty());
}

void GainDlgTest::dragOfOtherThingsIsRefused() {
    const QList<QList<QUrl>> refused = {
        {QUrl::fromLocalFile(QString::fromStdString(m_dir->File("notes.txt")))},
        {QUrl::fromLocalFile(QString::fromStdString(m_dir->File("a.wav"))),
         QUrl::fromLocalFile(QString::fromStdString(m_dir->File("b.wav")))},
        {QUrl(QStringLiteral("https://example.org/sound.wav"))},
        {},
    };
    for (const QList<QUrl>& urls : refused) {
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(m_dlg.get(), &enter);
        QVERIFY2(!enter.isAccepted(),
                 qPrintable(urls.isEmpty() ? QStringLiteral("no url") : urls.front().toString()));
    }
    QVERIFY(!m_dlg->m_pWave);
    QVERIFY(PathText().isEmpty());
}

void GainDlgTest::dropOfATooLongPathIsRefused() {
    const std::string tooLong = m_dir->Path() + "/" + std::string(300, 'y') + ".wav";
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(tooLong))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_dlg.get(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(m_dlg.get(), &drop);
    QCOMPARE(Messages(), std::vector<std::string>{kPathTooLong});
    QVERIFY(!m_dlg->m_pWave);
    QVERIFY(PathText().isEmpty());
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
}

// --- Save ------------------------------------------------------------------------------------

void GainDlgTest::saveWritesTheGainAppliedLoadedImage() {
    const std::vector<std::int16_t> samples = {0,     1,      -1,    3,      -3,    199,   -199,
                                               12345, -12345, 20000, -20000, 32767, -32768};
    const std::string source = MakeWave16("source.wav", 1, samples, 22050);
    Browse(source);
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
    const Bytes loaded = SampleBytes(*m_dlg->m_pWave);

    // The percentage as typed into the box.
    m_dlg->m_spinPercent->selectAll();
    QTest::keyClicks(m_dlg->m_spinPercent, QStringLiteral("50"));
    QCOMPARE(m_dlg->ReadPercent(), 50);
    const std::string half = m_dir->File("half.wav");
    Save(half);
    QCOMPARE(testsupport::ReadFile(half),
             SavedFile(1, 22050,
                       testsupport::Samples16(
                           {0, 0, 0, 1, -1, 99, -99, 6172, -6172, 10000, -10000, 16383, -16384})));

    m_dlg->m_spinPercent->setValue(250);
    const std::string louder = m_dir->File("louder.wav");
    Save(louder);
    QCOMPARE(testsupport::ReadFile(louder),
             SavedFile(1, 22050,
                       testsupport::Samples16({0, 2, -2, 7, -7, 497, -497, 30862, -30862, 32767,
                                               -32768, 32767, -32768})));

    // The first file is still as written, and the loaded image never changed.
    QCOMPARE(testsupport::ReadFile(half).size(), std::size_t{44 + 26});
    QCOMPARE(SampleBytes(*m_dlg->m_pWave), loaded);
    QCOMPARE(m_dlg->m_pWave->m_bitsPerSample, 16);
    QCOMPARE(m_asked, (std::vector<bool>{false, true, true}));
    QVERIFY(Messages().empty());
    QCOMPARE(m_dlg->m_spinPercent->value(), 250);
    QCOMPARE(PathText(), QString::fromStdString(source));
}

void GainDlgTest::saveOfAnEightBitFileWidensItEveryTime() {
    const Bytes eightBit = {0, 64, 128, 192, 255};
    Browse(MakeFile("eight.wav", WaveFile(1, 8000, 8, eightBit)));
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
    QVERIFY(Messages().empty());

    const std::string first = m_dir->File("first.wav");
    Save(first);
    QCOMPARE(Messages(), std::vector<std::string>{kBitsChanged});
    QCOMPARE(testsupport::ReadFile(first),
             SavedFile(1, 8000, testsupport::Samples16({-32768, -16384, 0, 16384, 32512})));

    m_dlg->m_spinPercent->setValue(50);
    const std::string second = m_dir->File("second.wav");
    Save(second);
    QCOMPARE(Messages(), (std::vector<std::string>{kBitsChanged, kBitsChanged}));
    QCOMPARE(testsupport::ReadFile(second),
             SavedFile(1, 8000, testsupport::Samples16({-16384, -8192, 0, 8192, 16256})));

    // The loaded image stays 8-bit.
    QCOMPARE(m_dlg->m_pWave->m_bitsPerSample, 8);
    QCOMPARE(SampleBytes(*m_dlg->m_pWave), eightBit);
}

void GainDlgTest::saveKeepsAMonoFileMono() {
    Browse(MakeWave16("mono.wav", 1, {1000, -2000, 3000}, 48000));
    m_dlg->m_spinPercent->setValue(200);
    const std::string out = m_dir->File("out.wav");
    Save(out);
    const Bytes saved = testsupport::ReadFile(out);
    QCOMPARE(saved, SavedFile(1, 48000, testsupport::Samples16({2000, -4000, 6000})));
    QCOMPARE(saved[22], std::uint8_t{1});
    QCOMPARE(saved[32], std::uint8_t{2});
    QVERIFY(Messages().empty());
}

void GainDlgTest::saveWithoutSamplesDoesNothing() {
    // Nothing loaded: the chooser is not even asked.
    Button("IDC_SAVE")->click();
    QVERIFY(m_asked.empty());

    // A failed read.
    Browse(m_dir->File("missing.wav"));
    QCOMPARE(Messages(), std::vector<std::string>{kNotFound});
    m_messages->Clear();
    Button("IDC_SAVE")->click();
    QCOMPARE(m_asked, std::vector<bool>{false});
    QVERIFY(Messages().empty());
    QVERIFY(FilesIn(m_dir->Path()).empty());
}

void GainDlgTest::cancelledSaveWritesNothing() {
    Browse(MakeWave16("a.wav", 1, {5, 6}));
    m_answers.push_back(std::nullopt);
    Button("IDC_SAVE")->click();
    QCOMPARE(m_asked, (std::vector<bool>{false, true}));
    QVERIFY(Messages().empty());
    QCOMPARE(FilesIn(m_dir->Path()), std::vector<std::string>{"a.wav"});
    QCOMPARE(m_dlg->m_spinPercent->value(), 1000);
}

// --- Play and Stop ---------------------------------------------------------------------------

void GainDlgTest::playWithoutSamplesDoesNothing() {
    ClickPlay();
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(!m_dlg->m_bPlaying);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);

    Browse(m_dir->File("missing.wav"));
    m_messages->Clear();
    ClickPlay();
    QTest::qWait(20);
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(!m_dlg->m_bPlaying);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);
    QCOMPARE(m_driver->OpensSoFar(), 0);
    QVERIFY(Messages().empty());
}

void GainDlgTest::playAndStop() {
    const auto samples = NumberedStereo(kRate * 5);
    Browse(MakeWave16("long.wav", 2, samples));
    QCOMPARE(m_dlg->m_spinPercent->value(), 109);
    const CWaveData* pLoaded = m_dlg->m_pWave.get();

    ClickPlay();
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QVERIFY(m_dlg->m_pPlayer);
    QVERIFY(m_dlg->m_pPlayWave);
    QVERIFY(m_dlg->m_pPlayer->IsRunning());
    QCOMPARE(m_dlg->m_pPlayWave->m_channels, 2);
    QCOMPARE(m_dlg->m_pPlayWave->m_bitsPerSample, 16);
    QCOMPARE(m_driver->OpenDevices(), 1);
    QCOMPARE(g_PlayFormat.nChannels, 2);
    QCOMPARE(g_PlayFormat.nSamplesPerSec, kRate);
    QCOMPARE(g_PlayFormat.nBlockAlign, 4);
    QCOMPARE(g_PlayFormat.wBitsPerSample, 16);

    // The preview keeps going while the event loop runs.
    QTest::qWait(300);
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QVERIFY(m_dlg->m_pPlayer->IsRunning());
    QVERIFY(QTest::qWaitFor([this] { return m_driver->Recording().size() >= kRate; }, 5000));

    ClickPlay();
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(!m_dlg->m_bPlaying);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);
    QCOMPARE(m_driver->OpenDevices(), 0);
    QCOMPARE(m_dlg->m_pWave.get(), pLoaded);

    // What was heard is the beginning of the file, and nothing is heard after Stop.
    const Bytes recording = m_driver->Recording();
    // At the proposed 109 %.
    const QString prefix = PrefixOf(recording, testsupport::Samples16(Gained(samples, 109)));
    QVERIFY2(prefix.isEmpty(), qPrintable(prefix));
    QTest::qWait(50);
    QCOMPARE(m_driver->Recording().size(), recording.size());
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(Messages().empty());
}

void GainDlgTest::previewThatRunsToItsEndPutsPlayBack() {
    const auto samples = NumberedStereo(kRate / 10);
    Browse(MakeWave16("short.wav", 2, samples));
    m_dlg->m_spinPercent->setValue(100);
    const Bytes expected = testsupport::Samples16(samples);

    ClickPlay();
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(WaitForEndOfPreview());
    QString check = SourceThenSilence(m_driver->Recording(), expected);
    QVERIFY2(check.isEmpty(), qPrintable(check));

    // The next click starts a new preview from the beginning.
    m_driver->ClearRecording();
    ClickPlay();
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QCOMPARE(m_driver->OpensSoFar(), 2);
    QVERIFY(WaitForEndOfPreview());
    check = SourceThenSilence(m_driver->Recording(), expected);
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QVERIFY(Messages().empty());
}

void GainDlgTest::staleEndOfAnEarlierPreviewIsIgnored() {
    const std::string shortPath = MakeWave16("short.wav", 2, NumberedStereo(kRate / 50));
    const std::string longPath = MakeWave16("long.wav", 2, NumberedStereo(kRate * 5));
    Browse(shortPath);
    ClickPlay();
    QCOMPARE(m_driver->OpensSoFar(), 1);
    // Without running the event loop, let the short preview end: its end report and its
    // finished buffers wait in the queue.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (m_driver->OpenDevices() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    QCOMPARE(m_driver->OpenDevices(), 0);
    QCOMPARE(PlayText(), kStopText);

    Browse(longPath);
    ClickPlay();  // Stop
    QCOMPARE(PlayText(), kPlayText);
    ClickPlay();  // a new, long preview
    QCOMPARE(PlayText(), kStopText);
    QCOMPARE(m_driver->OpenDevices(), 1);

    // Now the earlier preview's events are delivered; they must not end the new one.
    QTest::qWait(200);
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QVERIFY(m_dlg->m_pPlayer && m_dlg->m_pPlayer->IsRunning());
    QCOMPARE(m_driver->OpenDevices(), 1);
    QVERIFY(Messages().empty());

    ClickPlay();
    QCOMPARE(PlayText(), kPlayText);
    QCOMPARE(m_driver->OpenDevices(), 0);
}

void GainDlgTest::playOfAnEightBitFileTellsEveryTime() {
    Bytes eightBit(800);
    for (std::size_t i = 0; i < eightBit.size(); ++i) {
        eightBit[i] = static_cast<std::uint8_t>(i % 2 == 0 ? 128 + i % 100 : 127 - i % 100);
    }
    Browse(MakeFile("eight.wav", WaveFile(1, 8000, 8, eightBit)));
    QVERIFY(Messages().empty());
    // The largest distance from 128 is 100: 128 % is proposed.
    QCOMPARE(m_dlg->m_spinPercent->value(), 128);

    ClickPlay();
    QCOMPARE(Messages(), std::vector<std::string>{kBitsChanged});
    QCOMPARE(m_dlg->m_pPlayWave->m_bitsPerSample, 16);
    QCOMPARE(m_dlg->m_pPlayWave->m_channels, 2);
    ClickPlay();
    QCOMPARE(PlayText(), kPlayText);

    m_driver->ClearRecording();
    ClickPlay();
    QCOMPARE(Messages(), (std::vector<std::string>{kBitsChanged, kBitsChanged}));
    QVERIFY(WaitForEndOfPreview());
    std::vector<std::int16_t> stereo;
    for (const std::uint8_t u : eightBit) {
        const std::int16_t s = Gained(static_cast<std::int16_t>((u - 128) * 256), 128);
        stereo.push_back(s);
        stereo.push_back(s);
    }
    const QString check = SourceThenSilence(m_driver->Recording(), testsupport::Samples16(stereo));
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QCOMPARE(m_dlg->m_pWave->m_bitsPerSample, 8);
    QCOMPARE(Messages().size(), std::size_t{2});
}

void GainDlgTest::monoFilePlaysAsStereo() {
    const auto samples = NumberedMono(kRate / 8);
    Browse(MakeWave16("mono.wav", 1, samples));
    m_dlg->m_spinPercent->setValue(150);
    ClickPlay();
    QVERIFY(m_dlg->m_pPlayWave);
    QCOMPARE(m_dlg->m_pPlayWave->m_channels, 2);
    QCOMPARE(m_dlg->m_pPlayWave->m_blockAlign, 4);
    QCOMPARE(g_PlayFormat.nChannels, 2);
    QCOMPARE(g_PlayFormat.nAvgBytesPerSec, kRate * 4);
    QCOMPARE(m_dlg->m_pWave->m_channels, 1);

    QVERIFY(WaitForEndOfPreview());
    std::vector<std::int16_t> stereo;
    for (const std::int16_t s : Gained(samples, 150)) {
        stereo.push_back(s);
        stereo.push_back(s);
    }
    const QString check = SourceThenSilence(m_driver->Recording(), testsupport::Samples16(stereo));
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QVERIFY(Messages().empty());
}

void GainDlgTest::percentChangeDuringPreviewKeepsThePlayCopy() {
    const auto samples = NumberedStereo(kRate * 5);
    Browse(MakeWave16("long.wav", 2, samples));
    m_dlg->m_spinPercent->setValue(80);
    ClickPlay();
    const CWaveData* pCopy = m_dlg->m_pPlayWave.get();
    const CWavePlayer* pPlayer = m_dlg->m_pPlayer.get();
    const Bytes atEighty = testsupport::Samples16(Gained(samples, 80));
    QCOMPARE(SampleBytes(*pCopy), atEighty);

    m_dlg->m_spinPercent->setValue(30);
    QTest::qWait(100);
    QCOMPARE(m_dlg->m_pPlayWave.get(), pCopy);
    QCOMPARE(m_dlg->m_pPlayer.get(), pPlayer);
    QCOMPARE(SampleBytes(*m_dlg->m_pPlayWave), atEighty);
    QCOMPARE(PlayText(), kStopText);

    ClickPlay();
    // What was heard so far was at 80 %.
    const QString prefix = PrefixOf(m_driver->Recording(), atEighty);
    QVERIFY2(prefix.isEmpty(), qPrintable(prefix));

    // The next Play takes the new value.
    ClickPlay();
    QCOMPARE(SampleBytes(*m_dlg->m_pPlayWave), testsupport::Samples16(Gained(samples, 30)));
    ClickPlay();
    QCOMPARE(m_driver->OpenDevices(), 0);
    QVERIFY(Messages().empty());
}

void GainDlgTest::browseDuringPreviewReplacesOnlyTheLoadedImage() {
    const auto first = NumberedStereo(kRate * 5);
    Browse(MakeWave16("first.wav", 2, first));
    QCOMPARE(m_dlg->m_spinPercent->value(), 109);
    ClickPlay();
    const CWaveData* pCopy = m_dlg->m_pPlayWave.get();
    const CWavePlayer* pPlayer = m_dlg->m_pPlayer.get();
    const Bytes firstGained = testsupport::Samples16(Gained(first, 109));
    QTest::qWait(50);

    const std::vector<std::int16_t> second = {16384, -5, 6, -7};
    const std::string secondPath = MakeWave16("second.wav", 1, second);
    Browse(secondPath);
    QCOMPARE(PathText(), QString::fromStdString(secondPath));
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    QCOMPARE(SampleBytes(*m_dlg->m_pWave), testsupport::Samples16(second));
    QCOMPARE(m_dlg->m_pPlayWave.get(), pCopy);
    QCOMPARE(m_dlg->m_pPlayer.get(), pPlayer);
    QCOMPARE(SampleBytes(*m_dlg->m_pPlayWave), firstGained);

    // The preview goes on, from the first file.
    const std::size_t heard = m_driver->Recording().size();
    QTest::qWait(200);
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QCOMPARE(m_driver->OpenDevices(), 1);
    QVERIFY(m_driver->Recording().size() > heard);

    ClickPlay();
    const QString prefix = PrefixOf(m_driver->Recording(), firstGained);
    QVERIFY2(prefix.isEmpty(), qPrintable(prefix));
    QVERIFY(Messages().empty());
}

void GainDlgTest::saveDuringPreviewUsesTheCurrentPercentage() {
    const auto samples = NumberedStereo(kRate * 5);
    Browse(MakeWave16("long.wav", 2, samples));
    ClickPlay();
    const Bytes playCopy = SampleBytes(*m_dlg->m_pPlayWave);

    m_dlg->m_spinPercent->setValue(45);
    const std::string out = m_dir->File("saved.wav");
    Save(out);
    QCOMPARE(testsupport::ReadFile(out),
             SavedFile(2, kRate, testsupport::Samples16(Gained(samples, 45))));

    QTest::qWait(50);
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QCOMPARE(m_driver->OpenDevices(), 1);
    QCOMPARE(SampleBytes(*m_dlg->m_pPlayWave), playCopy);
    ClickPlay();
    QCOMPARE(m_driver->OpenDevices(), 0);
    QVERIFY(Messages().empty());
}

void GainDlgTest::fastRepeatedPlayAndStop() {
    std::mt19937 random(20240607);
    Browse(MakeWave16("long.wav", 2, NumberedStereo(kRate * 5)));
    for (int cycle = 0; cycle < 50; ++cycle) {
        ClickPlay();
        QCOMPARE(PlayText(), kStopText);
        QTest::qWait(static_cast<int>(random() % 16));
        ClickPlay();
        QCOMPARE(PlayText(), kPlayText);
        QVERIFY(!m_dlg->m_pPlayer);
        QCOMPARE(m_driver->OpenDevices(), 0);
        if (random() % 2 == 0) {
            QTest::qWait(static_cast<int>(random() % 4));
        }
    }

    // A preview so short that the clicks fall before, during or after its end.
    Browse(MakeWave16("short.wav", 2, NumberedStereo(kRate / 40)));
    for (int cycle = 0; cycle < 20; ++cycle) {
        ClickPlay();
        QCOMPARE(PlayText(), m_dlg->m_bPlaying ? kStopText : kPlayText);
        QVERIFY(!m_dlg->m_bPlaying || m_dlg->m_pPlayer);
        QTest::qWait(static_cast<int>(random() % 250));
        QCOMPARE(PlayText(), m_dlg->m_bPlaying ? kStopText : kPlayText);
    }
    if (m_dlg->m_bPlaying) {
        ClickPlay();
    }
    QVERIFY(QTest::qWaitFor([this] { return m_driver->OpenDevices() == 0; }, 5000));
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(Messages().empty());
}

void GainDlgTest::closingDuringPreviewStopsIt_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("done") << QStringLiteral("done") << 7;
    QTest::newRow("reject") << QStringLiteral("reject") << int(QDialog::Rejected);
    QTest::newRow("accept") << QStringLiteral("accept") << int(QDialog::Accepted);
    QTest::newRow("close box") << QStringLiteral("close") << int(QDialog::Rejected);
    QTest::newRow("Exit button") << QStringLiteral("exit") << int(QDialog::Accepted);
}

void GainDlgTest::closingDuringPreviewStopsIt() {
    QFETCH(QString, how);
    QFETCH(int, result);
    Browse(MakeWave16("long.wav", 2, NumberedStereo(kRate * 5)));
    ClickPlay();
    QTest::qWait(60);
    QCOMPARE(m_driver->OpenDevices(), 1);
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);

    if (how == QLatin1String("done")) {
        // Through the base, where done() is public; the window's override runs.
        static_cast<QDialog*>(m_dlg.get())->done(result);
    } else if (how == QLatin1String("reject")) {
        m_dlg->reject();
    } else if (how == QLatin1String("accept")) {
        m_dlg->accept();
    } else if (how == QLatin1String("close")) {
        m_dlg->close();
    } else {
        Button("IDOK")->click();
    }

    QCOMPARE(m_driver->OpenDevices(), 0);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);
    QVERIFY(!m_dlg->m_bPlaying);
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(m_dlg->result(), result);
    QCOMPARE(finished.size(), 1);
    const std::size_t heard = m_driver->Recording().size();
    QTest::qWait(50);
    QCOMPARE(m_driver->Recording().size(), heard);
    QVERIFY(Messages().empty());
}

void GainDlgTest::failedDeviceStartKeepsStopUntilClicked() {
    Browse(MakeWave16("long.wav", 2, NumberedStereo(kRate * 5)));
    m_driver->FailNextOpen();
    ClickPlay();
    QCOMPARE(Messages(), std::vector<std::string>{kOpenFailed});
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);
    QCOMPARE(m_driver->OpenDevices(), 0);
    QTest::qWait(200);
    QCOMPARE(PlayText(), kStopText);
    QVERIFY(m_dlg->m_bPlaying);

    ClickPlay();
    QCOMPARE(PlayText(), kPlayText);
    QVERIFY(!m_dlg->m_bPlaying);
    QVERIFY(!m_dlg->m_pPlayer);
    QVERIFY(!m_dlg->m_pPlayWave);

    // The device works again.
    ClickPlay();
    QCOMPARE(PlayText(), kStopText);
    QCOMPARE(m_driver->OpenDevices(), 1);
    QVERIFY(m_dlg->m_pPlayer->IsRunning());
    ClickPlay();
    QCOMPARE(m_driver->OpenDevices(), 0);
    QCOMPARE(Messages().size(), std::size_t{1});
}

void GainDlgTest::recordingIsTheGainAppliedPreview_data() {
    QTest::addColumn<int>("percent");
    QTest::newRow("100 %") << 100;
    QTest::newRow("37 %") << 37;
    QTest::newRow("175 %, some samples saturate") << 175;
}

void GainDlgTest::recordingIsTheGainAppliedPreview() {
    QFETCH(int, percent);
    const auto samples = NumberedStereo(kRate / 4);
    Browse(MakeWave16("preview.wav", 2, samples));
    m_dlg->m_spinPercent->setValue(percent);
    ClickPlay();
    QVERIFY(WaitForEndOfPreview());
    const QString check =
        SourceThenSilence(m_driver->Recording(), testsupport::Samples16(Gained(samples, percent)));
    QVERIFY2(check.isEmpty(), qPrintable(check));
    QCOMPARE(m_driver->OpensSoFar(), 1);
    QVERIFY(Messages().empty());
}

// --- Keyboard, About box and context menu ----------------------------------------------------

void GainDlgTest::enterAndEscEndTheDialog_data() {
    QTest::addColumn<QString>("widget");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("result");
    QTest::newRow("Enter in the percentage box")
        << QStringLiteral("IDC_PERCENT") << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("keypad Enter in the percentage box")
        << QStringLiteral("IDC_PERCENT") << int(Qt::Key_Enter) << int(QDialog::Accepted);
    QTest::newRow("Enter in the path box")
        << QStringLiteral("IDC_PATH") << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("Esc in the percentage box")
        << QStringLiteral("IDC_PERCENT") << int(Qt::Key_Escape) << int(QDialog::Rejected);
    QTest::newRow("Esc on Browse")
        << QStringLiteral("IDC_BROWSE") << int(Qt::Key_Escape) << int(QDialog::Rejected);
}

void GainDlgTest::enterAndEscEndTheDialog() {
    QFETCH(QString, widget);
    QFETCH(int, key);
    QFETCH(int, result);
    m_dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
    auto* pTarget = m_dlg->findChild<QWidget*>(widget);
    QVERIFY(pTarget != nullptr);
    pTarget->setFocus();
    QSignalSpy finished(m_dlg.get(), &QDialog::finished);

    QTest::keyClick(pTarget, static_cast<Qt::Key>(key));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.front().front().toInt(), result);
    QCOMPARE(m_dlg->result(), result);
    QVERIFY(!m_dlg->isVisible());
    QCOMPARE(m_dlg->m_spinPercent->value(), 100);
    QVERIFY(m_asked.empty());
}

void GainDlgTest::systemCommandOpensAboutBox_data() {
    QTest::addColumn<uint>("command");
    QTest::addColumn<int>("opened");
    QTest::newRow("16") << 16u << 1;
    QTest::newRow("23") << 23u << 1;
    QTest::newRow("31") << 31u << 1;
    QTest::newRow("0") << 0u << 0;
    QTest::newRow("15") << 15u << 0;
    QTest::newRow("32") << 32u << 0;
    QTest::newRow("48") << 48u << 0;
    QTest::newRow("close (0xF060)") << 0xF060u << 0;
}

void GainDlgTest::systemCommandOpensAboutBox() {
    QFETCH(uint, command);
    QFETCH(int, opened);
    Browse(MakeWave16("a.wav", 1, {16384}));
    QString title;
    QString text;
    QCOMPARE(SysCommandClosingAbout(command, &title, &text), opened);
    if (opened != 0) {
        QCOMPARE(title, QStringLiteral("Sonoretteのﾊﾞｰｼﾞｮﾝ情報"));
        QCOMPARE(text, QStringLiteral("Sonorette Version 1.0"));
    }
    QVERIFY(m_dlg->findChildren<CAboutDlg*>().isEmpty());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    // The main window is as it was.
    QVERIFY(m_dlg->isVisible());
    QCOMPARE(m_dlg->m_spinPercent->value(), 200);
    QVERIFY(m_dlg->m_pWave && m_dlg->m_pWave->HasSamples());
    QCOMPARE(PlayText(), kPlayText);
}

void GainDlgTest::contextMenuOffersTheAboutBox() {
    int menus = 0;
    int aboutBoxes = 0;
    QStringList menuTexts;
    QString aboutTitle;
    QTimer driver;
    driver.setInterval(5);
    connect(&driver, &QTimer::timeout, [&] {
        if (auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            pAbout != nullptr && pAbout->isVisible()) {
            ++aboutBoxes;
            aboutTitle = pAbout->windowTitle();
            pAbout->reject();
            return;
        }
        auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (pMenu == nullptr || !pMenu->isVisible()) {
            return;
        }
        ++menus;
        QAction* pLast = nullptr;
        for (QAction* pAction : pMenu->actions()) {
            menuTexts << (pAction->isSeparator() ? QStringLiteral("-") : pAction->text());
            pLast = pAction;
        }
        if (pLast == nullptr || pLast->isSeparator()) {
            pMenu->close();
            return;
        }
        const QPoint centre = pMenu->actionGeometry(pLast).center();
        QTest::mouseClick(pMenu, Qt::LeftButton, Qt::NoModifier, centre);
    });
    driver.start();
    const QPoint local(20, 20);
    QContextMenuEvent event(QContextMenuEvent::Mouse, local, m_dlg->mapToGlobal(local));
    QCoreApplication::sendEvent(m_dlg.get(), &event);
    QTest::qWait(30);
    driver.stop();

    QCOMPARE(menus, 1);
    QCOMPARE(menuTexts,
             (QStringList{QStringLiteral("-"), QStringLiteral("Sonorette のﾊﾞｰｼﾞｮﾝ情報(&A)...")}));
    QCOMPARE(aboutBoxes, 1);
    QCOMPARE(aboutTitle, QStringLiteral("Sonoretteのﾊﾞｰｼﾞｮﾝ情報"));
    QVERIFY(m_dlg->isVisible());
}

QTEST_MAIN(GainDlgTest)
#include "GainDlgTest.moc"
