#include <gtest/gtest.h>

#include <QCoreApplication>

// The readers and the test host share this application's event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
