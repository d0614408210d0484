// The start of every Windows test program: Winsock is up before the first
// socket, as the library's own Connect sees to for a host.
#include <winsock2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 2;
    ::testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
