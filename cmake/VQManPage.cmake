# Manual pages are written in scdoc and installed gzipped, as Debian wants
# them. vq_man_page(SOURCE COMPONENT) turns NAME.N.scd beside a program into
# NAME.N.gz in man/manN of COMPONENT's installation.
find_program(VQ_SCDOC scdoc)
find_program(VQ_GZIP gzip)

function(vq_man_page source component)
  get_filename_component(page ${source} NAME_WLE)     # vqcli.1
  string(REGEX MATCH "[0-9]$" section ${page})
  set(roff ${CMAKE_CURRENT_BINARY_DIR}/${page})
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  if(NOT VQ_SCDOC OR NOT VQ_GZIP)
    message(STATUS "scdoc or gzip missing: manual page ${page} is not built")
    return()
  endif()
  add_custom_command(OUTPUT ${gz}
    COMMAND sh -c "\"$1\" < \"$2\" > \"$3\"" scdoc ${VQ_SCDOC}
            ${CMAKE_CURRENT_SOURCE_DIR}/${source} ${roff}
    COMMAND ${VQ_GZIP} -9 -n -f ${roff}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${source}
    COMMENT "Manual page ${page}"
    VERBATIM)
  string(REPLACE "." "_" target man_${page})
  add_custom_target(${target} ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()
