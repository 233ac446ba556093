// The main window driven offscreen; the emulated wave output device stands in for the sound card,
// so that nothing is heard and what would have been heard can be checked.
#include <QtTest>
#include <QtWidgets>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "ChooserUser.h"
#include "TestSupport.h"
#include "app/AboutDialog.h"
#include "app/DialogUnits.h"
#include "app/GainApp.h"
#include "app/MainDialog.h"
#include "platform/MessageBox.h"
#include "platform/WaveOut.h"
#include "platform/testing/EmulatedWaveOut.h"

namespace {

using testsupport::BlockOf;
using testsupport::Bytes;
using testsupport::ChooserUser;
using testsupport::Samples16;
using Samples = std::vector<std::int16_t>;
using Messages = std::vector<std::string>;
using Visits = std::vector<ChooserUser::Visit>;
using Replace = ChooserUser::Replace;

const QString kPlay = QStringLiteral("再生");
const QString kStop = QStringLiteral("停止");
constexpr std::uint32_t kRate = 44100;
constexpr std::uint32_t kLong = kRate * 5 * 2;  // 5 s of stereo: never ends during a test

Bytes Wave(int channels, int bits, const Bytes& sampleBytes, std::uint32_t rate = kRate) {
    return testsupport::WaveFileOf(static_cast<std::uint16_t>(channels), rate,
                                   static_cast<std::uint16_t>(bits), sampleBytes);
}
Bytes Wave16(int channels, const Samples& samples, std::uint32_t rate = kRate) {
    return Wave(channels, 16, Samples16(samples), rate);
}
Samples Gained(Samples samples, int percent) {  // truncated toward zero, limited to 16 bits
    for (std::int16_t& s : samples) {
        s = static_cast<std::int16_t>(
            std::clamp(std::trunc(s * (percent * 0.01)), -32768.0, 32767.0));
    }
    return samples;
}
QtMessageHandler g_testHandler = nullptr;
// The offscreen platform says this of every file chooser that it shows, to no purpose.
void WithoutSizeHintNotes(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (text != QLatin1String("This plugin does not support propagateSizeHints()")) {
        g_testHandler(type, context, text);
    }
}

// Never silent nor equal to a neighbour, so a lost or misplaced frame shows. Left peaks at 30000.
Samples Numbered(std::uint32_t count) {
    Samples samples(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        samples[k] = static_cast<std::int16_t>(k % 2 ? -(k / 2 % 20000) - 1 : k / 2 % 30000 + 1);
    }
    return samples;
}

}  // namespace

class GainDlgTest : public QObject {
    Q_OBJECT
    struct Rig {  // what each test starts afresh
        platform::EmulatedWaveOut driver{{.realTime = true}};
        testsupport::MessageCapture messages;
        testsupport::TempDir dir;
    };
    std::unique_ptr<Rig> m_rig;
    std::unique_ptr<CGainDlg> m_dlg;

