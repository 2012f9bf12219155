#include <gtest/gtest.h>

#include <QApplication>

// The pages are widgets: the suites need a QApplication. They never need a display, so the
// offscreen platform is the default (test discovery runs without ctest's environment).
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
