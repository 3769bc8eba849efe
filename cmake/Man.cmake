# Man pages: rorodire(1), rorodired(8) and rorodired.conf(5), written in scdoc
# (doc/man/*.scd), generated in the build and installed under share/man.
# A build without scdoc stops here with what to do, rather than installing
# without its pages.
include(GNUInstallDirs)
option(RORODIRE_MAN "Generate and install the man pages (needs scdoc)" ON)
if(RORODIRE_MAN)
  find_program(RR_SCDOC scdoc)
  if(NOT RR_SCDOC)
    message(FATAL_ERROR "scdoc is needed for the man pages: install it (apt-get install scdoc, or scripts/deps.sh) "
                        "or configure with -DRORODIRE_MAN=OFF")
  endif()
  set(RR_MAN_PAGES "")
  foreach(page rorodire.1 rorodired.8 rorodired.conf.5)
    set(src ${CMAKE_SOURCE_DIR}/doc/man/${page}.scd)
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND sh -c "\"$1\" < \"$2\" > \"$3.tmp\" && mv \"$3.tmp\" \"$3\"" sh ${RR_SCDOC} ${src} ${out}
      DEPENDS ${src}
      COMMENT "scdoc ${page}"
      VERBATIM)
    list(APPEND RR_MAN_PAGES ${out})
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${RR_MAN_PAGES})
endif()
