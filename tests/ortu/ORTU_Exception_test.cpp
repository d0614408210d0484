#include "ORTU_Exception.h"
#include "ORTU_OS.h"
#include "ORTU_Object_Manager.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

class ExceptionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ortu_runtime_start(); }
    static void TearDownTestSuite() { ortu_runtime_stop(); }
};

void raise_formatted() {
    throw ORTU_Exception("%s failed, code %d", "connect", 10061);
}

} // namespace

TEST_F(ExceptionTest, MessageIsFormattedAtConstruction) {
    ORTU_Exception e("%s #%d: %x", "frame", 12, 255u);
    EXPECT_STREQ(e.what(), "frame #12: ff");
}

TEST_F(ExceptionTest, DefaultMessageIsEmpty) {
    ORTU_Exception e;
    EXPECT_STREQ(e.what(), "");
    ORTU_Out_Of_Memory oom;
    EXPECT_STREQ(oom.what(), "");
}

TEST_F(ExceptionTest, RaisedByValueCaughtByReferenceKeepsTheText) {
    std::string text;
    try {
        raise_formatted();
    } catch (const ORTU_Exception& e) {
        text = e.what();
    }
    EXPECT_EQ(text, "connect failed, code 10061");
}

TEST_F(ExceptionTest, CopiesAreIndependent) {
    ORTU_Exception a("first %d", 1);
    ORTU_Exception b(a);
    a = ORTU_Exception("second");
    EXPECT_STREQ(a.what(), "second");
    EXPECT_STREQ(b.what(), "first 1");
}

TEST_F(ExceptionTest, LongMessagesAreKeptWhole) {
    std::string long_text(700, 'q');
    ORTU_Exception e("<%s>", long_text.c_str());
    EXPECT_EQ(std::string(e.what()), "<" + long_text + ">");
}

TEST_F(ExceptionTest, OutOfMemoryIsAnOrtuException) {
    bool caught = false;
    try {
        throw ORTU_Out_Of_Memory();
    } catch (const ORTU_Exception& e) {
        caught = dynamic_cast<const ORTU_Out_Of_Memory*>(&e) != nullptr;
    }
    EXPECT_TRUE(caught);
}

TEST_F(ExceptionTest, Win32ErrorCarriesTheCodeAndItsDescription) {
    ORTU_OS::set_last_error(5);
    ORTU_Win32_Error e("read of '%s' failed", "x.dat");
    EXPECT_EQ(e.code(), 5u);
    std::string expected =
        std::string("read of 'x.dat' failed, 5 - ") + ORTU_OS::error_description(5);
    EXPECT_EQ(std::string(e.what()), expected);
}

TEST_F(ExceptionTest, Win32ErrorWithoutADescriptionUsesTheShortForm) {
    ORTU_OS::set_last_error(98765);
    ASSERT_EQ(ORTU_OS::error_description(98765), nullptr);
    ORTU_Win32_Error e("thread %d", 3);
    EXPECT_EQ(e.code(), 98765u);
    EXPECT_STREQ(e.what(), "thread 3, 98765");
}

TEST_F(ExceptionTest, Win32ErrorTakesTheCodeBeforeItsArgumentsAreFormatted) {
    ORTU_OS::set_last_error(EACCES);
    ORTU_Win32_Error e("%s", "permission");
    EXPECT_EQ(e.code(), static_cast<ORTU_UINT32>(EACCES));
    EXPECT_EQ(ORTU_OS::last_error(), EACCES) << "building the message must not be visible";
}

TEST(ExceptionWithoutRuntimeTest, WorksWhileTheRuntimeIsDown) {
    ASSERT_FALSE(ORTU_Object_Manager::active());
    std::string text;
    try {
        throw ORTU_Exception("down %d", 1);
    } catch (const ORTU_Exception& e) {
        text = e.what();
    }
    EXPECT_EQ(text, "down 1");
}
