# Installs the library into a temporary prefix in the build tree and builds
# a tiny C application (and a C++ one, through mcu_agent.hpp) against that copy, once through pkg-config and once
# through find_package(mcu_agent_client CONFIG), with this build's compiler
# and flags (the cross compiler in an ARM build, the sanitizers in a
# sanitizer build).  The applications then run, under the emulator in a
# cross build, against the installed libraries.
set(MCU_AGENT_PACKAGING_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)
find_program(MCU_AGENT_PKG_CONFIG NAMES pkg-config pkgconf)

# A sanitizer build's library needs the sanitizer's runtimes (and through
# them the C++ runtime); only the others are held to libc and threads.
set(MCU_AGENT_SANITIZED OFF)
if("${CMAKE_CXX_FLAGS} ${CMAKE_SHARED_LINKER_FLAGS}" MATCHES "-fsanitize=")
  set(MCU_AGENT_SANITIZED ON)
endif()

# Everything the test script needs from this configuration.  Lists (the
# emulator command) keep their separators inside the quoted values.
file(CONFIGURE OUTPUT ${MCU_AGENT_PACKAGING_DIR}/settings.cmake CONTENT [[
set(BUILD_DIR "@CMAKE_BINARY_DIR@")
set(WORK_DIR "@MCU_AGENT_PACKAGING_DIR@")
set(PREFIX "@MCU_AGENT_PACKAGING_DIR@/prefix")
set(LIBDIR "@CMAKE_INSTALL_LIBDIR@")
set(INCLUDEDIR "@CMAKE_INSTALL_INCLUDEDIR@")
set(VERSION "@PROJECT_VERSION@")
set(VERSION_MAJOR "@PROJECT_VERSION_MAJOR@")
set(CONSUMER_DIR "@CMAKE_CURRENT_LIST_DIR@/consumer")
set(GENERATOR "@CMAKE_GENERATOR@")
set(BUILD_TYPE "@CMAKE_BUILD_TYPE@")
set(C_COMPILER "@CMAKE_C_COMPILER@")
set(C_FLAGS "@CMAKE_C_FLAGS@")
set(CXX_COMPILER "@CMAKE_CXX_COMPILER@")
set(CXX_FLAGS "@CMAKE_CXX_FLAGS@")
set(EXE_LINKER_FLAGS "@CMAKE_EXE_LINKER_FLAGS@")
set(SANITIZED @MCU_AGENT_SANITIZED@)
set(TOOLCHAIN_FILE "@CMAKE_TOOLCHAIN_FILE@")
set(EMULATOR "@CMAKE_CROSSCOMPILING_EMULATOR@")
set(READELF "@CMAKE_READELF@")
set(PKG_CONFIG "@MCU_AGENT_PKG_CONFIG@")
]] @ONLY)

foreach(step install pkg_config find_package)
  add_test(NAME packaging_${step}
    COMMAND ${CMAKE_COMMAND} -DSETTINGS=${MCU_AGENT_PACKAGING_DIR}/settings.cmake -DSTEP=${step}
      -P ${CMAKE_CURRENT_LIST_DIR}/packaging_test.cmake)
endforeach()
set_tests_properties(packaging_install PROPERTIES FIXTURES_SETUP mcu_agent_installed)
set_tests_properties(packaging_pkg_config packaging_find_package PROPERTIES
  FIXTURES_REQUIRED mcu_agent_installed TIMEOUT 300)
