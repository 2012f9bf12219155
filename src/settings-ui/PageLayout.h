#pragma once

// The frame every device page shares: an untitled group box around the page's rows, and its two
// buttons at the bottom right.
//
// The tab widget makes every page as tall as the tallest (Device Info, five rows). The frame
// takes that height, and a page with fewer rows spreads them over it in equal gaps, so no empty
// band opens between the rows and the buttons.
//
// Threading: the user-interface thread only.

#include <QString>

class QGridLayout;
class QPushButton;
class QWidget;

namespace trelvane {

// Lays `page` out as a framed grid of rows followed by `first` and `second` at the bottom
// right, and returns the grid for AddPageRow. Neither button reacts to Enter: the dialog
// swallows it.
QGridLayout* FramedPageLayout(QWidget* page, QPushButton* first, QPushButton* second);

// Adds a row: `label` in the first column, `field` beside it taking the rest of the width.
// Rows are separated by the style's spacing and share any height left over equally with the
// frame's top and bottom edges.
void AddPageRow(QGridLayout* rows, const QString& label, QWidget* field);

}  // namespace trelvane
