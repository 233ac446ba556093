// CAboutDlg: the About box (template 100): the icon, "Sonorette Version 1.0" and OK.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
};
