# kelvo_add_test(<target> LABEL <layer> SOURCES <files...> LIBRARIES <libs...> [OWN_MAIN])
#
# Builds one GoogleTest executable and registers each of its tests with CTest under the given
# layer label, so that `ctest -L <layer>` runs one layer. Discovery runs before the tests, not at
# build time, so building never needs FUSE or a display. OWN_MAIN: the sources bring main() (for
# example to create a QApplication first); otherwise GoogleTest's main is linked.
include(GoogleTest)

# Tests never reach the developer's own desktop session bus (and with it the real keyring of
# passwords): this address leads nowhere. A test that needs a keyring starts a private bus.
set(KELVO_TEST_DBUS_ADDRESS "unix:path=/nonexistent/kelvo-test-bus")
# The Qt platform of the tests, their discovery included, so that a bare `ctest` needs no display.
# Set it to xcb (with DISPLAY) to watch the widgets on a real screen.
set(KELVO_TEST_QPA_PLATFORM "offscreen" CACHE STRING "Qt platform plugin the tests run on")
find_package(GTest REQUIRED)

function(kelvo_add_test target)
    cmake_parse_arguments(ARG "OWN_MAIN" "LABEL;TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
    if(NOT ARG_LABEL)
        message(FATAL_ERROR "kelvo_add_test(${target}) needs a LABEL naming its layer")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${target} ${ARG_SOURCES})
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} kelvo_test_support GTest::gmock GTest::gtest)
    if(NOT ARG_OWN_MAIN)
        target_link_libraries(${target} PRIVATE GTest::gtest_main)
    endif()
    kelvo_set_warnings(${target})
    # gtest_discover_tests passes a list-valued ENVIRONMENT on word by word, which keeps only the
    # first variable; the rest of the tests' environment is set by running each test (and its
    # discovery) through env.
    set_property(TARGET ${target} PROPERTY CROSSCOMPILING_EMULATOR /usr/bin/env
        "KELVO_TEST_BINARY_DIR=${CMAKE_CURRENT_BINARY_DIR}"
        "DBUS_SESSION_BUS_ADDRESS=${KELVO_TEST_DBUS_ADDRESS}"
        "QT_QPA_PLATFORM=${KELVO_TEST_QPA_PLATFORM}")
    gtest_discover_tests(${target}
        DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT})
endfunction()
