#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/AppIcon.h"
#include "app/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Sonoretteのﾊﾞｰｼﾞｮﾝ情報"));
    setFont(DialogFont());
    const CDialogUnits units(font());
    setFixedSize(units.X(235), units.Y(55));

    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(QPixmap::fromImage(AppIconImage(32)));
    pIcon->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    units.Place(pIcon, 11, 17, 20, 20);
    pIcon->resize(std::max(pIcon->width(), 32), std::max(pIcon->height(), 32));

    auto* pText = new QLabel(QStringLiteral("Sonorette Version 1.0"), this);
    pText->setTextFormat(Qt::PlainText);
    units.Place(pText, 40, 10, 119, 8);

    auto* pOk = new QPushButton(QStringLiteral("OK"), this);
    pOk->setObjectName(QStringLiteral("IDOK"));
    pOk->setDefault(true);
    units.Place(pOk, 178, 7, 50, 14);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    pOk->setFocus();
}
