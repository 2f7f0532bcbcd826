# keyvane_add_test(NAME SOURCES src... [LIBS lib...])
# One QtTest executable per class or concept, run offscreen by CTest.
function(keyvane_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE keyvane_gui Qt6::Test ${T_LIBS})
  target_compile_definitions(${name} PRIVATE
    KEYVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KEYVANE_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data"
    KEYVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name} -platform offscreen)
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;ASAN_OPTIONS=detect_leaks=1;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0;UBSAN_OPTIONS=print_stacktrace=1;QT_NO_XDG_DESKTOP_PORTAL=1"
    TIMEOUT 300)
endfunction()
