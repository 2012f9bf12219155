#pragma once

// The frame every device page shares: an untitled group box around the page's rows, and its two
// buttons at the bottom right.

class QFormLayout;
class QPushButton;
class QWidget;

namespace trelvane {

// Lays `page` out as a framed form followed by `first` and `second` at the bottom right, and
// returns the form for the page's rows. Neither button reacts to Enter: the dialog swallows it.
QFormLayout* FramedPageLayout(QWidget* page, QPushButton* first, QPushButton* second);

}  // namespace trelvane
