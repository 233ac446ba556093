#include "ChooserUser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <utility>

namespace testsupport {

ChooserUser::ChooserUser(QStringList names, Replace replace, int limitMilliseconds)
    : m_names(std::move(names)), m_replace(replace), m_limit(limitMilliseconds) {
    QTimer::singleShot(0, this, &ChooserUser::Poll);
}

ChooserUser::~ChooserUser() = default;

std::vector<ChooserUser::Visit> ChooserUser::Finish() {
    m_running = false;
    return std::move(m_visits);
}

QString ChooserUser::Typed(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

void ChooserUser::Poll() {
    if (!m_running) {
        return;
    }
    // The next look is booked before this one acts: a button pressed here may run a nested event
    // loop (the replace question's), and the user has to go on answering inside it.
    QTimer::singleShot(1, this, &ChooserUser::Poll);

    QWidget* pModal = QApplication::activeModalWidget();
    if (auto* pBox = qobject_cast<QMessageBox*>(pModal)) {
        if (!m_current || pBox->parentWidget() != m_current) {
            return;
        }
        if (m_limit.hasExpired()) {
            GiveUp(QStringLiteral("the replace question was still open at the time limit"));
        }
        if (!m_problem.isEmpty()) {
            pBox->reject();
            return;
        }
        m_visits.back().questions << pBox->text();
        QAbstractButton* pButton =
            pBox->button(m_replace == Replace::Yes ? QMessageBox::Yes : QMessageBox::No);
        if (pButton == nullptr) {
            GiveUp(QStringLiteral("the replace question has no Yes and No: ") + pBox->text());
            return;
        }
        pButton->click();
        return;
    }

    auto* pChooser = qobject_cast<QFileDialog*>(pModal);
    if (pChooser == nullptr) {
        return;
    }
    if (pChooser != m_current) {
        m_current = pChooser;
        m_visits.push_back(
            {pChooser->acceptMode(), pChooser->nameFilters(), pChooser->defaultSuffix(), {}, {}});
    }
    if (m_limit.hasExpired()) {
        GiveUp(QStringLiteral("a file chooser was still open at the time limit"));
    }
    if (!m_problem.isEmpty()) {
        pChooser->reject();
        return;
    }
    // A user types once the chooser has the keyboard. Where nothing hands it back when the
    // replace question closes (no window manager), the user clicks into the chooser for it.
    if (pChooser->isActiveWindow()) {
        Answer(*pChooser);
    } else {
        pChooser->activateWindow();
    }
}

void ChooserUser::Answer(QFileDialog& chooser) {
    auto* pButtons = chooser.findChild<QDialogButtonBox*>();
    auto* pNameBox = chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const bool open = chooser.acceptMode() == QFileDialog::AcceptOpen;
    QAbstractButton* pConfirm =
        pButtons ? pButtons->button(open ? QDialogButtonBox::Open : QDialogButtonBox::Save)
                 : nullptr;
    QAbstractButton* pCancel = pButtons ? pButtons->button(QDialogButtonBox::Cancel) : nullptr;
    if (pNameBox == nullptr || pConfirm == nullptr || pCancel == nullptr) {
        GiveUp(QStringLiteral("the file chooser has no name box, confirm or Cancel button"));
        return;
    }
    if (m_names.isEmpty()) {
        pCancel->click();
        return;
    }
    const QString name = m_names.takeFirst();
    m_visits.back().typed << name;
    // As a click into the box gives it: the chooser follows the typed name in its list only
    // while the box has the focus.
    pNameBox->setFocus(Qt::MouseFocusReason);
    // In one go, as a paste: typed key by key, the name would open the completer's popup, which
    // then takes the keys.
    pNameBox->setText(name);
    if (!pConfirm->isEnabled()) {
        GiveUp(pConfirm->text() + QStringLiteral(" stayed disabled for ") + name);
        return;
    }
    pConfirm->click();
}

void ChooserUser::GiveUp(const QString& problem) {
    if (m_problem.isEmpty()) {
        m_problem = problem;
    }
}

}  // namespace testsupport
