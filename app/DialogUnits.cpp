#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

QFont DialogFont() {
    QFont font;
    font.setFamilies({QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("MS PGothic"),
                      QStringLiteral("IPAPGothic"), QStringLiteral("IPAGothic"),
                      QStringLiteral("Noto Sans CJK JP"), QStringLiteral("VL PGothic")});
    font.setPointSize(9);
    return font;
}

CDialogUnits::CDialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    // The average width of the 52 Latin letters, rounded, and the full line height.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseWidth = (letters / 26 + 1) / 2;
    m_baseHeight = metrics.height();
}

int CDialogUnits::X(int dialogUnits) const {
    return (dialogUnits * m_baseWidth + 2) / 4;
}

int CDialogUnits::Y(int dialogUnits) const {
    return (dialogUnits * m_baseHeight + 4) / 8;
}

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
}

void CDialogUnits::Place(QWidget* pWidget, int x, int y, int width, int height) const {
    pWidget->setGeometry(Rect(x, y, width, height));
}
