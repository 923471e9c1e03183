# Installs the build into a fresh prefix and uses it as a host would:
#  * the programs run from the prefix with no library path set (run path $ORIGIN);
#  * the prefix holds the public headers only, and the library exports no internals;
#  * find_package(Brivel) with its version check builds a host (the Designer-form
#    example) that runs against the installed library.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DVERSION=... -DGENERATOR=...
#         -P install_test.cmake

cmake_minimum_required(VERSION 3.22)
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR VERSION GENERATOR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "install_test: ${var} is not set")
  endif()
endforeach()

set(failures 0)
macro(fail what)
  message(SEND_ERROR "install_test: ${what}")
  math(EXPR failures "${failures} + 1")
endmacro()

# Runs a command with a clean library path; sets rc, out, err.
function(run)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen
                          ${ARGN}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  set(rc "${rc}" PARENT_SCOPE)
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install_test: cmake --install failed: ${err}")
endif()

# ---- the programs run from the prefix ----------------------------------------------
foreach(program brivel-sim brivel-demo)
  run("${prefix}/bin/${program}" --version)
  if(NOT rc EQUAL 0)
    fail("${program} --version exited with ${rc}: ${err}")
  endif()
  if(NOT out STREQUAL "${program} ${VERSION}\n")
    fail("${program} --version printed '${out}'")
  endif()
endforeach()
run("${prefix}/bin/brivelctl" --help)
if(NOT rc EQUAL 0)
  fail("brivelctl --help exited with ${rc}: ${err}")
endif()
# The manual pages and the completion, as the programs write them.
foreach(file share/man/man1/brivelctl.1.gz share/man/man1/brivel-sim.1.gz share/bash-completion/completions/brivelctl)
  if(NOT EXISTS "${prefix}/${file}")
    fail("${file} is not installed")
  endif()
endforeach()
if(EXISTS "${prefix}/share/man/man1/brivelctl.1.gz")
  run(gzip -dc "${prefix}/share/man/man1/brivelctl.1.gz")
  if(NOT out MATCHES "^\\.TH brivelctl 1 " OR NOT out MATCHES "\\.SH \"VERBS\"")
    fail("share/man/man1/brivelctl.1.gz is no manual page of brivelctl")
  endif()
endif()
run(ldd "${prefix}/bin/brivel-demo")
if(NOT out MATCHES "libBrivelocx.so.0 => ${prefix}/")
  fail("brivel-demo does not use the prefix's library: ${out}")
endif()
file(GLOB_RECURSE plugin "${prefix}/*/libbrivel_designer.so")
list(FILTER plugin INCLUDE REGEX "/qt6/plugins/designer/")
if(NOT plugin)
  fail("no Designer plugin in the prefix")
else()
  run(ldd "${plugin}")
  if(NOT out MATCHES "libBrivelocx.so.0 => ${prefix}/")
    fail("the Designer plugin does not find the library: ${out}")
  endif()
endif()

# ---- only the public headers, and no internal symbols --------------------------------
file(GLOB_RECURSE headers RELATIVE "${prefix}/include" "${prefix}/include/*")
list(SORT headers)
if(NOT headers STREQUAL "Brivelocx/Brivel.h;Brivelocx/BrivelController.h;Brivelocx/brivel_serial_log.h;Brivelocx/brivel_version.h;Brivelocx/brivelocx_export.h")
  fail("installed headers: ${headers}")
endif()
file(GLOB library "${prefix}/lib*/libBrivelocx.so.${VERSION}" "${prefix}/lib*/*/libBrivelocx.so.${VERSION}")
if(NOT library)
  fail("no libBrivelocx.so.${VERSION} in the prefix")
else()
  run(nm -DC --defined-only "${library}")
  string(REGEX MATCHALL "\n[0-9a-f]+ [A-Za-z] brivel::[^\n]*" internals "\n${out}")
  # The traffic log's calls (brivel_serial_log.h) are the library's too.
  list(FILTER internals EXCLUDE REGEX
       " brivel::qt::(set_serial_logging\\(bool\\)|serial_logging\\(\\)|set_serial_log_file\\(QString const&, QString\\*\\))$")
  if(internals)
    fail("the library exports internals:${internals}")
  endif()
  if(NOT out MATCHES " Brivel::OpenCom")
    fail("the library does not export Brivel::OpenCom()")
  endif()
  if(NOT out MATCHES " brivel::qt::set_serial_log_file\\(QString const&, QString\\*\\)")
    fail("the library does not export brivel::qt::set_serial_log_file()")
  endif()
endif()

