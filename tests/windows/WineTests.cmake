# The core and platform tests built for Windows and run under Wine, through the real
# Win32 calls on real temporary folders. Each program is linked statically, so it needs
# no DLL beside it; all share one Wine prefix in the build folder, made by the first test.
find_program(DITTOLY_WINE wine REQUIRED)
find_program(DITTOLY_WINEBOOT wineboot REQUIRED)
set(DITTOLY_WINE_ENV "WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix" "WINEDEBUG=-all")

add_test(NAME wine_prefix COMMAND ${DITTOLY_WINEBOOT} -i)
set_tests_properties(wine_prefix PROPERTIES ENVIRONMENT "${DITTOLY_WINE_ENV}"
    FIXTURES_SETUP wine TIMEOUT 300)

# Wine cannot make a junction, but it shows a Unix link to a folder as one (attributes
# 0x410), so this step makes such links with ln -s before the tests start.
set(DITTOLY_LINKS "${CMAKE_BINARY_DIR}/link-fixture")
add_test(NAME wine_links
    COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/windows/make-links.sh" "${DITTOLY_LINKS}")
set_tests_properties(wine_links PROPERTIES FIXTURES_SETUP links)

# A second drive letter on a folder of its own: Wine gives each drive its own volume serial
# number, so a copy from one drive to the other goes the way a copy between two disks goes.
# In its root, a link to a folder (which Wine shows as a reparse point).
add_test(NAME wine_drive COMMAND bash -c
    "mkdir -p \"$0\" && ln -sfn \"$0\" \"$1\" && ln -sfn \"$0\" \"$0/folder-link\""
    "${CMAKE_BINARY_DIR}/second-drive" "${CMAKE_BINARY_DIR}/wineprefix/dosdevices/v:")
set_tests_properties(wine_drive PROPERTIES FIXTURES_SETUP drive FIXTURES_REQUIRED wine)

function(dittoly_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE dittoly_test_main)
    target_link_options(${name} PRIVATE -static)
    dittoly_warnings(${name})
    add_test(NAME ${name} COMMAND ${DITTOLY_WINE} $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "${DITTOLY_WINE_ENV};DITTOLY_LINKS=${DITTOLY_LINKS};DITTOLY_SECOND_DRIVE=V:"
        FIXTURES_REQUIRED "wine;links;drive" TIMEOUT 900)
endfunction()

dittoly_add_test(platform_windows_test
    SOURCES platform/PlatformWinTest.cpp platform/PlatformWinLinkTest.cpp)
dittoly_add_test(platform_ini_test SOURCES platform/IniTest.cpp)
dittoly_add_test(settings_core_test SOURCES settings/modINITest.cpp settings/AppListFileTest.cpp)
dittoly_add_test(crash_safety_test SOURCES crash/CrashSafetyTest.cpp)
dittoly_add_test(operations_core_test
    SOURCES operations/RunFrameTest.cpp operations/HistoryTest.cpp)
dittoly_add_test(cli_console_test SOURCES cli/ConsoleTest.cpp)
target_link_libraries(cli_console_test PRIVATE dittoly_console)
