# The README's minimal application compiles as it is printed, with every
# warning an error: the first ```c block is written out and compiled
# against the public header.
#   cmake -DREADME=... -DCC=... -DINCLUDE=... -DOUT=... -P readme_example.cmake
file(READ ${README} text)
string(REGEX MATCH "```c\n([^`]*)```" block "${text}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "no ```c block in ${README}")
endif()
file(WRITE ${OUT}/readme_example.c "${CMAKE_MATCH_1}")
execute_process(
  COMMAND ${CC} -std=c11 -Wall -Wextra -Werror -I${INCLUDE} -c ${OUT}/readme_example.c -o ${OUT}/readme_example.o
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's example does not compile:\n${out}")
endif()
