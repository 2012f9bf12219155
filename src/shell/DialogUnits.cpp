#include "shell/DialogUnits.h"

#include <QFontMetricsF>
#include <algorithm>
#include <cmath>

namespace trelvane {
namespace {

// Base units of the font the layout was drawn for.
constexpr double kDesignBaseX = 6.0;
constexpr double kDesignBaseY = 12.0;

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
    const QFontMetricsF metrics(font);
    // The platform's rule: the average width of the 52 Latin letters, and the font's height.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = std::max(1.0, metrics.horizontalAdvance(letters) / 52.0);
    baseY_ = std::max(1.0, metrics.height());
}

int DialogUnits::X(int dlu) const {
    return static_cast<int>(std::lround(dlu * baseX_ / 4.0));
}

int DialogUnits::Y(int dlu) const {
    return static_cast<int>(std::lround(dlu * baseY_ / 8.0));
}

int DialogUnits::PixelsX(int designPixels) const {
    return static_cast<int>(std::lround(designPixels * baseX_ / kDesignBaseX));
}

int DialogUnits::PixelsY(int designPixels) const {
    return static_cast<int>(std::lround(designPixels * baseY_ / kDesignBaseY));
}

QLabel* NoticeLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignCenter);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setMargin(24);
    QFont big = label->font();
    big.setPointSizeF(big.pointSizeF() * 1.15);
    label->setFont(big);
    return label;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        icon.addFile(QStringLiteral(":/icons/trelvane-%1.png").arg(size), QSize(size, size));
    }
    return icon;
}

}  // namespace trelvane
