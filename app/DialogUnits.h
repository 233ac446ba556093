// Dialog units: the coordinates of the dialog templates, converted to pixels with the dialog
// font's average character width and height, as the dialog manager the templates were drawn for
// does (x * width / 4, y * height / 8).
#pragma once

#include <QFont>
#include <QRect>

class QWidget;

// The dialogs' font: 9 point "ＭＳ Ｐゴシック", or the metric-compatible IPAPGothic, or any
// Japanese font.
QFont DialogFont();

class CDialogUnits {
  public:
    explicit CDialogUnits(const QFont& font);
    CDialogUnits(int baseWidth, int baseHeight)
        : m_baseWidth(baseWidth), m_baseHeight(baseHeight) {}

    int X(int dialogUnits) const;
    int Y(int dialogUnits) const;
    QRect Rect(int x, int y, int width, int height) const;
    // Places the widget at the template's rectangle.
    void Place(QWidget* pWidget, int x, int y, int width, int height) const;

    int BaseWidth() const { return m_baseWidth; }
    int BaseHeight() const { return m_baseHeight; }

  private:
    int m_baseWidth;
    int m_baseHeight;
};
