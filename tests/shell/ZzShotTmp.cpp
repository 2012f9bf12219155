#include <QMenuBar>
#include "shell/ShellFixture.h"
namespace trelvane {
namespace {
class Shot : public test::ShellFixture {};
TEST_F(Shot, Grab) {
    window->grab().save(QStringLiteral("/tmp/win_empty.png"));
    auto m = window->BuildTagContextMenu();
}
}  // namespace
}  // namespace trelvane
