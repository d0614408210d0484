// Shared by the viewer's test programs: one application object on the
// offscreen platform for the whole program, and a private settings folder
// so that no test reads or writes the operator's own settings.
#pragma once

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#ifdef VIEWER_TESTS_WITH_DATA
#include "VQApplication.h"
// The in-process test archive server runs on the test program's own copy
// of the library's runtime, which must be started like the library's.
#include "ORTU_Object_Manager.h"
#endif

namespace viewer_test {

class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (std::getenv("QT_QPA_PLATFORM") == nullptr)
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        Config = std::make_unique<QTemporaryDir>();
        ASSERT_TRUE(Config->isValid());
        setenv("XDG_CONFIG_HOME", Config->path().toLocal8Bit().constData(), 1);
#ifdef VIEWER_TESTS_WITH_DATA
        App = std::make_unique<TVQApplication>(Argc, Argv);
#else
        App = std::make_unique<QApplication>(Argc, Argv);
#endif
    }
    void TearDown() override {
        App.reset();
        Config.reset();
    }

    static inline int Argc = 1;
    static inline char Name[] = "viewer_test";
    static inline char* Argv[] = {Name, nullptr};
    std::unique_ptr<QApplication> App;
    std::unique_ptr<QTemporaryDir> Config;
};

#ifdef VIEWER_TESTS_WITH_DATA
class ServerRuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ortu_runtime_start(); }
    void TearDown() override { ortu_runtime_stop(); }
};

inline ::testing::Environment* const ServerRuntime =
    ::testing::AddGlobalTestEnvironment(new ServerRuntimeEnvironment);
#endif

inline ::testing::Environment* const Registered =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace viewer_test
