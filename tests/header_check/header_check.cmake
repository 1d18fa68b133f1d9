# Every public header compiled on its own, as C99, C11, C++11 and C++17, with
# warnings as errors and strict ISO conformance.  Applications include these
# headers in any of these modes; a header that leans on something it does
# not include, on a compiler extension or on a newer language version fails
# the build here rather than in an application.  The layout assertions at
# the end of mcu_agent_api.h run in every mode, so this also proves the
# record layouts for each build's compiler (the cross compiler included).
set(MCU_AGENT_PUBLIC_HEADER_CHECKS client_h mcu_agent_api_h)
set(MCU_AGENT_HEADER_CHECK_DIR ${CMAKE_CURRENT_LIST_DIR})

set(strict -Wall -Wextra -Werror -pedantic-errors -Wundef -Wshadow)
foreach(mode c99 c11 cxx11 cxx17)
  set(target header_check_${mode})
  set(sources "")
  foreach(check IN LISTS MCU_AGENT_PUBLIC_HEADER_CHECKS)
    if(mode MATCHES "^c[0-9]")
      list(APPEND sources ${MCU_AGENT_HEADER_CHECK_DIR}/${check}.c)
    else()
      # The same unit compiled as C++: a one-line wrapper in the build tree.
      set(wrapper ${CMAKE_CURRENT_BINARY_DIR}/header_check/${check}.cpp)
      file(CONFIGURE OUTPUT ${wrapper}
        CONTENT "#include \"${MCU_AGENT_HEADER_CHECK_DIR}/${check}.c\"\n")
      list(APPEND sources ${wrapper})
    endif()
  endforeach()
  add_library(${target} OBJECT ${sources})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/mcu_agent_client)
  if(mode MATCHES "^c([0-9]+)$")
    set_target_properties(${target} PROPERTIES
      C_STANDARD ${CMAKE_MATCH_1} C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE ${strict} -Wstrict-prototypes)
  else()
    string(REGEX REPLACE "^cxx" "" std ${mode})
    set_target_properties(${target} PROPERTIES
      CXX_STANDARD ${std} CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
    target_compile_options(${target} PRIVATE ${strict} -Wold-style-cast)
  endif()
endforeach()
