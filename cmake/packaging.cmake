# What a user installs: a Debian package from the native build (cpack -G DEB)
# and a zip from each Windows build. Their files are one install component,
# left out of a plain cmake --install, which keeps its own layout.
set(package_dir ${PROJECT_BINARY_DIR}/package)
set(package_component package)
file(MAKE_DIRECTORY ${package_dir})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
    ${PROJECT_SOURCE_DIR}/doc/xorfile.1 ${PROJECT_SOURCE_DIR}/packaging/changelog)

set(CPACK_PACKAGE_NAME xorfile)
set(CPACK_PACKAGE_VENDOR "the xorfile authors")
set(CPACK_PACKAGE_CONTACT "the xorfile authors <xorfile@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encode a file by XOR with a one-byte key")
set(CPACK_PACKAGE_DESCRIPTION "xorfile combines every byte of a file with one key byte, given in\n\
hexadecimal, and writes the result beside the input with .xor appended.\n\
Running it again on that file with the same key gives the input back.\n\
It reports each failure by one line and its exit status.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};${package_component};/")

if(WIN32)
    # Text that Notepad shows as written: CR LF line ends.
    function(write_crlf path text)
        string(REPLACE "\n" "\r\n" text "${text}")
        file(WRITE ${path} "${text}")
    endfunction()

    find_program(groff_program groff REQUIRED)
    execute_process(COMMAND ${groff_program} -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/doc/xorfile.1
        OUTPUT_VARIABLE manual COMMAND_ERROR_IS_FATAL ANY)
    write_crlf(${package_dir}/xorfile.txt "${manual}")
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    write_crlf(${package_dir}/LICENSE.txt "${license}")
    file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
    write_crlf(${package_dir}/README.txt "${readme}")

    install(TARGETS xorfile RUNTIME DESTINATION .
        COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/xorfile.txt ${package_dir}/LICENSE.txt ${package_dir}/README.txt
        DESTINATION . COMPONENT ${package_component} EXCLUDE_FROM_ALL)

    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(windows_name win64)
    else()
        set(windows_name win32)
    endif()
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${windows_name})
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
    # Debian's policy: the manual page and changelog gzipped without a time
    # stamp, the licence in its machine-readable copyright format.
    function(gzip_file source target)
        execute_process(COMMAND gzip -9n INPUT_FILE ${source} OUTPUT_FILE ${target}
            COMMAND_ERROR_IS_FATAL ANY)
    endfunction()

    gzip_file(${PROJECT_SOURCE_DIR}/doc/xorfile.1 ${package_dir}/xorfile.1.gz)
    gzip_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${package_dir}/changelog.gz)

    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)\n\n(.*)" license "${license}")
    set(copyright_holder ${CMAKE_MATCH_1})
    string(STRIP "${CMAKE_MATCH_2}" license_text)
    string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
    string(REPLACE "\n" "\n " license_text "${license_text}")
    file(WRITE ${package_dir}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${copyright_holder}
License: ISC
 ${license_text}
")

    install(TARGETS xorfile RUNTIME DESTINATION bin
        COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/xorfile.1.gz DESTINATION share/man/man1
        COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/copyright ${package_dir}/changelog.gz
        DESTINATION share/doc/${PROJECT_NAME} COMPONENT ${package_component} EXCLUDE_FROM_ALL)

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
