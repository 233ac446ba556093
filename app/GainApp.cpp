#include "app/GainApp.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QThread>
#include <QTranslator>
#include <string>
#include <thread>

#include "app/AppIcon.h"
#include "app/DialogUnits.h"
#include "app/MainDialog.h"
#include "platform/MessageBox.h"
#include "platform/PrintableText.h"
#include "platform/WaveOut.h"

namespace {

void ShowWarning(const QString& text) {
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    // A file name is never taken for markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// The text, then the file it is about and the system's reason on lines of their own.
QString MessageBoxText(std::string_view text, const platform::MessageSubject& subject) {
    QString message = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (!subject.path.empty()) {
        message += QStringLiteral("\n\n") +
                   QString::fromStdString(platform::EscapeForDisplay(subject.path));
    }
    if (subject.systemError != 0) {
        message += QStringLiteral("\n") +
                   QString::fromStdString(platform::SystemErrorText(subject.systemError));
    }
    return message;
}

}  // namespace

void InstallMessageBoxes() {
    platform::SetMessageHandler([](std::string_view text, const platform::MessageSubject& subject) {
        const QString message = MessageBoxText(text, subject);
        if (QThread::currentThread() == qApp->thread()) {
            ShowWarning(message);
        } else {
            QMetaObject::invokeMethod(
                qApp, [message] { ShowWarning(message); }, Qt::QueuedConnection);
        }
    });
}

int CGainApp::Run(int argc, char** argv) {
    InitInstance(argc, argv);
    return 0;
}

bool CGainApp::InitInstance(int argc, char** argv) {
    // The program speaks Japanese whatever the desktop's language, its standard dialogs too.
    QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
    QTranslator translator;
    if (translator.load(QStringLiteral("qtbase_ja"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(&translator);
    }
    QCoreApplication::setApplicationVersion(QStringLiteral(SONORETTE_VERSION));
    QApplication::setFont(DialogFont());
    QApplication::setWindowIcon(AppIcon());
    InstallMessageBoxes();
    // The sound system is readied while the user looks at the window, so the first Play starts
    // as quickly as any other.
    std::jthread preparation(platform::waveOutPrepare);

    CGainDlg dialog;
    // "Open with" from a file manager hands over one file: it is loaded as Browse would.
    if (argc > 1) {
        dialog.LoadFile(argv[1]);
    }
    dialog.exec();
    platform::SetMessageHandler({});
    return false;
}
