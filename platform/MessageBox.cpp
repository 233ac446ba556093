#include "MessageBox.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <utility>

namespace platform {
namespace {

std::mutex g_handlerMutex;
// Held through a shared pointer so that a message being shown keeps its handler alive while
// another thread installs a new one; the lock is never held while a handler runs.
std::shared_ptr<const MessageHandler> g_pHandler;
// The innermost deferral alive on this thread.
thread_local CDeferredMessages* t_pDeferral = nullptr;

// One locked write per message, so that messages from several threads stay whole lines.
void WriteToStandardError(std::string_view text) {
    ::flockfile(stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
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
    for (const std::string& text : m_texts) {
        ShowMessageBox(text);
    }
}

void ShowMessageBox(std::string_view text) {
    if (t_pDeferral != nullptr) {
        t_pDeferral->m_texts.emplace_back(text);
        return;
    }
    std::shared_ptr<const MessageHandler> pHandler;
    {
        std::lock_guard<std::mutex> lock(g_handlerMutex);
        pHandler = g_pHandler;
    }
    if (pHandler) {
        (*pHandler)(text);
    } else {
        WriteToStandardError(text);
    }
}

}  // namespace platform
