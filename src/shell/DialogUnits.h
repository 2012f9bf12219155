#pragma once

// The window layout is given in dialog units of a 9-point SimSun font (6 x 12 pixel base
// units) and in pixels measured with that font. DialogUnits converts both for the font the
// widgets really use, so texts keep fitting on systems with other fonts and resolutions.

#include <QFont>
#include <QLabel>
#include <QIcon>
#include <QPoint>
#include <QSize>

namespace trelvane {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& font);

    // Dialog units to pixels.
    int X(int dlu) const;
    int Y(int dlu) const;
    QPoint Point(int x, int y) const { return {X(x), Y(y)}; }
    QSize Size(int width, int height) const { return {X(width), Y(height)}; }

    // Pixels of the design font to pixels of this one.
    int PixelsX(int designPixels) const;
    int PixelsY(int designPixels) const;

    double BaseX() const { return baseX_; }
    double BaseY() const { return baseY_; }

  private:
    double baseX_;  // average character width, pixels
    double baseY_;  // character height, pixels
};

// The program's icon (window, About box), from the resources.
QIcon ProgramIcon();

// A window's notice in place of its contents ("the history is off"): centred, wrapped,
// selectable, a little larger than the text around it.
QLabel* NoticeLabel(QWidget* parent);

}  // namespace trelvane
