// The main window driven as a user drives it, offscreen: the file choosers answer as each test
// says, messages are captured, and the emulated wave output device stands in for the sound
// card, so that nothing is ever heard and what would have been heard can be checked.
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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
using testsupport::Samples16;
using Samples = std::vector<std::int16_t>;
using Messages = std::vector<std::string>;

const QString kPlay = QStringLiteral("再生");
const QString kStop = QStringLiteral("停止");
const QString kAboutBox = QStringLiteral("about: Sonoretteのﾊﾞｰｼﾞｮﾝ情報 / Sonorette Version 1.0");
const std::string kNotFound = "ファイルが見つかりませんでした。";
const std::string kBitsChanged = "ビット数を変更しました。";
constexpr std::uint32_t kRate = 44100;
// The samples of a stereo preview too long to end during a test: 5 s.
constexpr std::uint32_t kLong = kRate * 5 * 2;

// A PCM file with the 44-byte header; for 16 bits, exactly what Save writes.
Bytes Wave(int channels, int bits, const Bytes& sampleBytes, std::uint32_t rate = kRate) {
    const Bytes format = testsupport::FormatRecord(1, static_cast<std::uint16_t>(channels), rate,
                                                   static_cast<std::uint16_t>(bits));
    return testsupport::RiffBuilder().Chunk("fmt ", format).Chunk("data", sampleBytes).Build();
}
Bytes Wave16(int channels, const Samples& samples, std::uint32_t rate = kRate) {
    return Wave(channels, 16, Samples16(samples), rate);
}

Bytes ImageBytes(const CWaveData& wave) {
    const std::uint8_t* p = wave.m_pSamples.get();
    return p == nullptr ? Bytes{} : Bytes(p, p + wave.m_sampleBytes);
}

// Each sample scaled by the percentage, truncated toward zero and limited to 16 bits.
Samples Gained(const Samples& samples, int percent) {
    Samples result;
    for (const std::int16_t s : samples) {
        const double product = std::trunc(s * (percent * 0.01));
        result.push_back(static_cast<std::int16_t>(std::clamp(product, -32768.0, 32767.0)));
    }
    return result;
}

// Never silent and never equal to a neighbour, so that a lost, repeated or misplaced frame shows.
// As stereo, the left channel peaks at 30000 (a proposal of 109 %) and the right at -20000.
Samples Numbered(std::uint32_t sampleCount) {
    Samples samples;
    for (std::uint32_t k = 0; k < sampleCount; ++k) {
        const int i = static_cast<int>(k / 2);
        samples.push_back(static_cast<std::int16_t>(k % 2 == 0 ? i % 30000 + 1 : -(i % 20000) - 1));
    }
    return samples;
}

}  // namespace

class GainDlgTest : public QObject {
    Q_OBJECT

    std::unique_ptr<platform::EmulatedWaveOut> m_driver;
    std::unique_ptr<testsupport::MessageCapture> m_messages;
    std::unique_ptr<testsupport::TempDir> m_dir;
    std::unique_ptr<CGainDlg> m_dlg;
    // The next chooser's answer (nothing: cancel), marked true for the save chooser. A chooser
    // asked for nothing or of the other kind, or not asked when expected, is unexpected.
    std::optional<std::pair<bool, std::optional<std::string>>> m_answer;
    int m_unexpected = 0;

