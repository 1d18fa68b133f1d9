# Writes the protocol description's enumeration rows from the public
# header, so that an enumeration's members and their names are written
# once, in mcu_agent_api.h.  Every `typedef enum { ... } NAME;` becomes
#
#   constexpr EnumValue kNAME_values[] = {V(MEMBER), ...};
#   constexpr Enumeration kNAME{"NAME", kNAME_values};
#
# and kEnumerations lists them all.  protocol.cpp includes the result with
# V(member) defined as {value, "member"}.
#
#   cmake -DHEADER=mcu_agent_api.h -DOUT=protocol_enumerations.inc -P protocol_enumerations.cmake
file(READ "${HEADER}" text)
string(REPLACE ";" "@" text "${text}")  # CMake lists split at semicolons
string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" "" text "${text}")
string(REGEX MATCHALL "typedef enum[ \t\r\n]*{[^}]*}[ \t\r\n]*[A-Za-z_][A-Za-z0-9_]*@" enums "${text}")

set(rows "")
set(all "")
foreach(enum IN LISTS enums)
  string(REGEX MATCH "{([^}]*)}[ \t\r\n]*([A-Za-z_][A-Za-z0-9_]*)@" _ "${enum}")
  set(body "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  string(REPLACE "," ";" items "${body}")
  set(values "")
  foreach(item IN LISTS items)
    string(REGEX REPLACE "=.*" "" member "${item}")
    string(STRIP "${member}" member)
    if(member)
      list(APPEND values "V(${member})")
    endif()
  endforeach()
  list(JOIN values ", " values)
  string(APPEND rows "constexpr EnumValue k${name}_values[] = {${values}};\n")
  string(APPEND rows "constexpr Enumeration k${name}{\"${name}\", k${name}_values};\n")
  list(APPEND all "&k${name}")
endforeach()
list(JOIN all ", " all)
set(result "// Written from the public header's enumerations by cmake/protocol_enumerations.cmake.\n${rows}\nconstexpr const Enumeration *kEnumerations[] = {${all}};\n")

set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL result)
  file(WRITE "${OUT}" "${result}")
endif()
