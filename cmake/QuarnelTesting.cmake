# quarnel_add_test(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#                  [TIMEOUT <seconds>])
#
# One QtTest binary per area. Every test runs inside its own instance of the
# namespace harness (scripts/harness.sh), so ctest may run them in parallel
# and nothing a test starts reaches the machine's network, /etc or IPC.
# Tests always use the simulated FPGA, whatever the build's default backend,
# and the sanitizer flavours run them with the project's sanitizer options.
# Labels: "threads" marks tests worth running under ThreadSanitizer, "heavy"
# marks long data volumes that the sanitizer flavours skip.
# TIMEOUT: what the test may take on the plain build, with room for a loaded
# two-core machine (default 60 s); the sanitizer flavours allow a multiple.
# A hang then shows in minutes.
set(QUARNEL_HARNESS ${PROJECT_SOURCE_DIR}/scripts/harness.sh CACHE INTERNAL "")

function(quarnel_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE Qt5::Test testsupport ${T_LIBS})
    # Line tables are enough for a test's backtrace; full debug information
    # made the test binaries a third slower to compile. The code under test
    # keeps the build's own flags.
    target_compile_options(${name} PRIVATE -g1)
    # Nor is a test's own code optimised in the plain flavour: it mostly
    # waits on sockets and timers, and -O2 made it half as slow again to
    # compile (the AddressSanitizer flavour runs the same tests at -O0).
    # Heavy tests check hundreds of megabytes in their own code and keep it;
    # so do cross builds, whose tests run emulated.
    if(NOT QUARNEL_SANITIZE AND NOT CMAKE_CROSSCOMPILING AND NOT "heavy" IN_LIST T_LABELS)
        target_compile_options(${name} PRIVATE -O0)
    endif()
    # Cross builds run the test binaries under user-mode emulation.
    add_test(NAME ${name} COMMAND ${QUARNEL_HARNESS} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}>)
    _quarnel_test_properties(${name} "${T_TIMEOUT}" "${T_LABELS}" "")
    # Sanitizer flavours build only what they run (see quarnel_test_groups).
    if("threads" IN_LIST T_LABELS AND NOT "heavy" IN_LIST T_LABELS)
        set_property(GLOBAL APPEND PROPERTY QUARNEL_TESTS_THREADS ${name})
    endif()
    if(NOT "heavy" IN_LIST T_LABELS)
        set_property(GLOBAL APPEND PROPERTY QUARNEL_TESTS_LIGHT ${name})
    endif()
endfunction()

# quarnel_add_command_test(<name> COMMAND <command...> [ENVIRONMENT <VAR=value...>]
#                          [DEPENDS <targets...>] [LABELS <labels...>] [TIMEOUT <seconds>])
#
# A test that is a command rather than a QtTest binary (a pytest suite), run
# inside the harness like the others, with the same environment and time-outs.
# DEPENDS: the targets it runs, built with the test groups.
function(quarnel_add_command_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "COMMAND;ENVIRONMENT;DEPENDS;LABELS" ${ARGN})
    add_test(NAME ${name} COMMAND ${QUARNEL_HARNESS} ${T_COMMAND})
    _quarnel_test_properties(${name} "${T_TIMEOUT}" "${T_LABELS}" "${T_ENVIRONMENT}")
    if(T_DEPENDS AND NOT "heavy" IN_LIST T_LABELS)
        set_property(GLOBAL APPEND PROPERTY QUARNEL_TESTS_LIGHT ${T_DEPENDS})
    endif()
endfunction()

function(_quarnel_test_properties name timeout labels extra_environment)
    if(NOT timeout)
        set(timeout 60)
    endif()
    set(environment "QT_QPA_PLATFORM=offscreen" "ZELK_FPGA=sim" ${extra_environment})
    if(QUARNEL_SANITIZE STREQUAL "asan")
        math(EXPR timeout "${timeout} * 3")
        list(APPEND environment
            "ASAN_OPTIONS=detect_leaks=1"
            "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/scripts/lsan.supp"
            "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
    elseif(QUARNEL_SANITIZE STREQUAL "tsan")
        math(EXPR timeout "${timeout} * 5")
        # One suppression file for the whole tree: Qt's own internals and the
        # test doubles that lock through Qt, nothing of the program.
        list(APPEND environment
            "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 suppressions=${PROJECT_SOURCE_DIR}/scripts/tsan.supp")
    endif()
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${environment}" TIMEOUT ${timeout})
    if(labels)
        set_tests_properties(${name} PROPERTIES LABELS "${labels}")
    endif()
endfunction()

# Targets that build one group of test binaries: tests_threads (what the
# ThreadSanitizer flavour runs) and tests_light (everything but "heavy").
# Call once, after every test is defined.
function(quarnel_test_groups)
    foreach(group THREADS LIGHT)
        string(TOLOWER ${group} lower)
        get_property(members GLOBAL PROPERTY QUARNEL_TESTS_${group})
        add_custom_target(tests_${lower})
        if(members)
            add_dependencies(tests_${lower} ${members})
        endif()
    endforeach()
endfunction()