    std::string Make(const std::string& name, const Bytes& file) {
        testsupport::WriteFile(m_dir->File(name), file);
        return m_dir->File(name);
    }
    void Choose(bool save, const std::optional<std::string>& path) {
        m_answer.emplace(save, path);
        Button(save ? "IDC_SAVE" : "IDC_BROWSE")->click();
        m_unexpected += m_answer ? 1 : 0;
        m_answer.reset();
    }
    void Browse(const std::optional<std::string>& path) { Choose(false, path); }
    void Save(const std::string& path) { Choose(true, path); }
    void ClickPlay() { Button("IDC_PLAY")->click(); }
    QPushButton* Button(const char* name) const { return m_dlg->findChild<QPushButton*>(name); }
    QString PlayText() const { return m_dlg->m_btnPlay->text(); }
    QString PathText() const { return m_dlg->m_editPath->text(); }
    int Percent() const { return m_dlg->m_spinPercent->value(); }
    Messages Shown() const { return m_messages->Messages(); }
    // No preview: none shown, none held, no device open.
    bool Stopped() const {
        return PlayText() == kPlay && !m_dlg->m_bPlaying && !m_dlg->m_pPlayer &&
               !m_dlg->m_pPlayWave && m_driver->OpenDevices() == 0;
    }

    // Runs action while a timer answers what it opens: a menu by clicking its last entry, an About
    // box by closing it. Gives what was opened, in order.
    QStringList Opened(const std::function<void()>& action) {
        QStringList opened;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            if (auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                QString text;
                for (const QLabel* pLabel : pAbout->findChildren<QLabel*>()) {
                    text += pLabel->text();
                }
                opened << QStringLiteral("about: %1 / %2").arg(pAbout->windowTitle(), text);
                pAbout->accept();
            } else if (auto* pMenu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                QStringList texts;
                for (const QAction* pAction : pMenu->actions()) {
                    texts << pAction->text();
                }
                opened << QStringLiteral("menu: ") + texts.join(QStringLiteral(" / "));
                QAction* pLast = pMenu->actions().value(pMenu->actions().size() - 1);
                if (pLast == nullptr || pLast->isSeparator()) {
                    pMenu->close();
                } else {
                    QTest::mouseClick(pMenu, Qt::LeftButton, {},
                                      pMenu->actionGeometry(pLast).center());
                }
            }
        });
        timer.start(5);
        action();
        // Anything the action left open shows up here.
        QTest::qWait(30);
        return opened;
    }

  private slots:
    void init() {
        m_driver = std::make_unique<platform::EmulatedWaveOut>(
            platform::EmulatedWaveOut::Options{.realTime = true});
        platform::SetWaveOutDriver(m_driver.get());
        m_messages = std::make_unique<testsupport::MessageCapture>();
        m_dir = std::make_unique<testsupport::TempDir>();
        m_unexpected = 0;
        SetFileChooserForTesting([this](bool save) {
            const bool expected = m_answer && m_answer->first == save;
            m_unexpected += expected ? 0 : 1;
            const std::optional<std::string> path = expected ? m_answer->second : std::nullopt;
            m_answer.reset();
            return path;
        });
        m_dlg = std::make_unique<CGainDlg>();
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    void cleanup() {
        m_dlg.reset();
        QCoreApplication::processEvents();
        SetFileChooserForTesting({});
        QCOMPARE(m_unexpected, 0);
        QCOMPARE(m_driver->OpenDevices(), 0);
        platform::SetWaveOutDriver(nullptr);
        m_driver.reset();
        m_messages.reset();
        m_dir.reset();
    }

    void initialStateAndChrome() {
        QCOMPARE(m_dlg->windowTitle(), QStringLiteral("Sonorette"));
        // A dialog with a title, a window menu and a close box, but no minimize or maximize box.
        const Qt::WindowFlags wanted = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
        QCOMPARE(
            m_dlg->windowFlags() & (wanted | Qt::WindowType_Mask | Qt::WindowMinMaxButtonsHint),
            wanted);
        QVERIFY(!m_dlg->windowIcon().isNull());
        const CDialogUnits units(m_dlg->font());
        QCOMPARE(m_dlg->minimumSize(), QSize(units.X(175), units.Y(113)));
        QCOMPARE(m_dlg->maximumSize(), m_dlg->minimumSize());
        QVERIFY(m_dlg->acceptDrops());
        QCOMPARE(m_dlg->focusWidget(), Button("IDC_BROWSE"));
        QCOMPARE(m_dlg->m_spinPercent->toolTip(), QStringLiteral("ゲイン: +0.0 dB"));
        // With nothing loaded, Save asks for no name and Play plays nothing.
        Button("IDC_SAVE")->click();
        ClickPlay();
        QVERIFY(Stopped());
    }

    void layoutAndTabOrder_data() {
        QTest::addColumn<QString>("name");  // empty for the label
        QTest::addColumn<QString>("text");
        QTest::addColumn<QRect>("dialogUnits");
        QTest::addColumn<QString>("tabTo");  // empty: not a tab stop
        const auto row = [](const char* name, const char* text, QRect rect, const char* tabTo) {
            QTest::newRow(*name != 0 ? name : text) << name << text << rect << tabTo;
        };
        row("IDC_BROWSE", "参照", QRect(136, 7, 33, 22), "IDC_PATH");
        row("IDC_PATH", "", QRect(7, 7, 127, 21), "IDC_PERCENT");
        row("IDC_PERCENT", "100", QRect(7, 60, 35, 15), "IDC_PLAY");
        row("", "％", QRect(41, 59, 10, 17), "");
        row("IDC_PLAY", "再生", QRect(74, 59, 39, 16), "IDC_SAVE");
        row("IDC_SAVE", "保存", QRect(125, 57, 43, 17), "IDOK");
        row("IDOK", "終了", QRect(63, 92, 50, 14), "IDC_BROWSE");
    }

    void layoutAndTabOrder() {
        QFETCH(QString, name);
        QFETCH(QString, text);
        QFETCH(QRect, dialogUnits);
        QFETCH(QString, tabTo);
        QWidget* pWidget = name.isEmpty()
                               ? m_dlg->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly)
                               : m_dlg->findChild<QWidget*>(name);
        const QRect& r = dialogUnits;
        QCOMPARE(pWidget->geometry(),
                 CDialogUnits(m_dlg->font()).Rect(r.x(), r.y(), r.width(), r.height()));
        QCOMPARE(pWidget->property("text").toString(), text);
        if (auto* pButton = qobject_cast<QPushButton*>(pWidget)) {
            // Exit alone is the default button, even while another button has the focus.
            QCOMPARE(pButton->isDefault(), name == QLatin1String("IDOK"));
            QVERIFY(!pButton->autoDefault());
        }
        if (!tabTo.isEmpty()) {
            m_dlg->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
            pWidget->setFocus();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget* pNext = m_dlg->findChild<QWidget*>(tabTo);
            QVERIFY(pNext == QApplication::focusWidget() ||
                    pNext->isAncestorOf(QApplication::focusWidget()));
        }
    }

    void browseProposesPercentage_data() {
        QTest::addColumn<Bytes>("file");  // empty: no such file
        QTest::addColumn<int>("proposal");
        QTest::newRow("16-bit peak 32767") << Wave16(1, {0, 32767, -100}) << 100;
        QTest::newRow("16-bit stereo peak 16384") << Wave16(2, {16384, -20, 3, 9}) << 200;
        QTest::newRow("16-bit peak 3277") << Wave16(1, {3277, -3000}) << 999;
        QTest::newRow("16-bit peak -3276") << Wave16(1, {-3276, 1}) << 1000;
        QTest::newRow("16-bit silence") << Wave16(1, {0, 0}) << 0;
        QTest::newRow("no samples") << Wave16(1, {}) << 0;
        QTest::newRow("8-bit full scale") << Wave(1, 8, {128, 0, 200}) << 100;
        QTest::newRow("8-bit stereo peak 100") << Wave(2, 8, {128, 228, 28, 129}) << 128;
        QTest::newRow("failed read") << Bytes{} << 0;
    }

    void browseProposesPercentage() {
        QFETCH(Bytes, file);
        QFETCH(int, proposal);
        const std::string path = file.empty() ? m_dir->File("missing.wav") : Make("in.wav", file);
        m_dlg->m_spinPercent->setValue(555);
        Browse(path);
        QCOMPARE(Percent(), proposal);
        QCOMPARE(PathText(), QString::fromStdString(path));
        QCOMPARE(Shown(), file.empty() ? Messages{kNotFound} : Messages{});
        QCOMPARE(m_dlg->m_pWave->HasSamples(), !file.empty());
        if (file.empty()) {
            // Nothing to save or play.
            Button("IDC_SAVE")->click();
            ClickPlay();
            QVERIFY(Stopped());
        }

        // A cancelled chooser changes nothing.
        const CWaveData* pLoaded = m_dlg->m_pWave.get();
        m_dlg->m_spinPercent->setValue(321);
        Browse(std::nullopt);
        QCOMPARE(m_dlg->m_pWave.get(), pLoaded);
        QCOMPARE(PathText(), QString::fromStdString(path));
        QCOMPARE(Percent(), 321);
    }

    void dragAndDrop_data() {
        QTest::addColumn<QStringList>("names");  // in the test folder, or URLs
        QTest::addColumn<bool>("entered");
        QTest::addColumn<bool>("loaded");
        QTest::newRow("a .WAV file") << QStringList{"dropped.WAV"} << true << true;
        QTest::newRow("a text file") << QStringList{"notes.txt"} << false << false;
        QTest::newRow("two wave files") << QStringList{"dropped.WAV", "b.wav"} << false << false;
        QTest::newRow("remote") << QStringList{"https://example.org/dropped.WAV"} << false << false;
        QTest::newRow("no file") << QStringList{} << false << false;
        QTest::newRow("path too long") << QStringList{QString(300, u'y') + ".wav"} << true << false;
    }

    void dragAndDrop() {
        QFETCH(QStringList, names);
        QFETCH(bool, entered);
        QFETCH(bool, loaded);
        const std::string path = Make("dropped.WAV", Wave16(2, {16384, -8, 4, 1}));
        QList<QUrl> urls;
        for (const QString& name : names) {
            urls << (name.contains(QLatin1String("://"))
                         ? QUrl(name)
                         : QUrl::fromLocalFile(QString::fromStdString(m_dir->Path()) + "/" + name));
        }
        QMimeData mime;
        mime.setUrls(urls);
        QDragEnterEvent enter({9, 9}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_dlg.get(), &enter);
        QCOMPARE(enter.isAccepted(), entered);
        QDropEvent drop({9, 9}, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        if (entered) {
            QCoreApplication::sendEvent(m_dlg.get(), &drop);
        }
        // Loaded as Browse loads, or not at all.
        QCOMPARE(PathText(), loaded ? QString::fromStdString(path) : QString());
        QCOMPARE(m_dlg->m_pWave != nullptr, loaded);
        QCOMPARE(m_dlg->m_spinPercent->toolTip(),
                 loaded ? QStringLiteral("ピーク: -6.0 dBFS\nゲイン: +6.0 dB")
                        : QStringLiteral("ゲイン: +0.0 dB"));
        QCOMPARE(Shown().size(), std::size_t{entered && !loaded});  // the path is too long
    }

    void saveWritesFromTheUnchangedImage_data() {
        QTest::addColumn<Bytes>("file");
        QTest::addColumn<int>("firstPercent");
        QTest::addColumn<Samples>("firstSaved");
        QTest::addColumn<int>("secondPercent");
        QTest::addColumn<Samples>("secondSaved");
        QTest::addColumn<bool>("widened");
        QTest::newRow("16-bit, halved then saturating")
            << Wave16(1, {0, 1, -1, 3, -3, 12345, -12345, 20000, -20000, 32767, -32768}, 22050)
            << 50 << Samples{0, 0, 0, 1, -1, 6172, -6172, 10000, -10000, 16383, -16384} << 250
            << Samples{0, 2, -2, 7, -7, 30862, -30862, 32767, -32768, 32767, -32768} << false;
        QTest::newRow("8-bit, widened each time")
            << Wave(1, 8, {0, 64, 128, 192, 255}, 22050) << 100
            << Samples{-32768, -16384, 0, 16384, 32512} << 50
            << Samples{-16384, -8192, 0, 8192, 16256} << true;
    }

    void saveWritesFromTheUnchangedImage() {
        QFETCH(Bytes, file);
        QFETCH(int, firstPercent);
        QFETCH(Samples, firstSaved);
        QFETCH(int, secondPercent);
        QFETCH(Samples, secondSaved);
        QFETCH(bool, widened);
        Browse(Make("mono.wav", file));
        const Bytes loaded = ImageBytes(*m_dlg->m_pWave);
        Messages notices;
        for (const auto& [percent, saved] :
             {std::pair{firstPercent, firstSaved}, std::pair{secondPercent, secondSaved}}) {
            m_dlg->m_spinPercent->selectAll();
            QTest::keyClicks(m_dlg->m_spinPercent, QString::number(percent));
            Save(m_dir->File("out.wav"));
            // Mono stays mono, at the same rate.
            QCOMPARE(testsupport::ReadFile(m_dir->File("out.wav")), Wave16(1, saved, 22050));
            if (widened) {
                notices.push_back(kBitsChanged);
            }
            QCOMPARE(Shown(), notices);
        }
        QCOMPARE(ImageBytes(*m_dlg->m_pWave), loaded);
    }

    void previewPlaysItsCopyUntilStop() {
        const Samples first = Numbered(kLong);
        Browse(Make("first.wav", Wave16(2, first)));
        QCOMPARE(Percent(), 109);
        ClickPlay();
        QCOMPARE(PlayText(), kStop);
        QVERIFY(m_dlg->m_bPlaying && m_dlg->m_pPlayer && m_dlg->m_pPlayer->IsRunning());
        QCOMPARE(m_driver->OpenDevices(), 1);
        const CWaveData* pCopy = m_dlg->m_pPlayWave.get();
        const Bytes expected = Samples16(Gained(first, 109));
        QCOMPARE(ImageBytes(*pCopy), expected);
        QCOMPARE(g_PlayFormat.nSamplesPerSec, kRate);

        // Browse, the percentage and Save act on the loaded image, never on the preview.
        const std::string second = Make("second.wav", Wave16(1, {16384, -5, 6, -7}));
        Browse(second);
        QCOMPARE(Percent(), 200);
        m_dlg->m_spinPercent->setValue(30);
        Save(m_dir->File("saved.wav"));
        QCOMPARE(testsupport::ReadFile(m_dir->File("saved.wav")), Wave16(1, {4915, -1, 1, -2}));
        QVERIFY(QTest::qWaitFor([this] { return m_driver->Recording().size() >= kRate; }));
        QCOMPARE(m_dlg->m_pPlayWave.get(), pCopy);
        QCOMPARE(ImageBytes(*m_dlg->m_pPlayWave), expected);
        QCOMPARE(PlayText(), kStop);

        ClickPlay();
        QVERIFY(Stopped());
        // What was heard is a beginning of the copy, and nothing more is heard after Stop.
        const Bytes recording = m_driver->Recording();
        QVERIFY(recording.size() <= expected.size());
        QVERIFY(std::equal(recording.begin(), recording.end(), expected.begin()));
        QTest::qWait(50);
        QCOMPARE(m_driver->Recording().size(), recording.size());

        // The next Play takes the new image at the new percentage, mono played on both channels.
        ClickPlay();
        QCOMPARE(ImageBytes(*m_dlg->m_pPlayWave), Samples16({4915, 4915, -1, -1, 1, 1, -2, -2}));
        QVERIFY(Shown().empty());
    }

    void previewRunsToItsEndAndRestarts_data() {
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("percent");
        QTest::newRow("16-bit stereo at 100 %") << 16 << 2 << 100;
        QTest::newRow("16-bit stereo at 37 %") << 16 << 2 << 37;
        QTest::newRow("16-bit stereo at 175 %, saturating") << 16 << 2 << 175;
        QTest::newRow("16-bit mono at 150 %") << 16 << 1 << 150;
        QTest::newRow("8-bit mono at 128 %") << 8 << 1 << 128;
    }

    void previewRunsToItsEndAndRestarts() {
        QFETCH(int, bits);
        QFETCH(int, channels);
        QFETCH(int, percent);
        Samples widened = Numbered(kRate / 8 * static_cast<std::uint32_t>(channels));
        Bytes fileSamples = Samples16(widened);
        if (bits == 8) {
            // The same shape a byte a sample; played, each byte b becomes (b - 128) * 256.
            fileSamples.clear();
            for (std::int16_t& s : widened) {
                fileSamples.push_back(static_cast<std::uint8_t>(128 + s / 300));
                s = static_cast<std::int16_t>(s / 300 * 256);
            }
        }
        Samples stereo;  // mono is played on both channels
        for (const std::int16_t s : Gained(widened, percent)) {
            stereo.insert(stereo.end(), channels == 1 ? 2u : 1u, s);
        }
        const Bytes expected = Samples16(stereo);
        Browse(Make("in.wav", Wave(channels, bits, fileSamples)));
        m_dlg->m_spinPercent->setValue(percent);
        Messages notices;
        for (int play = 1; play <= 2; ++play) {
            m_driver->ClearRecording();
            ClickPlay();
            QCOMPARE(PlayText(), kStop);
            QCOMPARE(m_driver->OpensSoFar(), play);
            if (bits == 8) {
                notices.push_back(kBitsChanged);
            }
            QCOMPARE(Shown(), notices);
            // It ends by itself, its device closed.
            QVERIFY(QTest::qWaitFor([this] { return PlayText() == kPlay && !m_dlg->m_bPlaying; }));
            QVERIFY(QTest::qWaitFor([this] { return m_driver->OpenDevices() == 0; }));
            // All of it was heard, then only silence.
            const Bytes recording = m_driver->Recording();
            Bytes padded = expected;
            padded.resize(std::max(expected.size(), recording.size()), 0);
            QCOMPARE(recording, padded);
        }
    }

    void staleEndOfAnEarlierPreviewIsIgnored() {
        Browse(Make("short.wav", Wave16(2, Numbered(kRate / 50 * 2))));
        ClickPlay();
        // Without running the event loop, let the short preview end: its end report and its
        // finished buffers wait in the queue.
        for (QDeadlineTimer deadline(5000);
             m_driver->OpenDevices() != 0 && !deadline.hasExpired();) {
            QThread::msleep(5);
        }
        QCOMPARE(m_driver->OpenDevices(), 0);
        Browse(Make("long.wav", Wave16(2, Numbered(kLong))));
        ClickPlay();  // Stop
        ClickPlay();  // a new, long preview
        QTest::qWait(200);
        QCOMPARE(PlayText(), kStop);
        QVERIFY(m_dlg->m_bPlaying && m_dlg->m_pPlayer && m_dlg->m_pPlayer->IsRunning());
        QCOMPARE(m_driver->OpenDevices(), 1);
    }

    void fastRepeatedPlayAndStop() {
        QRandomGenerator random(20240607);
        Browse(Make("long.wav", Wave16(2, Numbered(kLong))));
        for (int cycle = 0; cycle < 40; ++cycle) {
            ClickPlay();
            QTest::qWait(static_cast<int>(random.bounded(16)));
            ClickPlay();
            QVERIFY(Stopped());
        }
        // A preview so short that the clicks fall before, during or after its end.
        Browse(Make("short.wav", Wave16(2, Numbered(kRate / 40 * 2))));
        for (int cycle = 0; cycle < 15; ++cycle) {
            ClickPlay();
            QTest::qWait(static_cast<int>(random.bounded(250)));
            QCOMPARE(PlayText(), m_dlg->m_bPlaying ? kStop : kPlay);
        }
        QVERIFY(Shown().empty());
    }

    void endingTheDialogStopsThePreview_data() {
        QTest::addColumn<QString>("target");  // the widget a key goes to, or the slot called
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("result");
        QTest::newRow("Enter in the percentage box") << "IDC_PERCENT" << int(Qt::Key_Return) << 1;
        QTest::newRow("keypad Enter") << "IDC_PERCENT" << int(Qt::Key_Enter) << 1;
        QTest::newRow("Enter in the path box") << "IDC_PATH" << int(Qt::Key_Return) << 1;
        QTest::newRow("Esc") << "IDC_PERCENT" << int(Qt::Key_Escape) << 0;
        QTest::newRow("Exit") << "IDOK" << int(Qt::Key_Space) << 1;
        QTest::newRow("close box") << "close" << 0 << 0;
        QTest::newRow("done") << "done" << 0 << 7;
    }

    void endingTheDialogStopsThePreview() {
        QFETCH(QString, target);
        QFETCH(int, key);
        QFETCH(int, result);
        Browse(Make("long.wav", Wave16(2, Numbered(kLong))));
        ClickPlay();
        QTest::qWait(60);
        QSignalSpy finished(m_dlg.get(), &QDialog::finished);
        if (key != 0) {
            m_dlg->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
            m_dlg->findChild<QWidget*>(target)->setFocus();
            QTest::keyClick(QApplication::focusWidget(), static_cast<Qt::Key>(key));
        } else if (target == QLatin1String("done")) {
            QVERIFY(QMetaObject::invokeMethod(m_dlg.get(), "done", Q_ARG(int, result)));
        } else {
            QVERIFY(m_dlg->close());
        }
        QCOMPARE(finished.size(), 1);
        QCOMPARE(m_dlg->result(), result);
        QVERIFY(!m_dlg->isVisible());
        QVERIFY(!m_dlg->m_bPlaying && !m_dlg->m_pPlayer && !m_dlg->m_pPlayWave);
        QCOMPARE(m_driver->OpenDevices(), 0);
    }

    void failedDeviceStartKeepsStopUntilClicked() {
        Browse(Make("long.wav", Wave16(2, Numbered(kLong))));
        m_driver->FailNextOpen();
        ClickPlay();
        QCOMPARE(Shown(), Messages{"再生デバイスのオープンに失敗しました。"});
        QTest::qWait(200);
        QCOMPARE(PlayText(), kStop);
        ClickPlay();
        QVERIFY(Stopped());
        // The device works again.
        ClickPlay();
        QCOMPARE(m_driver->OpenDevices(), 1);
        QCOMPARE(Shown().size(), std::size_t{1});
    }

    void aboutBox_data() {
        QTest::addColumn<int>("command");  // -1: the context menu
        QTest::addColumn<QStringList>("opened");
        QTest::newRow("system command 16") << 16 << QStringList{kAboutBox};
        QTest::newRow("system command 31") << 31 << QStringList{kAboutBox};
        QTest::newRow("system command 15") << 15 << QStringList{};
        QTest::newRow("system command 32") << 32 << QStringList{};
        QTest::newRow("system command close") << 0xF060 << QStringList{};
        QTest::newRow("context menu")
            << -1 << QStringList{"menu:  / Sonorette のﾊﾞｰｼﾞｮﾝ情報(&A)...", kAboutBox};
    }

    void aboutBox() {
        QFETCH(int, command);
        QFETCH(QStringList, opened);
        QCOMPARE(Opened([&] {
                     if (command >= 0) {
                         m_dlg->OnSysCommand(static_cast<unsigned>(command));
                         return;
                     }
                     QContextMenuEvent event(QContextMenuEvent::Mouse, {9, 9},
                                             m_dlg->mapToGlobal(QPoint(9, 9)));
                     QCoreApplication::sendEvent(m_dlg.get(), &event);
                 }),
                 opened);
        QVERIFY(m_dlg->isVisible());
    }
};

QTEST_MAIN(GainDlgTest)
#include "GainDlgTest.moc"