# ---- a host built with find_package(Brivel) ------------------------------------------
set(launcher)
find_program(ccache ccache)
if(ccache)
  set(launcher -DCMAKE_CXX_COMPILER_LAUNCHER=${ccache})
endif()
set(host "${WORK_DIR}/host")
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/designer-form" -B "${host}" -G "${GENERATOR}"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${launcher})
if(NOT rc EQUAL 0)
  fail("configuring the host against the prefix failed: ${out}${err}")
endif()
run(${CMAKE_COMMAND} --build "${host}")
if(NOT rc EQUAL 0)
  fail("building the host failed: ${out}${err}")
endif()
run("${host}/brivel-form-host" --screenshot "${WORK_DIR}/host.png")
if(NOT rc EQUAL 0)
  fail("the host exited with ${rc}: ${err}")
endif()
if(NOT out MATCHES "IntUseCom 1, IntLanguage 1")
  fail("the host printed '${out}'")
endif()
run(ldd "${host}/brivel-form-host")
if(NOT out MATCHES "libBrivelocx.so.0 => ${prefix}/")
  fail("the host does not use the prefix's library: ${out}")
endif()

# A host that keeps the serial traffic in a file with the installed header
# brivel_serial_log.h: the control's first question to a silent pseudo-terminal is
# in it, and a file that cannot be opened is refused with a reason.
file(WRITE "${WORK_DIR}/traffic/CMakeLists.txt" "cmake_minimum_required(VERSION 3.22)
project(traffic LANGUAGES CXX)
set(CMAKE_CXX_STANDARD 17)
find_package(Brivel ${VERSION} REQUIRED)
add_executable(traffic main.cpp)
target_link_libraries(traffic PRIVATE Brivel::Brivelocx)
")
file(WRITE "${WORK_DIR}/traffic/main.cpp" [=[
#include <Brivel.h>
#include <brivel_serial_log.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString why;
  if (brivel::qt::set_serial_log_file("/nonexistent-folder/traffic.log", &why) || why.isEmpty()) return 3;
  if (!brivel::qt::set_serial_log_file(QString::fromLocal8Bit(argv[1]), &why)) {
    std::fputs(qPrintable(why), stderr);
    return 4;
  }
  if (!brivel::qt::serial_logging()) return 5;
  const int pty = posix_openpt(O_RDWR | O_NOCTTY);   // nothing answers on it
  if (pty < 0 || grantpt(pty) != 0 || unlockpt(pty) != 0) return 6;
  Brivel::setPortDevice(1, QString::fromLocal8Bit(ptsname(pty)));
  Brivel control;
  control.setHostMessages(true);
  control.OpenCom();
  brivel::qt::set_serial_log_file({});
  return control.BlnMonConnectFlag() ? 7 : 0;
}
]=])
run(${CMAKE_COMMAND} -S "${WORK_DIR}/traffic" -B "${WORK_DIR}/traffic/build" -G "${GENERATOR}"
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release ${launcher})
if(rc EQUAL 0)
  run(${CMAKE_COMMAND} --build "${WORK_DIR}/traffic/build")
endif()
if(NOT rc EQUAL 0)
  fail("building the traffic-log host failed: ${out}${err}")
else()
  file(REMOVE "${WORK_DIR}/traffic.log")
  run("${WORK_DIR}/traffic/build/traffic" "${WORK_DIR}/traffic.log")
  if(NOT rc EQUAL 0)
    fail("the traffic-log host exited with ${rc}: ${err}")
  endif()
  file(STRINGS "${WORK_DIR}/traffic.log" traffic)
  if(NOT traffic MATCHES "^ *[0-9]+\\.[0-9][0-9][0-9] > 79(;|$)")
    fail("the traffic log does not begin with the identification's question: ${traffic}")
  endif()
endif()

# A host that asks for a version this is not compatible with is refused.
file(WRITE "${WORK_DIR}/future/CMakeLists.txt"
     "cmake_minimum_required(VERSION 3.22)\nproject(future LANGUAGES CXX)\nfind_package(Brivel 9.0 REQUIRED)\n")
run(${CMAKE_COMMAND} -S "${WORK_DIR}/future" -B "${WORK_DIR}/future/build" -G "${GENERATOR}"
    -DCMAKE_PREFIX_PATH=${prefix})
if(rc EQUAL 0)
  fail("find_package(Brivel 9.0) accepted version ${VERSION}")
endif()
if(NOT err MATCHES "${VERSION}")
  fail("the refusal does not name the installed version: ${err}")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "install_test: ${failures} check(s) failed")
endif()
message(STATUS "install_test: prefix ${prefix} works")
