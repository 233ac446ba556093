// The program's one way of telling the user something: a modal message with an OK button.
//
// Code below the user interface (the wave document, the playback engine) calls ShowMessageBox and
// does not know how the message reaches the user. A program installs a handler once at start-up:
// the dialog program shows a modal warning box, the command-line tool writes to standard error.
// With no handler installed, each message is written to standard error as one line holding
// exactly the message text, after the subject's path and before the system's reason when the
// message has them.
//
// Threads: ShowMessageBox may be called from any thread and returns when the handler returns,
// that is, when the user has dismissed the message. SetMessageHandler may also be called from any
// thread; a call of ShowMessageBox that is already running goes on with the handler it took.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The file that a message is about, when it names one, and the system's reason for the failure
// (an errno value, 0 when the system gave none). The path is the caller's bytes, not yet made
// printable; it is borrowed for the time of the call.
struct MessageSubject {
    std::string_view path;
    int systemError = 0;
};

// Receives the message text (UTF-8) and its subject. Must not return before the user has seen
// the message.
using MessageHandler = std::function<void(std::string_view text, const MessageSubject& subject)>;

// Installs the handler for every later message; an empty handler restores the default.
void SetMessageHandler(MessageHandler handler);

// Shows the text and returns once it has been dismissed.
void ShowMessageBox(std::string_view text, const MessageSubject& subject = {});

// The system's own words for an errno value.
std::string SystemErrorText(int systemError);

// While one is alive, the messages shown on its thread wait and are shown, in order, when it
// goes. A modal box runs an event loop that may need a lock the thread holds (a finished buffer
// delivered during the box is requeued under the same mutex), so a thread that shows messages
// under a lock declares one of these before taking the lock: the lock is let go first.
// Threads: made and destroyed on one thread; deferrals on one thread nest.
class CDeferredMessages {
  public:
    CDeferredMessages();
    ~CDeferredMessages();
    CDeferredMessages(const CDeferredMessages&) = delete;
    CDeferredMessages& operator=(const CDeferredMessages&) = delete;
    // Forgets the messages held so far: for work whose failures the user need not hear of.
    void Discard() { m_messages.clear(); }

  private:
    friend void ShowMessageBox(std::string_view text, const MessageSubject& subject);
    // A message kept until the deferral goes; the path is copied, as the caller's is borrowed.
    struct Deferred {
        std::string text;
        std::string path;
        int systemError;
    };
    CDeferredMessages* m_pOuter;
    std::vector<Deferred> m_messages;
};

}  // namespace platform
