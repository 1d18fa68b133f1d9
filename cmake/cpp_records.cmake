# Writes mcu_agent_records.hpp, the C++ interface's map from message id to
# record type, from the message rows (protocol_rows.h), so that which record
# a message carries is written once, in the rows.  Each row
#
#   MSG(MCU_MSG_RET_HVAC_INFO, "HVAC_INFO", kHvacInfoL)
#
# becomes one line of the map (record_of<MCU_MSG_RET_HVAC_INFO> hands a
# HVAC_INFO).  Rows whose record is "byte" name the enumeration of their one
# field (`.of(kHARD_KEY_ID)`: HARD_KEY_ID; none: uint8_t); "unsigned short"
# is uint16_t and "raw payload" the payload's bytes.  A message answers a
# request when a CMD_ANSWERED row's command has its number.  A row this
# script cannot read stops the build instead of guessing.
#
#   cmake -DROWS=protocol_rows.h -DPROTOCOL=protocol.h -DHEADER=mcu_agent_api.h
#         -DTEMPLATE=mcu_agent_records.hpp.in -DOUT=mcu_agent_records.hpp -P cpp_records.cmake
cmake_minimum_required(VERSION 3.25)
foreach(input ROWS PROTOCOL HEADER)
  file(READ "${${input}}" ${input}_text)
  string(REPLACE ";" "@" ${input}_text "${${input}_text}")  # CMake lists split at semicolons
endforeach()

# The number of an enumerator `NAME = 0x..` in `text`.
function(number_of out name text)
  if(NOT text MATCHES "[ \t\n]${name}[ \t]*=[ \t]*(0[xX][0-9A-Fa-f]+|[0-9]+)")
    message(FATAL_ERROR "cpp_records: no number for ${name}")
  endif()
  math(EXPR value "${CMAKE_MATCH_1}")
  set(${out} ${value} PARENT_SCOPE)
endfunction()

# Numbers of the messages that answer a request.
set(answered "")
string(REGEX MATCHALL "CMD_ANSWERED\\((MCU_CMD_[A-Z0-9_]+)," commands "${ROWS_text}")
foreach(row IN LISTS commands)
  string(REGEX REPLACE "CMD_ANSWERED\\((MCU_CMD_[A-Z0-9_]+)," "\\1" command "${row}")
  number_of(value ${command} "${PROTOCOL_text}")
  list(APPEND answered ${value})
endforeach()

string(REGEX MATCHALL "MSG\\(MCU_MSG_[A-Z0-9_]+, \"[^\"]*\", k[A-Za-z0-9_]+\\)" messages "${ROWS_text}")
if(NOT messages)
  message(FATAL_ERROR "cpp_records: no message rows in ${ROWS}")
endif()
set(rows "")
foreach(row IN LISTS messages)
  string(REGEX MATCH "MSG\\((MCU_MSG_[A-Z0-9_]+), \"([^\"]*)\", (k[A-Za-z0-9_]+)\\)" _ "${row}")
  set(id "${CMAKE_MATCH_1}")
  set(record "${CMAKE_MATCH_2}")
  set(layouts "${CMAKE_MATCH_3}")
  if(record STREQUAL "byte")
    # One layout of one byte, one field stored at data[0].
    if(NOT ROWS_text MATCHES "constexpr Layout ${layouts}\\[\\] = {fixed\\((k[A-Za-z0-9_]+), 1\\)}@")
      message(FATAL_ERROR "cpp_records: ${id}: ${layouts} is not one layout of one byte")
    endif()
    set(fields "${CMAKE_MATCH_1}")
    if(NOT ROWS_text MATCHES "constexpr Field ${fields}\\[\\] = {(number\\(\"[a-z_]+\", 0\\)[^{}@]*)}@")
      message(FATAL_ERROR "cpp_records: ${id}: ${fields} is not one number field")
    endif()
    set(field "${CMAKE_MATCH_1}")
    if(NOT field MATCHES "\\.at\\(0, 1\\)$")
      message(FATAL_ERROR "cpp_records: ${id}: ${fields} is not stored as data[0]")
    endif()
    if(field MATCHES "\\.of\\(k([A-Za-z0-9_]+)\\)")
      set(type "${CMAKE_MATCH_1}")
    else()
      set(type "uint8_t")
    endif()
    set(form byte)
  elseif(record STREQUAL "unsigned short")
    set(type "uint16_t")
    set(form record)
  elseif(record STREQUAL "raw payload")
    set(type "raw_payload")
    set(form raw)
  elseif(record MATCHES "^[A-Z][A-Z0-9_]*$" AND HEADER_text MATCHES "}[ \t]*${record}@")
    set(type "${record}")
    set(form record)
  else()
    message(FATAL_ERROR "cpp_records: ${id}: unknown record \"${record}\"")
  endif()
  number_of(value ${id} "${HEADER_text}")
  if(value IN_LIST answered)
    set(answers true)
  else()
    set(answers false)
  endif()
  string(APPEND rows "MCU_AGENT_RECORD_OF(${id}, ${type}, ${form}, ${answers}, \"${record}\")\n")
endforeach()

set(MCU_AGENT_RECORD_ROWS "${rows}")
# Written only when it changed, so that its users rebuild only then.
configure_file("${TEMPLATE}" "${OUT}" @ONLY)
