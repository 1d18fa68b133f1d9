# The C++ interface (mcu_agent.hpp) compiled with one compiler in one
# language mode, warnings as errors: the unit that uses every template must
# compile, and each mistake in it (MCU_AGENT_WRONG=<n>) must stop the
# compiler with the interface's own message, not with an unrelated error.
#
#   cmake -DCXX=<compiler> -DSTD=17|20 -DINCLUDE=<staged include dir>
#         -DSOURCE=<mcu_agent_hpp.cpp> -DWORK=<scratch dir> [-DMISTAKES=ON] -P cpp_header_check.cmake
#
# The mistakes, and a build without exceptions, are checked in one language
# mode per compiler (MISTAKES): what they test does not depend on it.
cmake_minimum_required(VERSION 3.25)
set(strict -std=c++${STD} -Wall -Wextra -Werror -pedantic-errors -Wshadow -Wold-style-cast -Wundef)
file(MAKE_DIRECTORY ${WORK})

execute_process(COMMAND ${CXX} ${strict} -O2 -I${INCLUDE} -c ${SOURCE} -o ${WORK}/mcu_agent_hpp.o
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CXX} -std=c++${STD} does not compile the C++ interface:\n${out}")
endif()

if(NOT MISTAKES)
  message(STATUS "${CXX} -std=c++${STD}: compiles")
  return()
endif()

# Applications built without exceptions include it too.
execute_process(COMMAND ${CXX} ${strict} -fno-exceptions -I${INCLUDE} -fsyntax-only ${SOURCE}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${CXX} -std=c++${STD} -fno-exceptions does not compile the C++ interface:\n${out}")
endif()

# Mistake number, then what the compiler must say about it.
set(mistakes
  "1@callable must take `const Record &`"    # a record of another message
  "2@callable must take `const Record &`"    # a record for a one-byte message
  "3@no request awaits this message id"      # awaiting a message that answers nothing
  "4@callable must take `const Record &`"    # a completion for another record
  "5@this message id has no row"             # an id without a row
  "6@a request is a request function")       # a request that returns no int
foreach(mistake IN LISTS mistakes)
  string(REPLACE "@" ";" mistake "${mistake}")
  list(GET mistake 0 n)
  list(GET mistake 1 expected)
  execute_process(COMMAND ${CXX} ${strict} -DMCU_AGENT_WRONG=${n} -I${INCLUDE} -fsyntax-only ${SOURCE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(FIND "${out}" "${expected}" at)
  if(rc EQUAL 0 OR at EQUAL -1)
    message(FATAL_ERROR "mistake ${n}: expected a failed compile saying \"${expected}\", got status ${rc}:\n${out}")
  endif()
endforeach()
message(STATUS "${CXX} -std=c++${STD}: compiles, and rejects every mistake")
