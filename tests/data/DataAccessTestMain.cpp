// The tests run under a QGuiApplication, as the viewer does, so that the
// cursor changes and the event delivery are the real ones. Each test gets
// its own settings folder: the store reads XDG_CONFIG_HOME on every call.
#include <QGuiApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir ConfigHome;
    qputenv("XDG_CONFIG_HOME", ConfigHome.path().toLocal8Bit());
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication App(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0.7"));
    return RUN_ALL_TESTS();
}
