#pragma once

// The settings dialog's two tab images, drawn at run time so they stay crisp at any scale:
// image 0 (a server unit with its status lights: the service and the device's identity) and
// image 1 (a reader's antenna with its radio waves: the radio settings).

#include <QIcon>

namespace trelvane {

enum class TabImage { kServer = 0, kAntenna = 1 };

QIcon TabIcon(TabImage image);

}  // namespace trelvane