    std::string Make(const std::string& name, const Bytes& file) {
        testsupport::WriteFile(m_rig->dir.File(name), file);
        return m_rig->dir.File(name);
    }
    // Does `act` with a user in front of the file choosers that it runs, who types the names in
    // turn and then cancels; gives the choosers met.
    Visits WithUser(const std::function<void()>& act, const std::vector<std::string>& paths,
                    Replace replace = Replace::Yes) {
        QStringList names;
        for (const std::string& path : paths) {
            names << ChooserUser::Typed(path);
        }
        ChooserUser user(names, replace);
        act();
        Visits visits = user.Finish();
        if (!user.Problem().isEmpty()) {
            QTest::qFail(qPrintable(user.Problem()), __FILE__, __LINE__);
        }
        return visits;
    }
    // Clicks `button` and confirms `path` in the chooser that comes up; nothing: Cancel.
    Visits Choose(const char* button, const std::optional<std::string>& path) {
        return WithUser([this, button] { m_dlg->findChild<QPushButton*>(button)->click(); },
                        path ? std::vector{*path} : std::vector<std::string>{});
    }
    // Drops `path` on the window as a file manager does; false when the window refuses it. Unlike
    // Browse, whose chooser runs an event loop of its own, a drop delivers nothing queued.
    bool Drop(const std::string& path) {
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(ChooserUser::Typed(path))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_dlg.get(), &enter);
        if (!enter.isAccepted()) {
            return false;
        }
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(m_dlg.get(), &drop);
        return true;
    }
    void ClickPlay() { m_dlg->m_btnPlay->click(); }
    QString PlayText() const { return m_dlg->m_btnPlay->text(); }
    Messages Shown() const { return m_rig->messages.Messages(); }
    platform::EmulatedWaveOut& Driver() const { return m_rig->driver; }
    bool Idle() const {
        return PlayText() == kPlay && !m_dlg->m_bPlaying && Driver().OpenDevices() == 0;
    }
    bool Stopped() const { return Idle() && !m_dlg->m_pPlayer && !m_dlg->m_pPlayWave; }
    bool Playing() const {
        return PlayText() == kStop && m_dlg->m_bPlaying && m_dlg->m_pPlayer &&
               m_dlg->m_pPlayer->IsRunning() && Driver().OpenDevices() == 1;
    }
    void PlayLong() {
        Choose("IDC_BROWSE", Make("long.wav", Wave16(2, Numbered(kLong))));
        ClickPlay();
    }

  private slots:
    void initTestCase() {
        // The choosers remember their folders in the test area, not in the user's settings.
        QStandardPaths::setTestModeEnabled(true);
        g_testHandler = qInstallMessageHandler(WithoutSizeHintNotes);
    }
    void cleanupTestCase() { qInstallMessageHandler(g_testHandler); }

    void init() {
        m_rig = std::make_unique<Rig>();
        platform::SetWaveOutDriver(&m_rig->driver);
        m_dlg = std::make_unique<CGainDlg>();
        m_dlg->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dlg.get()));
    }

    void cleanup() {
        m_dlg.reset();
        QCoreApplication::processEvents();
        QCOMPARE(Driver().OpenDevices(), 0);
        platform::SetWaveOutDriver(nullptr);
        m_rig.reset();
    }

    void initialStateAndAboutBox() {
        QCOMPARE(m_dlg->focusWidget(), m_dlg->findChild<QWidget*>("IDC_BROWSE"));
        QCOMPARE(m_dlg->m_spinPercent->value(), 100);
        // Nothing loaded: nothing asked or played.
        const Visits visits = Choose("IDC_SAVE", m_rig->dir.File("out.wav"));
        ClickPlay();
        QVERIFY(visits.empty() && Stopped());
        // The About entry is system command 16 (low four bits aside), not 32.
        int abouts = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            if (auto* pAbout = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                ++abouts;
                pAbout->accept();
            }
        });
        timer.start(5);
        m_dlg->OnSysCommand(32);
        m_dlg->OnSysCommand(16);
        QCOMPARE(abouts, 1);
    }

    void layoutAndTabOrder() {
        const CDialogUnits units(m_dlg->font());
        for (const auto& [name, du, text, tabTo] :
             {std::tuple{"IDC_BROWSE", QRect(136, 7, 33, 22), "参照", "IDC_PATH"},
              std::tuple{"IDC_PLAY", QRect(74, 59, 39, 16), "再生", "IDC_SAVE"},
              std::tuple{"IDOK", QRect(63, 92, 50, 14), "終了", "IDC_BROWSE"}}) {
            auto* pButton = m_dlg->findChild<QPushButton*>(name);
            QCOMPARE(pButton->geometry(), units.Rect(du.x(), du.y(), du.width(), du.height()));
            QCOMPARE(pButton->text(), QString::fromUtf8(text));
            pButton->setFocus();
            QTest::keyClick(pButton, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), QString(tabTo));
        }
    }

    void browseProposesPercentage() {
        const std::string missing = m_rig->dir.File("none.wav");  // a failed read proposes 0
        for (const auto& [path, proposal] :
             {std::pair{Make("a.wav", Wave16(2, {16384, -20, 3, 9})), 200},
              std::pair{Make("b.wav", Wave16(1, {-3276, 1})), 1000},
              std::pair{Make("c.wav", Wave(2, 8, {128, 228, 28, 129})), 128},
              std::pair{missing, 0}}) {
            m_dlg->m_spinPercent->setValue(555);
            Choose("IDC_BROWSE", path);
            QCOMPARE(m_dlg->m_spinPercent->value(), proposal);
        }
        QCOMPARE(Shown(), Messages{"ファイルが見つかりませんでした。"});
        Choose("IDC_BROWSE", Make("d.wav", Wave16(1, {9})));
        const CWaveData* pLoaded = m_dlg->m_pWave.get();  // a cancelled chooser changes nothing
        m_dlg->m_spinPercent->setValue(321);
        Choose("IDC_BROWSE", std::nullopt);
        QCOMPARE(m_dlg->m_pWave.get(), pLoaded);
        QCOMPARE(m_dlg->m_editPath->text(), QString::fromStdString(m_rig->dir.File("d.wav")));
        QCOMPARE(m_dlg->m_spinPercent->value(), 321);
    }

    // The tooltip shows the peak and the gain at once, and the loudness and true peak, before
    // and after the gain, once their measurement off the window's thread has come back. A file
    // loaded while one is measured cancels it: its result never reaches the tooltip.
    void tooltipShowsTheLoudnessWhenMeasured() {
        const double minus17 = std::pow(10.0, -17.0 / 20.0);
        const std::string loud =
            Make("loud.wav", testsupport::SineWave16(kRate, 2, 60.0, 1000.0, 0.9));
        const std::string tone =
            Make("tone.wav", testsupport::SineWave16(kRate, 2, 3.0, 1000.0, minus17));
        QVERIFY(Drop(loud));
        QVERIFY(Drop(tone));
        const auto tip = [this] { return m_dlg->m_spinPercent->toolTip(); };
        QCOMPARE(tip(),
                 QStringLiteral("ピーク: -17.0 dBFS\nゲイン: +17.0 dB\nクリップ: 0 サンプル"));
        QTRY_VERIFY_WITH_TIMEOUT(tip().contains(QStringLiteral("ラウドネス")), 20000);
        m_dlg->m_spinPercent->setValue(200);
        QCOMPARE(tip(), QStringLiteral("ピーク: -17.0 dBFS\nゲイン: +6.0 dB\nクリップ: 0 サンプル\n"
                                       "ラウドネス: -17.0 LUFS → -11.0 LUFS\n"
                                       "トゥルーピーク: -17.0 dBTP → -11.0 dBTP"));
        m_dlg->m_spinPercent->setValue(0);
        QVERIFY(tip().contains(QStringLiteral("ゲイン: -∞ dB")));
        QVERIFY(tip().endsWith(QStringLiteral("-17.0 dBTP → -∞ dBTP")));
    }

    // Both choosers offer the one "wave files" entry and add ".wav" to a name typed without an
    // extension. The save chooser asks before it replaces a file, and No takes the user back to
    // it. A cancelled chooser changes nothing; a path longer than 259 bytes is refused with a
    // message.
    void choosersAsTheUserMeetsThem() {
        const auto clickSave = [this] { m_dlg->findChild<QPushButton*>("IDC_SAVE")->click(); };
        const auto isWaveChooser = [](const Visits& visits, QFileDialog::AcceptMode mode) {
            return visits.size() == 1 && visits[0].mode == mode &&
                   visits[0].nameFilters == QStringList{"wave files (*.wav)"} &&
                   visits[0].defaultSuffix == "wav";
        };
        const std::string quiet = Make("quiet.wav", Wave16(1, {8192, -3}));
        QVERIFY(
            isWaveChooser(Choose("IDC_BROWSE", m_rig->dir.File("quiet")), QFileDialog::AcceptOpen));
        QCOMPARE(m_dlg->m_editPath->text(), ChooserUser::Typed(quiet));
        QCOMPARE(m_dlg->m_spinPercent->value(), 400);
        Visits visits = Choose("IDC_SAVE", m_rig->dir.File("louder"));
        QVERIFY(isWaveChooser(visits, QFileDialog::AcceptSave) && visits[0].questions.isEmpty());
        const std::string louder = m_rig->dir.File("louder.wav");
        QCOMPARE(testsupport::ReadFile(louder), Wave16(1, {32767, -12}));

        m_dlg->m_spinPercent->setValue(200);
        const std::string other = m_rig->dir.File("other.wav");
        visits = WithUser(clickSave, {louder, other}, Replace::No);
        QVERIFY(isWaveChooser(visits, QFileDialog::AcceptSave));
        QCOMPARE(visits[0].typed,
                 QStringList({ChooserUser::Typed(louder), ChooserUser::Typed(other)}));
        QCOMPARE(visits[0].questions.size(), 1);
        QVERIFY(visits[0].questions[0].contains("louder.wav"));
        QCOMPARE(testsupport::ReadFile(louder), Wave16(1, {32767, -12}));
        QCOMPARE(testsupport::ReadFile(other), Wave16(1, {16384, -6}));
        visits = WithUser(clickSave, {louder}, Replace::Yes);
        QVERIFY(isWaveChooser(visits, QFileDialog::AcceptSave) && visits[0].questions.size() == 1);
        QCOMPARE(testsupport::ReadFile(louder), Wave16(1, {16384, -6}));

        m_dlg->m_spinPercent->setValue(50);
        visits = Choose("IDC_SAVE", std::nullopt);
        QVERIFY(visits.size() == 1 && visits[0].typed.isEmpty());
        const auto files = [this] {
            const std::filesystem::directory_iterator entries(m_rig->dir.Path());
            return std::distance(begin(entries), end(entries));
        };
        QCOMPARE(files(), 3);
        QVERIFY(Shown().empty());

        const auto pathOf = [this](std::size_t bytes) {
            std::string path = m_rig->dir.Path() + "/";
            path.append(bytes - path.size() - 4, 'n');
            return path + ".wav";
        };
        const Messages tooLong = {
            "ファイルのパスが長すぎます。259 バイト以内のパスを選んでください。"};
        Choose("IDC_BROWSE", pathOf(260));
        QCOMPARE(Shown(), tooLong);
        QCOMPARE(m_dlg->m_editPath->text(), ChooserUser::Typed(quiet));
        QCOMPARE(m_dlg->m_spinPercent->value(), 50);
        m_rig->messages.Clear();
        Choose("IDC_SAVE", pathOf(260));
        QCOMPARE(Shown(), tooLong);
        QCOMPARE(files(), 3);
        m_rig->messages.Clear();
        Choose("IDC_BROWSE", pathOf(259));
        QCOMPARE(m_dlg->m_editPath->text(), ChooserUser::Typed(pathOf(259)));
        QCOMPARE(Shown(), Messages{"ファイルが見つかりませんでした。"});
    }

    void saveWritesFromTheUnchangedImage() {
        const auto saveAt = [this](int percent) {
            m_dlg->m_spinPercent->selectAll();
            QTest::keyClicks(m_dlg->m_spinPercent, QString::number(percent));
            Choose("IDC_SAVE", m_rig->dir.File("out.wav"));
            return testsupport::ReadFile(m_rig->dir.File("out.wav"));
        };
        Choose("IDC_BROWSE", Make("in.wav", Wave16(1, {1, -3, 12345, 20000, -32768}, 22050)));
        const Bytes loaded = BlockOf(*m_dlg->m_pWave);
        QCOMPARE(saveAt(50), Wave16(1, {0, -1, 6172, 10000, -16384}, 22050));
        QCOMPARE(saveAt(250), Wave16(1, {2, -7, 30862, 32767, -32768}, 22050));
        QCOMPARE(BlockOf(*m_dlg->m_pWave), loaded);
        QVERIFY(Shown().empty());
        Choose("IDC_BROWSE", Make("in8.wav", Wave(1, 8, {0, 128, 255}, 22050)));
        QCOMPARE(saveAt(50), Wave16(1, {-16384, 0, 16256}, 22050));  // widened to 16 bits
        QCOMPARE(Shown(), Messages{"ビット数を変更しました。"});
    }

    // A Browse of a file of many unknown chunks shows a few boxes; a failed Save names the chosen
    // path, not the loaded file, and the system's reason.
    void fewNoticesPerBrowseAndSaveFailureAboutTheSavePath() {
        testsupport::RiffBuilder builder;
        builder.Chunk("fmt ", testsupport::FormatRecord(1, 1, kRate, 16));
        for (int i = 0; i < 20000; ++i) {
            builder.Chunk(i % 2 == 0 ? "JUNK" : std::to_string(1000 + i), {});
        }
        const std::string many = Make("many.wav", builder.Chunk("data", Samples16({9})).Build());
        Choose("IDC_BROWSE", many);
        QCOMPARE(Shown().size(), std::size_t{4});
        QVERIFY(m_dlg->m_pWave->HasSamples());
        m_rig->messages.Clear();
        const std::string nowhere = m_rig->dir.File("nowhere/out.wav");
        Choose("IDC_SAVE", nowhere);
        const std::vector<testsupport::ShownMessage> expected = {
            {"ファイルが開けませんでした。", nowhere, ENOENT}};
        QVERIFY(m_rig->messages.Details() == expected);
    }

    // The program's message box: the text, then the file escaped and the reason, never markup.
    void messageBoxShowsThePathAsPlainTextAndTheReason() {
        InstallMessageBoxes();
        QString shownText;
        Qt::TextFormat shownFormat = Qt::AutoText;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&] {
            if (auto* pBox = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                shownText = pBox->text();
                shownFormat = pBox->textFormat();
                pBox->accept();
            }
        });
        timer.start(5);
        platform::ShowMessageBox("ファイルが開けませんでした。", {"<b>x</b>\x1b[31m.wav", ENOENT});
        platform::SetMessageHandler({});
        QCOMPARE(shownText,
                 QString::fromStdString("ファイルが開けませんでした。\n\n<b>x</b>\\033[31m.wav\n" +
                                        platform::SystemErrorText(ENOENT)));
        QCOMPARE(shownFormat, Qt::PlainText);
    }

    void failedStartThenPlayAndStop() {
        Driver().FailNextOpen();
        PlayLong();
        QCOMPARE(Shown(), Messages{"再生デバイスのオープンに失敗しました。"});
        QTest::qWait(200);
        QCOMPARE(PlayText(), kStop);  // until clicked
        ClickPlay();
        QVERIFY(Stopped());
        ClickPlay();  // the device works again
        QVERIFY(Playing());
        const Bytes expected = Samples16(Gained(Numbered(kLong), 109));  // the proposal
        QCOMPARE(BlockOf(*m_dlg->m_pPlayWave), expected);
        QVERIFY(QTest::qWaitFor([this] { return Driver().Recording().size() >= kRate; }));
        ClickPlay();
        QVERIFY(Stopped());
        const Bytes recording = Driver().Recording();  // a beginning of the copy, then nothing
        QVERIFY(recording.size() <= expected.size() &&
                std::equal(recording.begin(), recording.end(), expected.begin()));
        QTest::qWait(50);
        QCOMPARE(Driver().Recording().size(), recording.size());
    }

    void previewEndsByItself() {
        for (const auto& [channels, percent] : {std::pair{2u, 175}, std::pair{1u, 37}}) {
            const Samples samples = Numbered(kRate / 8 * channels);
            Samples stereo;  // mono is played on both channels; 175 % saturates
            for (const std::int16_t s : Gained(samples, percent)) {
                stereo.insert(stereo.end(), 3 - channels, s);
            }
            Choose("IDC_BROWSE", Make("in.wav", Wave16(static_cast<int>(channels), samples)));
            m_dlg->m_spinPercent->setValue(percent);
            for (std::size_t play = 1; play <= 2; ++play) {  // and again after its end
                Driver().ClearRecording();
                ClickPlay();
                QCOMPARE(PlayText(), kStop);
                QVERIFY(QTest::qWaitFor([this] { return Idle(); }));
                Bytes expected = Samples16(stereo);  // all of it, then only silence
                expected.resize(std::max(expected.size(), Driver().Recording().size()), 0);
                QCOMPARE(Driver().Recording(), expected);
            }
        }
    }

    void staleEndIgnoredAndFastRepeatedPlayAndStop() {
        Choose("IDC_BROWSE", Make("short.wav", Wave16(2, Numbered(kRate / 50 * 2))));
        ClickPlay();
        // Without the event loop, let it end: its end report waits in the queue.
        for (QDeadlineTimer end(5000); Driver().OpenDevices() != 0 && !end.hasExpired();) {
            QThread::msleep(5);
        }
        QVERIFY(Drop(Make("long.wav", Wave16(2, Numbered(kLong)))));
        ClickPlay();  // Stop
        ClickPlay();  // a new preview, which the stale report must not end
        QTest::qWait(200);
        QVERIFY(Playing());
        QRandomGenerator random(20240607);
        for (int cycle = 0; cycle < 30; ++cycle) {
            ClickPlay();
            QVERIFY(Stopped());
            ClickPlay();
            QTest::qWait(static_cast<int>(random.bounded(16)));
        }
        QVERIFY(Shown().empty());
    }

    void endingTheDialogStopsThePreview() {
        for (const auto& [key, result] :  // Qt::Key_unknown: the close box
             {std::pair{Qt::Key_Return, 1}, {Qt::Key_Escape, 0}, {Qt::Key_unknown, 0}}) {
            m_dlg = std::make_unique<CGainDlg>();
            m_dlg->show();
            PlayLong();
            QTest::qWait(60);
            m_dlg->m_spinPercent->setFocus();
            key == Qt::Key_unknown ? void(m_dlg->close())
                                   : QTest::keyClick(m_dlg->m_spinPercent, key);
            QCOMPARE(m_dlg->result(), result);
            QVERIFY(!m_dlg->isVisible() && !m_dlg->m_bPlaying && !m_dlg->m_pPlayer &&
                    !m_dlg->m_pPlayWave && Driver().OpenDevices() == 0);
        }
    }

    // Enter presses the push button that has the focus; in an edit box it ends the dialog, as Exit
    // is the default button then.
    void enterPressesTheFocusedButton() {
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        const std::string loud = Make("loud.wav", Wave16(1, {16384, -3}));
        const Visits browsed = WithUser(  // Browse, focused at start
            [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return); }, {loud});
        QVERIFY(m_dlg->isVisible() && browsed.size() == 1);
        QCOMPARE(m_dlg->m_editPath->text(), QString::fromStdString(loud));
        m_dlg->m_btnPlay->setFocus();
        QTest::keyClick(m_dlg->m_btnPlay, Qt::Key_Enter);
        QVERIFY(m_dlg->isVisible() && PlayText() == kStop);
        QTest::keyClick(m_dlg->m_btnPlay, Qt::Key_Return);
        QVERIFY(m_dlg->isVisible() && Stopped());
        auto* pSave = m_dlg->findChild<QPushButton*>("IDC_SAVE");
        pSave->setFocus();
        const Visits saved = WithUser([pSave] { QTest::keyClick(pSave, Qt::Key_Return); },
                                      {m_rig->dir.File("saved.wav")});
        QVERIFY(m_dlg->isVisible() && saved.size() == 1);
        QCOMPARE(testsupport::ReadFile(m_rig->dir.File("saved.wav")),
                 Wave16(1, {32767, -6}));  // 200 %
        m_dlg->m_editPath->setFocus();
        QTest::keyClick(m_dlg->m_editPath, Qt::Key_Return);
        QVERIFY(!m_dlg->isVisible());
        QCOMPARE(m_dlg->result(), 1);
    }

    // A 24-bit file: its tip counts the samples each percentage clips, Save narrows it to 16 bits
    // (within a step and a half, with the depth notice) and Play plays it.
    void wideFileTipSaveAndPlay() {
        Bytes data;
        for (const std::int32_t s : {4194304, -4194304, 1000, 3000000}) {
            data.insert(data.end(),
                        {static_cast<std::uint8_t>(s), static_cast<std::uint8_t>(s >> 8),
                         static_cast<std::uint8_t>(s >> 16)});
        }
        Choose("IDC_BROWSE", Make("deep.wav", Wave(2, 24, data)));
        QCOMPARE(m_dlg->m_spinPercent->value(), 200);
        const auto tipCounts = [this](int percent, const char* count) {
            m_dlg->m_spinPercent->setValue(percent);
            return m_dlg->m_spinPercent->toolTip().endsWith(
                QStringLiteral("クリップ: ") + QLatin1String(count) + QStringLiteral(" サンプル"));
        };
        // 4194304 is half of full scale: doubled, one step past 32767.
        QVERIFY(tipCounts(200, "1"));
        QVERIFY(tipCounts(199, "0"));
        QVERIFY(tipCounts(1000, "3"));
        m_dlg->m_spinPercent->setValue(100);
        Choose("IDC_SAVE", m_rig->dir.File("saved.wav"));
        const Bytes saved = testsupport::ReadFile(m_rig->dir.File("saved.wav"));
        QCOMPARE(saved.size(), std::size_t{44 + 8});
        QCOMPARE(Bytes(saved.begin() + 20, saved.begin() + 36),
                 testsupport::FormatRecord(1, 2, kRate, 16));
        const std::vector<std::int16_t> out = testsupport::ToSamples16(saved.data() + 44, 8);
        const double expected[] = {16384, -16384, 1000 / 256.0, 3000000 / 256.0};
        for (std::size_t i = 0; i < 4; ++i) {
            QVERIFY(std::fabs(out[i] - expected[i]) < 1.5);
        }
        ClickPlay();
        QVERIFY(Playing());
        ClickPlay();
        QCOMPARE(Shown(), Messages(2, "ビット数を変更しました。"));
    }

    void eightBitNoticeAtEveryPlayAndLoadingDuringAPreview() {
        Choose("IDC_BROWSE", Make("eight.wav", Wave(1, 8, Bytes(kRate, 200))));
        for (std::size_t play = 1; play <= 2; ++play) {
            ClickPlay();
            QVERIFY(Playing());
            ClickPlay();
            QCOMPARE(Shown(), Messages(play, "ビット数を変更しました。"));
        }
        m_rig->messages.Clear();

        // Browse and Save during a preview act on the loaded image; the preview goes on.
        PlayLong();
        const Samples quiet = {16384, -3, 7};
        Choose("IDC_BROWSE", Make("quiet.wav", Wave16(1, quiet)));
        QCOMPARE(m_dlg->m_spinPercent->value(), 200);
        Choose("IDC_SAVE", m_rig->dir.File("saved.wav"));
        QCOMPARE(testsupport::ReadFile(m_rig->dir.File("saved.wav")),
                 Wave16(1, Gained(quiet, 200)));
        QVERIFY(Playing());
        ClickPlay();

        // A .wav dropped from a file manager is loaded as Browse loads it.
        const std::string dropped = Make("dropped.wav", Wave16(2, {8192, -8192}));
        QVERIFY(Drop(dropped));
        QCOMPARE(m_dlg->m_editPath->text(), QString::fromStdString(dropped));
        QCOMPARE(m_dlg->m_spinPercent->value(), 400);
        QCOMPARE(Shown(), Messages{});
    }
};

QTEST_MAIN(GainDlgTest)
#include "GainDlgTest.moc"
