# The Windows build's tests: the portable units that need no database, in
# one executable that scripts/test-windows runs under wine, and the helper
# service that delivers a clock change to the installed service there.

# GoogleTest from its sources (Debian's googletest package): there is no
# mingw-w64 build of it to link.
set(TELVANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(${TELVANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_executable(telvane_wintests
  DateTimeTest.cpp
  TextTest.cpp
  TariffTest.cpp
  TFileLogTest.cpp
  PluginLoaderTest.cpp
  SdkHeaderTest.cpp
  ServiceGiveUpTest.cpp
  windows/ServiceAccountTest.cpp
  support/ProcUtil.cpp)
target_link_libraries(telvane_wintests PRIVATE telvane_lib gtest gtest_main)
target_include_directories(telvane_wintests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(telvane_wintests PRIVATE
  TELVANE_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
  # Under wine the build machine's root is the drive Z:.
  TELVANE_PACKAGES_DIR="Z:${CMAKE_BINARY_DIR}/packages"
  TELVANE_PACKAGE_PREFIX="${TELVANE_PACKAGE_PREFIX}"
  TELVANE_PACKAGE_SUFFIX="${TELVANE_PACKAGE_SUFFIX}"
  # ERROR_MOD_NOT_FOUND, whatever the language of the system's messages.
  TELVANE_MISSING_PACKAGE_REASON="erro 126")
add_dependencies(telvane_wintests telvane_packages)

# A throwaway service that tells the desktop of the services that the clock
# was changed (WM_TIMECHANGE), as the system does after a change; a
# broadcast from an ordinary process does not reach the services.
add_executable(telvane_timechange windows/TimeChangeService.cpp)
target_link_libraries(telvane_timechange PRIVATE advapi32 user32)

# The Modbus packages' Windows side. Their own system files are built into
# the unit tests; the packages themselves are loaded, as the service loads
# them, by telvane_winmodbus, which talks to the Linux meter simulator
# (scripts/test-windows starts it).
if(TARGET ModbusMeter)
  target_sources(telvane_wintests PRIVATE
    ModbusJournalTest.cpp
    windows/ModbusSystemTest.cpp
    ${CMAKE_SOURCE_DIR}/packages/fieldbus/SampleJournal.cpp
    ${CMAKE_SOURCE_DIR}/packages/fieldbus/JournalFile_windows.cpp
    ${CMAKE_SOURCE_DIR}/packages/fieldbus/LocalClock_windows.cpp
    ${CMAKE_SOURCE_DIR}/packages/fieldbus/SystemError_windows.cpp
    ${CMAKE_SOURCE_DIR}/packages/fieldbus/SerialPort_windows.cpp)
  target_link_libraries(telvane_wintests PRIVATE ws2_32)

  add_executable(telvane_winmodbus windows/ModbusOverTcpTest.cpp support/ProcUtil.cpp)
  target_link_libraries(telvane_winmodbus PRIVATE telvane_lib gtest gtest_main)
  target_include_directories(telvane_winmodbus PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(telvane_winmodbus PRIVATE
    TELVANE_PACKAGES_DIR="Z:${CMAKE_BINARY_DIR}/packages"
    TELVANE_PACKAGE_PREFIX="${TELVANE_PACKAGE_PREFIX}"
    TELVANE_PACKAGE_SUFFIX="${TELVANE_PACKAGE_SUFFIX}")
  add_dependencies(telvane_winmodbus ModbusInterface ModbusMeter)
endif()

# The M-Bus packages, loaded as the service loads them by telvane_winmbus,
# which reads a meter of the Linux M-Bus simulator (scripts/test-windows
# starts it).
if(TARGET MbusMeter)
  add_executable(telvane_winmbus windows/MbusOverTcpTest.cpp support/ProcUtil.cpp)
  target_link_libraries(telvane_winmbus PRIVATE telvane_lib gtest gtest_main)
  target_include_directories(telvane_winmbus PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(telvane_winmbus PRIVATE
    TELVANE_PACKAGES_DIR="Z:${CMAKE_BINARY_DIR}/packages"
    TELVANE_PACKAGE_PREFIX="${TELVANE_PACKAGE_PREFIX}"
    TELVANE_PACKAGE_SUFFIX="${TELVANE_PACKAGE_SUFFIX}")
  add_dependencies(telvane_winmbus MbusInterface MbusMeter)
endif()
