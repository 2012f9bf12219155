#include <gtest/gtest.h>

#include <QCoreApplication>

// Suites that need a Qt event loop (sockets, queued calls) run inside this application.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
