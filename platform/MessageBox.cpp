#include "MessageBox.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/PrintableText.h"

namespace platform {
namespace {

std::mutex g_handlerMutex;
// Held through a shared pointer so that a message being shown keeps its handler alive while
// another thread installs a new one; the lock is never held while a handler runs.
std::shared_ptr<const MessageHandler> g_pHandler;
// The innermost deferral alive on this thread.
thread_local CDeferredMessages* t_pDeferral = nullptr;

// One locked write per message, so that messages from several threads stay whole lines.
void WriteToStandardError(std::string_view text, const MessageSubject& subject) {
    std::string line;
    if (!subject.path.empty()) {
        line = EscapeForDisplay(subject.path) + ": ";
    }
    line.append(text);
    if (subject.systemError != 0) {
        line += " (" + SystemErrorText(subject.systemError) + ")";
    }
    line.push_back('\n');
    ::flockfile(stderr);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    ::funlockfile(stderr);
}

}  // namespace

void SetMessageHandler(MessageHandler handler) {
    std::shared_ptr<const MessageHandler> pHandler;
    if (handler) {
        pHandler = std::make_shared<const MessageHandler>(std::move(handler));
    }
    std::lock_guard<std::mutex> lock(g_handlerMutex);
    g_pHandler = std::move(pHandler);
}

CDeferredMessages::CDeferredMessages() : m_pOuter(t_pDeferral) {
    t_pDeferral = this;
}

CDeferredMessages::~CDeferredMessages() {
    t_pDeferral = m_pOuter;
    for (const Deferred& message : m_messages) {
        ShowMessageBox(message.text, {message.path, message.systemError});
    }
}

void ShowMessageBox(std::string_view text, const MessageSubject& subject) {
    if (t_pDeferral != nullptr) {
        t_pDeferral->m_messages.push_back(
            {std::string(text), std::string(subject.path), subject.systemError});
        return;
    }
    std::shared_ptr<const MessageHandler> pHandler;
    {
        std::lock_guard<std::mutex> lock(g_handlerMutex);
        pHandler = g_pHandler;
    }
    if (pHandler) {
        (*pHandler)(text, subject);
    } else {
        WriteToStandardError(text, subject);
    }
}

std::string SystemErrorText(int systemError) {
    return std::error_code(systemError, std::generic_category()).message();
}

}  // namespace platform
