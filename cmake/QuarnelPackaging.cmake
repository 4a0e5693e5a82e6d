# Debian package of the panel software: the program, the FPGA bridge library,
# the register tool and the systemd unit. Built with CPack's DEB generator:
#   cmake --build <build> --target package      (or: cd <build> && cpack -G DEB)
# A cross build (cmake/toolchains/armhf-debian.cmake) gives the armhf
# package for the panel, a native build one for this machine's architecture.

install(FILES ${PROJECT_SOURCE_DIR}/packaging/quarnel.service
        DESTINATION lib/systemd/system)

# What Debian expects of every package besides its programs: the copyright,
# the changelog (gzipped, as of a native package) and lintian's overrides,
# each with its reason.
set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/quarnel)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    COMMAND sh -c "gzip -9n < \"$0\" > changelog.gz" ${PROJECT_SOURCE_DIR}/packaging/changelog
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/packaging
    VERBATIM)
add_custom_target(quarnel_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${_doc})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME quarnel)

# The Debian architecture of the target, not of the build machine.
set(_deb_arch "")
if(CMAKE_LIBRARY_ARCHITECTURE)
    execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
endif()
if(NOT _deb_arch)
    execute_process(COMMAND dpkg --print-architecture
                    OUTPUT_VARIABLE _deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
endif()

# The panel's package starts the program at boot; others leave it to the user.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(QUARNEL_AUTOSTART 1)
else()
    set(QUARNEL_AUTOSTART 0)
endif()
configure_file(${PROJECT_SOURCE_DIR}/packaging/postinst.in
               ${PROJECT_BINARY_DIR}/packaging/postinst @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quarnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "talvenor")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network terminal for biosignal headboxes on the touch panel")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "quarnel runs full-screen on the panel and relays the acquisition PC's data\n"
    "and commands to up to four headboxes on the FPGA's serial link.\n"
    "Includes the FPGA bridge library ZELK_interface_DLL, the register tool\n"
    "zelkreg and the systemd unit quarnel.service.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "quarnel developers <quarnel@talvenor.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Qt and the C++ runtime from the binaries; what the program runs besides:
# "sh" for ifdown/ifup, ifupdown itself, and sudo for the reboot.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dash, ifupdown, sudo")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# triggers: ldconfig runs after the library is installed or removed.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm
    ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Debug information stays in the build tree; the panel's storage is small.
set(CPACK_STRIP_FILES TRUE)
include(CPack)

# The host package is built, inspected, installed on a throw-away overlay,
# run and purged inside the harness (packaging/tests/package_test.sh).
# Sanitizer builds are not packaged.
if(BUILD_TESTING AND NOT CMAKE_CROSSCOMPILING AND NOT QUARNEL_SANITIZE)
    add_test(NAME tst_package
             COMMAND ${QUARNEL_HARNESS} ${PROJECT_SOURCE_DIR}/packaging/tests/package_test.sh host ${PROJECT_BINARY_DIR})
    # The longest test: started first, so that a parallel run on a clean
    # clone (no timings recorded yet) does not end waiting for it alone.
    set_tests_properties(tst_package PROPERTIES LABELS package TIMEOUT 600 COST 1000)
endif()
