# The manual pages of brivelctl and brivel-sim and the bash completion of brivelctl.
# Each program writes its own from the tables its --help prints (the hidden options
# --man and --completion), so the pages never disagree with the programs. They are
# written into the build folder (man/, completion/) and installed to share/man/man1 and
# share/bash-completion/completions.
if(CMAKE_CROSSCOMPILING)
  return()   # the programs cannot run here
endif()

set(brivel_manuals)
function(brivel_program_output target argument output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DARGUMENT=${argument} -DOUTPUT=${output}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/program_output.cmake
    DEPENDS ${target} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/program_output.cmake
    COMMENT "Writing ${output}"
    VERBATIM)
  set(brivel_manuals ${brivel_manuals} ${output} PARENT_SCOPE)
endfunction()

# Pages are installed compressed, as Debian keeps them.
foreach(program brivelctl brivel-sim)
  if(TARGET ${program})
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    brivel_program_output(${program} --man ${page})
    add_custom_command(OUTPUT ${page}.gz
      COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${page} ${page}.gz
      DEPENDS ${page} COMMENT "Compressing the manual page ${program}.1" VERBATIM)
    list(APPEND brivel_manuals ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endif()
endforeach()
# Pages written by hand (docs/man: brivel-demo, whose options are few and settled).
file(GLOB brivel_written_pages CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/*.1)
foreach(page IN LISTS brivel_written_pages)
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_BINARY_DIR}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${page} ${gz}
    DEPENDS ${page} COMMENT "Compressing the manual page ${name}" VERBATIM)
  list(APPEND brivel_manuals ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
if(TARGET brivelctl)
  brivel_program_output(brivelctl --completion ${CMAKE_BINARY_DIR}/completion/brivelctl)
  install(FILES ${CMAKE_BINARY_DIR}/completion/brivelctl
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT tools)
endif()
add_custom_target(brivel_manuals ALL DEPENDS ${brivel_manuals})
