// The program's one way of telling the user something: a modal message with an OK button.
//
// Code below the user interface (the wave document, the playback engine) calls ShowMessageBox and
// does not know how the message reaches the user. A program installs a handler once at start-up:
// the dialog program shows a modal warning box, the command-line tool writes to standard error.
// With no handler installed, each message is written to standard error as one line holding
// exactly the message text.
//
// Threads: ShowMessageBox may be called from any thread and returns when the handler returns,
// that is, when the user has dismissed the message. SetMessageHandler may also be called from any
// thread; a call of ShowMessageBox that is already running goes on with the handler it took.
#pragma once

#include <functional>
#include <string_view>

namespace platform {

// Receives the message text (UTF-8). Must not return before the user has seen the message.
using MessageHandler = std::function<void(std::string_view text)>;

// Installs the handler for every later message; an empty handler restores the default.
void SetMessageHandler(MessageHandler handler);

// Shows the text and returns once it has been dismissed.
void ShowMessageBox(std::string_view text);

}  // namespace platform
