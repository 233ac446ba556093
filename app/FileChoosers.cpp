#include "app/FileChoosers.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>

#include <cstring>
#include <optional>
#include <vector>

#include "platform/MessageBox.h"

namespace {

std::optional<std::string> RunFileDialog(bool save, const char* defaultExtension,
                                         const char* filter) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // Any name may be typed, also one of a file that does not exist.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(QString::fromStdString(FilterForQt(filter)));
    dialog.setDefaultSuffix(QString::fromUtf8(defaultExtension));
    // Qt's own dialog, so that its buttons and labels come in Japanese with the program's
    // translations whatever the desktop.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
}

int Choose(bool save, const char* defaultExtension, const char* filter, char* pathBuffer) {
    const std::optional<std::string> path = RunFileDialog(save, defaultExtension, filter);
    if (!path || path->empty()) {
        return 0;
    }
    if (path->size() >= kPathBufferBytes) {
        platform::ShowMessageBox(
            "ファイルのパスが長すぎます。259 バイト以内のパスを選んでください。");
        return 0;
    }
    std::memcpy(pathBuffer, path->c_str(), path->size() + 1);
    return 1;
}

}  // namespace

std::string FilterForQt(const char* filter) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = filter; *p != '\0'; ++p) {
        if (*p == '|') {
            parts.push_back(part);
            part.clear();
        } else {
            part.push_back(*p);
        }
    }
    std::string result;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (!result.empty()) {
            result += ";;";
        }
        result += parts[i] + " (" + parts[i + 1] + ")";
    }
    return result;
}

int ChooseOpenFile(const char* defaultExtension, const char* filter, char* pathBuffer) {
    return Choose(false, defaultExtension, filter, pathBuffer);
}

int ChooseSaveFile(char* pathBuffer, const char* defaultExtension, const char* filter) {
    return Choose(true, defaultExtension, filter, pathBuffer);
}
