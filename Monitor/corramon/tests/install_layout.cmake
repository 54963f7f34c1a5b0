# What `cmake --install` lays out is what an operator runs: the programs in bin/ starting with
# their libraries from lib/, the install directory conf/ with every default file the engines
# read and the protocol-spec tree (the files with passwords readable by their owner only), and a
# unit that starts the installed program and restarts it when it ends by itself.
#
#   cmake -DBUILD_DIR=<build> -DPREFIX=<scratch prefix> -P install_layout.cmake
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} failed: ${result}")
endif()

set(missing)
foreach(path IN ITEMS
    bin/corramon bin/tapview
    conf/admin/PSpc.bin conf/admin/corramon.cfg
    conf/admin/cengineInstall.cfg conf/admin/cengine_prvt.cfg conf/admin/cengine_prvtDef.cfg
    conf/admin/cengineKey
    conf/admin/aengineInstall.cfg conf/admin/aengine_prvt.cfg conf/admin/aengine_prvtDef.cfg
    conf/admin/aengineKey
    conf/logs conf/db
    lib/systemd/system/corramon.service)
  if(NOT EXISTS "${PREFIX}/${path}")
    list(APPEND missing "${path}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "not installed: ${missing}")
endif()

# The private files hold the consoles' passwords: their owner alone may read them.
foreach(name IN ITEMS aengine_prvt.cfg aengine_prvtDef.cfg cengine_prvt.cfg cengine_prvtDef.cfg)
  execute_process(COMMAND stat -c %a "${PREFIX}/conf/admin/${name}" OUTPUT_VARIABLE mode
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT mode STREQUAL "600")
    message(FATAL_ERROR "conf/admin/${name} is installed with mode ${mode}, not 600")
  endif()
endforeach()

file(SIZE "${PREFIX}/conf/admin/PSpc.bin" size)
if(size EQUAL 0)
  message(FATAL_ERROR "conf/admin/PSpc.bin is empty")
endif()

file(READ "${PREFIX}/lib/systemd/system/corramon.service" unit)
foreach(line IN ITEMS "ExecStart=\"${PREFIX}/bin/corramon\"" "Type=notify" "Restart=always"
                     "RestartSec=" "StartLimitBurst=" "RuntimeDirectory=corramon"
                     "OB_SERVICE_STATEDIR=/run/corramon")
  string(FIND "${unit}" "${line}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the unit lacks ${line}:\n${unit}")
  endif()
endforeach()
# systemd's own reading of the unit: it exits 0 on warnings too, so any word it says fails.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  execute_process(COMMAND "${SYSTEMD_ANALYZE}" verify "${PREFIX}/lib/systemd/system/corramon.service"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "systemd-analyze verify of the installed unit: ${result}\n${out}${err}")
  endif()
else()
  message(STATUS "systemd-analyze is not installed: the installed unit is not verified")
endif()

# An install over the prefix keeps what the operator changed (options, watched servers, console
# passwords) and puts back only the defaults that are missing, with their modes.
file(WRITE "${PREFIX}/conf/admin/corramon.cfg" "NetworkStatistics: 0\n")
file(WRITE "${PREFIX}/conf/admin/aengine_prvt.cfg" "the operator's servers\n")
file(WRITE "${PREFIX}/conf/admin/cengine_prvt.cfg" "the operator's password\n")
file(REMOVE "${PREFIX}/conf/admin/aengine_prvtDef.cfg" "${PREFIX}/conf/admin/cengineInstall.cfg")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install ${BUILD_DIR} over an installed prefix failed: ${result}")
endif()
foreach(pair IN ITEMS "corramon.cfg=NetworkStatistics: 0\n" "aengine_prvt.cfg=the operator's servers\n"
                      "cengine_prvt.cfg=the operator's password\n")
  string(REGEX MATCH "^[^=]+" name "${pair}")
  string(REGEX REPLACE "^[^=]+=" "" expected "${pair}")
  file(READ "${PREFIX}/conf/admin/${name}" content)
  if(NOT content STREQUAL expected)
    message(FATAL_ERROR "an install over the prefix replaced the operator's conf/admin/${name}:\n${content}")
  endif()
endforeach()
foreach(name IN ITEMS aengine_prvtDef.cfg cengineInstall.cfg)
  if(NOT EXISTS "${PREFIX}/conf/admin/${name}")
    message(FATAL_ERROR "an install over the prefix did not put back the missing conf/admin/${name}")
  endif()
endforeach()
execute_process(COMMAND stat -c %a "${PREFIX}/conf/admin/aengine_prvtDef.cfg" OUTPUT_VARIABLE mode
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT mode STREQUAL "600")
  message(FATAL_ERROR "conf/admin/aengine_prvtDef.cfg is put back with mode ${mode}, not 600")
endif()

# A staged install (DESTDIR, as a package or a container root is filled) lays the defaults out
# under DESTDIR too.
set(staged "${PREFIX}-staged")
file(REMOVE_RECURSE "${staged}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "DESTDIR=${staged}"
                        "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix /opt/corrana
                RESULT_VARIABLE result OUTPUT_QUIET)
foreach(name IN ITEMS corramon.cfg cengine_prvtDef.cfg aengine_prvt.cfg)
  if(NOT result EQUAL 0 OR NOT EXISTS "${staged}/opt/corrana/conf/admin/${name}")
    message(FATAL_ERROR "a DESTDIR install (${result}) lacks /opt/corrana/conf/admin/${name}")
  endif()
endforeach()
file(REMOVE_RECURSE "${staged}")

# Run from the prefix alone: each program finds every library it needs in lib/ (a library the
# loader cannot find ends the program before it can print its usage).
foreach(program IN ITEMS corramon tapview)
  execute_process(COMMAND "${PREFIX}/bin/${program}" --help
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  string(FIND "${out}${err}" "usage: ${program}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "installed ${program} --help: ${result}\n${out}${err}")
  endif()
endforeach()
file(REMOVE_RECURSE "${PREFIX}")
