# What a user installs, each with a SHA-256 file beside it, made by the
# release target (packaging/pack.cmake.in): a Debian package from a Linux
# build, with the source tarball beside the native one's; a tarball from a
# static Linux build (XORFILE_STATIC); a zip from each Windows build. Their
# files are one install component, left out of a plain cmake --install,
# which keeps its own layout.
set(package_dir ${PROJECT_BINARY_DIR}/package)
set(package_component package)
file(MAKE_DIRECTORY ${package_dir})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_SOURCE_DIR}/NEWS)

set(package_maintainer "${package_vendor} <xorfile@example.org>")
set(package_long_description "xorfile combines every byte of a file with one key byte, given in
hexadecimal, and writes the result beside the input with .xor appended.
Running it again on that file with the same key gives the input back.
It hides a file from a casual look; it is no encryption.")

if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(package_file ${PROJECT_NAME}-${PROJECT_VERSION}-win64.zip)
    else()
        set(package_file ${PROJECT_NAME}-${PROJECT_VERSION}-win32.zip)
    endif()
    # The text files are made when the zip is: see pack.cmake.in.
    configure_file(packaging/README-windows.md ${package_dir}/README-windows.md @ONLY)
    install(TARGETS xorfile RUNTIME DESTINATION . COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/xorfile.txt ${package_dir}/LICENSE.txt ${package_dir}/README.txt
        ${package_dir}/NEWS.txt DESTINATION . COMPONENT ${package_component} EXCLUDE_FROM_ALL)
elseif(XORFILE_STATIC)
    # armhf is the name users look for; the others are the processors' own.
    set(release_arch ${CMAKE_SYSTEM_PROCESSOR})
    if(release_arch MATCHES "^armv7")
        set(release_arch armhf)
    endif()
    set(package_file ${PROJECT_NAME}-${PROJECT_VERSION}-linux-${release_arch}.tar.gz)
    install(TARGETS xorfile RUNTIME DESTINATION . COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${PROJECT_BINARY_DIR}/xorfile.1 ${PROJECT_SOURCE_DIR}/LICENSE
        ${PROJECT_SOURCE_DIR}/NEWS DESTINATION . COMPONENT ${package_component} EXCLUDE_FROM_ALL)
else()
    # Debian's policy: the manual page and changelog gzipped without a time
    # stamp, the licence in its machine-readable copyright format.
    function(gzip_file source target)
        execute_process(COMMAND gzip -9n INPUT_FILE ${source} OUTPUT_FILE ${target}
            COMMAND_ERROR_IS_FATAL ANY)
    endfunction()

    gzip_file(${PROJECT_BINARY_DIR}/xorfile.1 ${package_dir}/xorfile.1.gz)
    gzip_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${package_dir}/changelog.gz)
    gzip_file(${PROJECT_SOURCE_DIR}/NEWS ${package_dir}/NEWS.gz)

    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) [^\n]*\n\n(.*)" license "${license}")
    string(STRIP "${CMAKE_MATCH_1}" license_text)
    string(REPLACE "\n\n" "\n.\n" license_text "${license_text}")
    string(REPLACE "\n" "\n " license_text "${license_text}")
    string(REPLACE "Copyright (c) " "" copyright_holder "${package_copyright}")
    file(WRITE ${package_dir}/copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${copyright_holder}
License: ISC
 ${license_text}
")

    install(TARGETS xorfile RUNTIME DESTINATION bin COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/xorfile.1.gz DESTINATION share/man/man1
        COMPONENT ${package_component} EXCLUDE_FROM_ALL)
    install(FILES ${package_dir}/copyright ${package_dir}/changelog.gz ${package_dir}/NEWS.gz
        DESTINATION share/doc/${PROJECT_NAME} COMPONENT ${package_component} EXCLUDE_FROM_ALL)
endif()

configure_file(packaging/pack.cmake.in pack.cmake @ONLY)
add_custom_target(release COMMAND ${CMAKE_COMMAND} -P ${PROJECT_BINARY_DIR}/pack.cmake VERBATIM)
add_dependencies(release xorfile)
