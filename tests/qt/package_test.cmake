# Builds the Debian package as `make package` does and checks it:
#  * its control fields, and that every package it depends on is installed here (so
#    `apt install ./brivel_<version>_<arch>.deb` installs it cleanly on this system);
#  * it holds the programs, the library, the public headers, the CMake package, the
#    Designer plugin where Qt looks for it, and the licence, under /usr;
#  * extracted, its programs run (they find the library relative to themselves).
#
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DVERSION=... -P package_test.cmake

cmake_minimum_required(VERSION 3.22)
foreach(var BUILD_DIR WORK_DIR VERSION)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "package_test: ${var} is not set")
  endif()
endforeach()

set(failures 0)
macro(fail what)
  message(SEND_ERROR "package_test: ${what}")
  math(EXPR failures "${failures} + 1")
endmacro()
function(run)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen
                          ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
run(cpack --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}")
file(GLOB deb "${WORK_DIR}/brivel_${VERSION}_*.deb")
if(NOT rc EQUAL 0 OR NOT deb)
  message(FATAL_ERROR "package_test: cpack made no package (${rc}): ${out}${err}")
endif()

# ---- control fields and dependencies -------------------------------------------------
run(dpkg-deb --field "${deb}" Package Version Depends)
if(NOT out MATCHES "Package: brivel\n" OR NOT out MATCHES "Version: ${VERSION}\n")
  fail("control fields: ${out}")
endif()
if(NOT out MATCHES "Depends: [^\n]*libqt6widgets6")
  fail("the package does not depend on Qt Widgets: ${out}")
endif()
string(REGEX MATCH "Depends: ([^\n]*)" depends "${out}")
string(REGEX REPLACE "\\([^)]*\\)" "" depends "${CMAKE_MATCH_1}")
string(REPLACE "," ";" depends "${depends}")
foreach(alternatives IN LISTS depends)
  string(REPLACE "|" ";" alternatives "${alternatives}")
  set(satisfied FALSE)
  foreach(name IN LISTS alternatives)
    string(STRIP "${name}" name)
    run(dpkg-query -W "-f=\${Status}" "${name}")
    if(out STREQUAL "install ok installed")
      set(satisfied TRUE)
    endif()
  endforeach()
  if(NOT satisfied)
    fail("dependency not installed here: ${alternatives}")
  endif()
endforeach()

# ---- contents ----------------------------------------------------------------------------
run(dpkg-deb --contents "${deb}")
set(listing "${out}")
foreach(path usr/bin/brivel-demo usr/bin/brivelctl usr/bin/brivel-sim
             "usr/lib[^ \n]*/libBrivelocx.so.${VERSION}"
             usr/include/Brivelocx/Brivel.h usr/include/Brivelocx/brivelocx_export.h
             usr/include/Brivelocx/brivel_version.h
             "usr/lib[^ \n]*/cmake/Brivel/BrivelConfig.cmake"
             "usr/lib[^ \n]*/cmake/Brivel/BrivelConfigVersion.cmake"
             "usr/lib/[^ \n]*qt6/plugins/designer/libbrivel_designer.so"
             usr/share/doc/brivel/LICENSE usr/share/doc/brivel/CHANGELOG.md)
  if(NOT listing MATCHES " \\./${path}[\n ]")
    fail("the package lacks ${path}")
  endif()
endforeach()
if(listing MATCHES "surface_view.h|qt_dialogs.h|control/brivel.h")
  fail("the package holds internal headers")
endif()

# ---- extracted, the programs run -----------------------------------------------------
set(root "${WORK_DIR}/root")
run(dpkg-deb -x "${deb}" "${root}")
if(NOT rc EQUAL 0)
  fail("dpkg-deb -x failed: ${err}")
endif()
foreach(program brivel-sim brivel-demo)
  run("${root}/usr/bin/${program}" --version)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "${program} ${VERSION}\n")
    fail("${program} from the package: ${rc} '${out}' ${err}")
  endif()
endforeach()
run(ldd "${root}/usr/bin/brivel-demo")
if(NOT out MATCHES "libBrivelocx.so.0 => ${root}/usr/(bin/\\.\\./)?lib/")
  fail("brivel-demo from the package does not find the packaged library: ${out}")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "package_test: ${failures} check(s) failed")
endif()
message(STATUS "package_test: ${deb} checked")
