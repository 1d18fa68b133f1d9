# One step of the packaging test, run by CTest:
#   cmake -DSETTINGS=<settings.cmake> -DSTEP=install|pkg_config|find_package -P packaging_test.cmake
# install        cmake --install into a fresh prefix; checks the files, the
#                library's symlink chain, its SONAME and the libraries it
#                needs.
# pkg_config     compiles the consumers (C, and C++ through mcu_agent.hpp)
#                with the flags that pkg-config gives for the installed
#                mcu_agent_client.pc, and runs them.
# find_package   configures and builds the consumer project, which uses
#                find_package(mcu_agent_client CONFIG), and runs it (linked
#                to the shared and to the static library), and its unit
#                test against the fake agent (mcu_agent_client::testing).
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})

function(run_checked what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " cmd "${ARGN}")
    message(FATAL_ERROR "${what} failed (${rc}): ${cmd}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Runs a consumer (under the emulator in a cross build); it prints
# "consumer ok" when the installed library behaved.
function(run_consumer program)
  run_checked("running ${program}" ${EMULATOR} ${program})
  if(NOT run_output MATCHES "consumer ok")
    message(FATAL_ERROR "${program} printed:\n${run_output}")
  endif()
  message(STATUS "${program}: consumer ok")
endfunction()

set(lib ${PREFIX}/${LIBDIR})
set(shared libmcu_agent_client.so)

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${PREFIX})
  run_checked("cmake --install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})
  set(package ${lib}/cmake/mcu_agent_client)
  foreach(file
      ${lib}/${shared}.${VERSION} ${lib}/${shared}.${VERSION_MAJOR} ${lib}/${shared}
      ${lib}/libmcu_agent_client.a
      ${lib}/libmcu_agent_testing.so
      ${PREFIX}/${INCLUDEDIR}/mcu_agent_client/mcu_agent_testing.hpp
      ${PREFIX}/${INCLUDEDIR}/mcu_agent_client/client.h
      ${PREFIX}/${INCLUDEDIR}/mcu_agent_client/mcu_agent_api.h
      ${PREFIX}/${INCLUDEDIR}/mcu_agent_client/mcu_agent.hpp
      ${PREFIX}/${INCLUDEDIR}/mcu_agent_client/mcu_agent_records.hpp
      ${lib}/pkgconfig/mcu_agent_client.pc
      ${package}/mcu_agent_client-config.cmake
      ${package}/mcu_agent_client-config-version.cmake
      ${package}/mcu_agent_client-targets.cmake)
    if(NOT EXISTS ${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
  # Development link -> SONAME link -> the versioned file.
  file(READ_SYMLINK ${lib}/${shared} link)
  file(READ_SYMLINK ${lib}/${shared}.${VERSION_MAJOR} soname_link)
  if(NOT link STREQUAL "${shared}.${VERSION_MAJOR}" OR NOT soname_link STREQUAL "${shared}.${VERSION}")
    message(FATAL_ERROR "symlinks: ${shared} -> ${link}, ${shared}.${VERSION_MAJOR} -> ${soname_link}")
  endif()
  if(NOT READELF)
    message(FATAL_ERROR "no readelf to read the SONAME with")
  endif()
  run_checked("readelf" ${READELF} -d ${lib}/${shared}.${VERSION})
  if(NOT run_output MATCHES "\\(SONAME\\)[^\n]*\\[${shared}\\.${VERSION_MAJOR}\\]")
    message(FATAL_ERROR "SONAME is not ${shared}.${VERSION_MAJOR}:\n${run_output}")
  endif()
  # The target offers libc and POSIX threads (and the compiler's support
  # library, which glibc itself loads); the C++ runtime is not there.
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${run_output}")
  if(NOT needed)
    message(FATAL_ERROR "no NEEDED entries in:\n${run_output}")
  endif()
  foreach(entry IN LISTS needed)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" name "${entry}")
    if(NOT SANITIZED AND NOT name MATCHES "^(libc|libpthread|libgcc_s)\\.so\\.[0-9]+$|^ld-linux")
      message(FATAL_ERROR "${shared} needs ${name}; it may need only libc and POSIX threads")
    endif()
  endforeach()
  message(STATUS "installed into ${PREFIX}")

elseif(STEP STREQUAL "pkg_config")
  if(NOT PKG_CONFIG)
    message(FATAL_ERROR "pkg-config is not installed")
  endif()
  # Only the installed copy: no other .pc file, no sysroot.
  set(ENV{PKG_CONFIG_LIBDIR} ${lib}/pkgconfig)
  unset(ENV{PKG_CONFIG_PATH})
  unset(ENV{PKG_CONFIG_SYSROOT_DIR})
  run_checked("pkg-config --modversion" ${PKG_CONFIG} --modversion mcu_agent_client)
  string(STRIP "${run_output}" version)
  if(NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config reports version ${version}, expected ${VERSION}")
  endif()
  run_checked("pkg-config --cflags --libs" ${PKG_CONFIG} --cflags --libs mcu_agent_client)
  separate_arguments(flags UNIX_COMMAND "${run_output}")
  separate_arguments(build_flags UNIX_COMMAND "${C_FLAGS} ${EXE_LINKER_FLAGS}")
  set(out_dir ${WORK_DIR}/pkg_config)
  file(REMOVE_RECURSE ${out_dir})
  file(MAKE_DIRECTORY ${out_dir})
  # As a Makefile user would: compiler, source, pkg-config's flags, and a
  # run path because the prefix is not one the loader searches.
  run_checked("compiling the consumer"
    ${C_COMPILER} ${build_flags} -std=c99 -Wall -Wextra -Werror -pedantic-errors
    ${CONSUMER_DIR}/consumer.c ${flags} -Wl,-rpath,${lib} -o ${out_dir}/consumer)
  run_consumer(${out_dir}/consumer)
  separate_arguments(cxx_build_flags UNIX_COMMAND "${CXX_FLAGS} ${EXE_LINKER_FLAGS}")
  run_checked("compiling the C++ consumer"
    ${CXX_COMPILER} ${cxx_build_flags} -std=c++17 -Wall -Wextra -Werror -pedantic-errors
    ${CONSUMER_DIR}/consumer.cpp ${flags} -Wl,-rpath,${lib} -o ${out_dir}/consumer_cpp)
  run_consumer(${out_dir}/consumer_cpp)

elseif(STEP STREQUAL "find_package")
  set(bin ${WORK_DIR}/find_package)
  file(REMOVE_RECURSE ${bin})
  set(args -S ${CONSUMER_DIR} -B ${bin} -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${PREFIX}
    "-DCMAKE_C_FLAGS=${C_FLAGS}" "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}")
  if(TOOLCHAIN_FILE)
    # A cross build finds packages only below its find roots; the install
    # prefix is one, as a staging directory would be.
    list(APPEND args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE} -DCMAKE_FIND_ROOT_PATH=${PREFIX})
  else()
    list(APPEND args -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
  endif()
  run_checked("configuring the consumer" ${CMAKE_COMMAND} ${args})
  run_checked("building the consumer" ${CMAKE_COMMAND} --build ${bin})
  run_consumer(${bin}/consumer)
  run_consumer(${bin}/consumer_static)
  run_consumer(${bin}/consumer_cpp)
  run_consumer(${bin}/testing_consumer)

else()
  message(FATAL_ERROR "unknown STEP '${STEP}'")
endif()
