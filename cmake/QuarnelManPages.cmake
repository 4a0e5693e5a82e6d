# Manual pages, gzipped as Debian installs them, into <build>/man/:
#   quarnel.8       written by hand (packaging/man/quarnel.8.in): the program
#                   has no --help, and nobody should start it to find out
#   zelkreg.8, quarnelclient.1
#                   made at build time by help2man from the built programs'
#                   --help and --version (quarnel_help2man below)
# The pages are dated by the latest entry of packaging/changelog, so that
# the same sources give the same pages.

set(QUARNEL_MAN_DIR ${PROJECT_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${QUARNEL_MAN_DIR})

set(QUARNEL_DOC_EPOCH "")
execute_process(COMMAND dpkg-parsechangelog -l ${PROJECT_SOURCE_DIR}/packaging/changelog -STimestamp
                OUTPUT_VARIABLE QUARNEL_DOC_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT QUARNEL_DOC_EPOCH MATCHES "^[0-9]+$")
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/packaging/changelog QUARNEL_DOC_EPOCH "%s" UTC)
endif()
execute_process(COMMAND date -u -d @${QUARNEL_DOC_EPOCH} "+%B %Y"
                OUTPUT_VARIABLE QUARNEL_MAN_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)

# The build's programs must run on the build machine to print their help:
# natively, or under the emulator of a cross build.
find_program(QUARNEL_HELP2MAN help2man)
set(QUARNEL_HELP2MAN_REASON "")
if(QUARNEL_SANITIZE)
    set(QUARNEL_HELP2MAN_REASON "sanitizer builds are not packaged")
elseif(NOT QUARNEL_HELP2MAN)
    set(QUARNEL_HELP2MAN_REASON "help2man is missing (scripts/setup.sh installs it)")
elseif(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    set(QUARNEL_HELP2MAN_REASON "a cross build without CMAKE_CROSSCOMPILING_EMULATOR cannot run its programs")
endif()
if(QUARNEL_HELP2MAN_REASON)
    message(STATUS "Manual pages of zelkreg and quarnelclient left out: ${QUARNEL_HELP2MAN_REASON}")
endif()

# quarnel_help2man(<target> SECTION <n> NAME <summary> [SUBCOMMANDS <sub>...]
#                  [INSTALL <install() arguments after DESTINATION>...] [NO_INSTALL])
# Makes <build>/man/<target>.<n>.gz from "<target> --help" when the build can
# run <target>, with packaging/man/<target>.h2m for the sections --help
# lacks, and installs it into the manual's section <n> (NO_INSTALL: the
# caller's package installs it).
function(quarnel_help2man target)
    cmake_parse_arguments(M "NO_INSTALL" "SECTION;NAME" "SUBCOMMANDS;INSTALL" ${ARGN})
    if(QUARNEL_HELP2MAN_REASON)
        return()
    endif()
    set(page ${QUARNEL_MAN_DIR}/${target}.${M_SECTION}.gz)
    set(script ${PROJECT_SOURCE_DIR}/packaging/man/help2man.sh)
    set(include ${PROJECT_SOURCE_DIR}/packaging/man/${target}.h2m)
    string(REPLACE ";" " " subcommands "${M_SUBCOMMANDS}")
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${QUARNEL_DOC_EPOCH}
                sh ${script} ${page} ${M_SECTION} ${M_NAME} ${include} "${subcommands}"
                ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${target}>
        DEPENDS ${target} ${script} ${include}
        COMMENT "Manual page ${target}(${M_SECTION}) from ${target} --help"
        VERBATIM)
    add_custom_target(${target}_man ALL DEPENDS ${page})
    if(NOT M_NO_INSTALL)
        install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${M_SECTION} ${M_INSTALL})
    endif()
endfunction()

# The program's own page needs nothing from the build.
configure_file(${PROJECT_SOURCE_DIR}/packaging/man/quarnel.8.in ${QUARNEL_MAN_DIR}/quarnel.8 @ONLY)
add_custom_command(OUTPUT ${QUARNEL_MAN_DIR}/quarnel.8.gz
    COMMAND sh -c "gzip -9n < quarnel.8 > quarnel.8.gz"
    WORKING_DIRECTORY ${QUARNEL_MAN_DIR}
    DEPENDS ${QUARNEL_MAN_DIR}/quarnel.8
    VERBATIM)
add_custom_target(quarnel_man ALL DEPENDS ${QUARNEL_MAN_DIR}/quarnel.8.gz)
install(FILES ${QUARNEL_MAN_DIR}/quarnel.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
