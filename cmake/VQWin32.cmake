# The Windows build: vqlink.dll with the runtime, the RPC framework and the
# sockets linked in, the suites of those parts that need no Qt (run under
# Wine by scripts/win32-test.sh) and the command-line host vqcli.exe.
# Included by the top-level CMakeLists.txt when the target is Windows.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)

if(VQ_BUILD_TESTS)
  enable_testing()
  # GoogleTest from Debian's sources, built with the cross compiler.
  set(VQ_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${VQ_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # Its own CMake names the targets GTest::gtest, GTest::gmock and so on.
endif()

add_subdirectory(_COMMON/lib/ORTU/Src)
add_subdirectory(_COMMON/lib/QREX/Src)
add_subdirectory(_COMMON/winSockets)
add_subdirectory(vqlink)

if(VQ_BUILD_TESTS)
  add_subdirectory(tests/win32)
endif()
