# What `cmake --install` puts where, in the folders GNUInstallDirs gives for
# CMAKE_INSTALL_PREFIX (DESTDIR honoured): the programs in bin/, their pages
# in share/man/man1/, and on Linux the udev rule and the package's papers.
include(GNUInstallDirs)
find_program(ZUL_GZIP gzip)
set(ZUL_PACKAGE_NAME zul-download)

# Installs a program, a target or else the script NAME of the calling folder,
# to bin/, with man/NAME.1 (the version filled in) as its page. The Windows
# zip holds the tool alone (cmake/Packaging.cmake), so nothing here there.
function(zul_install_program name)
    if(WIN32)
        return()
    endif()
    if(TARGET ${name})
        install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    else()
        install(PROGRAMS ${name} DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
    zul_install_compressed(${PROJECT_SOURCE_DIR}/man/${name}.1 ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# Installs SOURCE, its @PROJECT_VERSION@ filled in, to DESTINATION; gzipped
# without a time stamp (as Debian wants its pages and changelogs) where gzip exists.
function(zul_install_compressed source destination)
    get_filename_component(name ${source} NAME)
    set(page ${PROJECT_BINARY_DIR}/compressed/${name})
    configure_file(${source} ${page} @ONLY)
    if(NOT ZUL_GZIP)
        install(FILES ${page} DESTINATION ${destination})
        return()
    endif()
    add_custom_command(OUTPUT ${page}.gz COMMAND ${ZUL_GZIP} -9nf -k ${page} DEPENDS ${page})
    add_custom_target(compress_${name} ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${destination})
endfunction()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    # udev reads lib/udev/rules.d of its own prefix only: a rule under
    # /usr/local must be copied to /etc/udev/rules.d (README, Install).
    install(FILES packaging/60-zul-b4k.rules DESTINATION lib/udev/rules.d)
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZUL_PACKAGE_NAME})
    install(FILES packaging/copyright DESTINATION ${doc})
    zul_install_compressed(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian ${doc})
endif()
