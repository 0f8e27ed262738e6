# What `cmake --install` puts on a machine, and the packages CPack makes of it:
# on Linux a Debian package and a tarball, for Windows a ZIP with what a host
# machine needs beside the host. Included last from the top-level
# CMakeLists.txt, so that every program's target exists here.

set(VAVE8_PACKAGE_MAINTAINER "VAVE8 maintainers <vave8@vave8.example>"
    CACHE STRING "Maintainer of the packages (Debian's Maintainer field): \"Name <address>\"")

if(WIN32)
  # Flat, as Windows finds DLLs: the driver, the service library and the host
  # tool side by side; the README as text with Windows line ends.
  file(READ ${PROJECT_SOURCE_DIR}/README.md readme)
  string(REPLACE "\r\n" "\n" readme "${readme}")
  string(REPLACE "\n" "\r\n" readme "${readme}")
  file(WRITE ${PROJECT_BINARY_DIR}/README.txt "${readme}")
  install(PROGRAMS $<TARGET_FILE:vave8> $<TARGET_FILE:hostsvc> DESTINATION .)
  if(TARGET vave8ctl)
    install(PROGRAMS $<TARGET_FILE:vave8ctl> DESTINATION .)
  endif()
  install(FILES ${PROJECT_BINARY_DIR}/README.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS vave8 hostsvc LIBRARY DESTINATION ${VAVE8_INSTALL_MODULEDIR})

  # Installed host programs find the service library (and vave8ctl the
  # module, through hostsvc/module_loader) in the library folder.
  set(installed_programs)
  foreach(program vave8ctl p8sim vave8gw)
    if(TARGET ${program})
      list(APPEND installed_programs ${program})
    endif()
  endforeach()
  foreach(program vave8ctl vave8gw)
    if(TARGET ${program})
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "\$ORIGIN/${VAVE8_MODULE_FROM_BIN}")
    endif()
  endforeach()
  # The gateway installs itself (and its systemd unit) from its own folder.
  list(REMOVE_ITEM installed_programs vave8gw)
  if(installed_programs)
    install(TARGETS ${installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()

  # The READMEs keep the names they have in the source tree, under doc/vave8,
  # so that the links between them work where they are installed.
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  if(TARGET p8sim)
    install(FILES ${PROJECT_SOURCE_DIR}/sim/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/sim)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/bench/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/bench)

  # What Debian asks of every package: the copyright, a changelog and man
  # pages compressed (gzip -n: the same bytes from the same text).
  find_program(GZIP gzip REQUIRED)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in
                 ${PROJECT_BINARY_DIR}/debian/changelog @ONLY)
  add_custom_command(
    OUTPUT ${PROJECT_BINARY_DIR}/debian/changelog.gz
    COMMAND ${GZIP} -9nkf ${PROJECT_BINARY_DIR}/debian/changelog
    DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog
    COMMENT "Debian changelog"
    VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/changelog.gz)
  install(FILES ${PROJECT_BINARY_DIR}/debian/changelog.gz ${PROJECT_SOURCE_DIR}/cmake/debian/copyright
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME vave8)

  # Man pages from each program's --help and --version. Not when cross
  # compiling: the programs must run here.
  find_program(HELP2MAN help2man)
  set(man_pages)
  if(HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
    set(vave8ctl_summary "talk to P8 PLCs through the VAVE8 driver, and watch a line")
    set(p8sim_summary "a simulated line of P8 PLCs")
    set(vave8gw_summary "gateway to P8 PLCs through the VAVE8 driver")
    foreach(program vave8ctl p8sim vave8gw)
      if(NOT TARGET ${program})
        continue()
      endif()
      set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
      set(include_args)
      set(include_commands)
      if(program STREQUAL "vave8ctl" AND TARGET vave8ctl_monitor)
        # The monitor's options are in its own --help: a section of their own.
        set(section ${PROJECT_BINARY_DIR}/man/vave8ctl-monitor.h2m)
        set(include_args --include ${section})
        set(include_commands
            COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vave8ctl> -DCOMMAND=monitor
                    "-DSECTION=LINE MONITOR" -DOUTPUT=${section}
                    -P ${PROJECT_SOURCE_DIR}/cmake/debian/man-section.cmake)
      endif()
      add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        ${include_commands}
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name "${${program}_summary}"
                ${include_args} --output ${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nkf ${page}
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/debian/man-section.cmake
        COMMENT "Man page of ${program}"
        VERBATIM)
      list(APPEND man_pages ${page}.gz)
    endforeach()
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
    install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    message(STATUS "help2man not found or cross compiling: no man pages")
  endif()

  set(CPACK_GENERATOR DEB TGZ)
endif()

# Everything the install rules take, for building just that before packing
# (`cmake --build DIR --target installables`, then cpack in DIR).
add_custom_target(installables)
foreach(target vave8 hostsvc vave8ctl p8sim vave8gw man_pages debian_changelog)
  if(TARGET ${target})
    add_dependencies(installables ${target})
  endif()
endforeach()

set(CPACK_PACKAGE_NAME vave8)
set(CPACK_PACKAGE_VENDOR "VAVE8")
set(CPACK_PACKAGE_CONTACT "${VAVE8_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial driver for Philips P8 PLCs, host tool and gateway")
# Lines of at most 80 characters, as Debian shows them.
set(CPACK_PACKAGE_DESCRIPTION
    "The VAVE8 driver module, loaded by a supervisory host to read and write the
memory of P8 PLCs over a serial line (PPCCOM), with vave8ctl, to check
ports, addresses and PLCs and to watch a line; vave8gw, a Modbus TCP gateway
to the PLCs of one line, with a systemd unit per line (configuration in
/etc/vave8gw/); and p8sim, a simulated line of PLCs for tests and training.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)

# Debian: the runtime dependencies found from the binaries themselves (libc,
# libstdc++, and libmodbus when the gateway is in), the private library
# folder searched for the service library.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/${VAVE8_INSTALL_MODULEDIR})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Scripts of its own: the gateway's configuration folder, and no ldconfig
# (the libraries are private, in /usr/lib/vave8, which ldconfig never reads).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/postinst
    ${PROJECT_SOURCE_DIR}/cmake/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
