// Plays the user in front of the program's file choosers: Qt's own QFileDialog, run modally by
// exec() inside the Browse or Save that the test triggers. A poll on the user-interface thread,
// which keeps running inside the chooser's own event loop, waits until the chooser is the active
// window, types the next name into its name box and presses Open or Save, or presses Cancel when
// no name is left. A question whether to replace an existing file, which the save chooser asks
// from inside its Save button, is answered Yes or No as told.
//
// The user starts answering at construction and stops at Finish or destruction; a chooser or
// question still in front when the time limit runs out is cancelled, so that a test fails instead
// of waiting for ever, and Problem says what went wrong.
//
// Ownership: it holds no widget; the choosers and questions are the program's, looked up afresh at
// each poll. It answers only while it lives: its polls end with it.
//
// Threads: the user-interface thread only.
#pragma once

#include <QDeadlineTimer>
#include <QFileDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace testsupport {

class ChooserUser : public QObject {
  public:
    enum class Replace { Yes, No };

    // One chooser as the user met it.
    struct Visit {
        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        QStringList nameFilters;
        QString defaultSuffix;
        QStringList typed;      // the names typed and confirmed, in order
        QStringList questions;  // the texts of the replace questions asked
    };

    // `names` are typed one at a time, each time a chooser is in front, as full paths or as names
    // in the chooser's folder.
    explicit ChooserUser(QStringList names, Replace replace = Replace::Yes,
                         int limitMilliseconds = 30000);
    ~ChooserUser() override;
    ChooserUser(const ChooserUser&) = delete;
    ChooserUser& operator=(const ChooserUser&) = delete;

    // Stops answering and gives the choosers met, in order.
    std::vector<Visit> Finish();
    // Empty while all went as a user would have it.
    const QString& Problem() const { return m_problem; }

    // A path as the program holds it (the file system's bytes) turned into the name a user types.
    static QString Typed(const std::string& path);

  private:
    void Poll();
    void Answer(QFileDialog& chooser);
    void GiveUp(const QString& problem);

    QStringList m_names;
    Replace m_replace;
    QDeadlineTimer m_limit;
    bool m_running = true;
    QString m_problem;
    QPointer<QFileDialog> m_current;  // the chooser of the last visit
    std::vector<Visit> m_visits;
};

}  // namespace testsupport
