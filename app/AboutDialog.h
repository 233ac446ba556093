// CAboutDlg: the About box (template 100): the icon, "Sonorette Version 1.0" and OK.
//
// Built on the stack by the main window each time it is shown, and run modally on the
// user-interface thread; it owns nothing beyond its child widgets.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};
