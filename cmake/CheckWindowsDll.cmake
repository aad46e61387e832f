# Checks a built VELDC.DLL from the file itself (no Windows needed):
#   - its export names are exactly the names in the .def file;
#   - it imports only system DLLs the library means to use;
#   - its resources hold the two meter dialogs as designed and the version block of the project.
# cmake -DDLL=... -DDEF=... -DOBJDUMP=... -DWINDRES=... -DVERSION=1.2.3.4 [-DREQUIRE=ON]
#       -P CheckWindowsDll.cmake
# A missing DLL prints "SKIPPED:" (the test is marked skipped) unless REQUIRE is on.
cmake_minimum_required(VERSION 3.25)

set(_failures "")
macro(fail text)
  string(APPEND _failures "  ${text}\n")
endmacro()

if(NOT EXISTS "${DLL}")
  if(REQUIRE)
    message(FATAL_ERROR "${DLL} does not exist")
  endif()
  message("SKIPPED: ${DLL} has not been built")
  return()
endif()

# ---- exports --------------------------------------------------------------------------------
include(${CMAKE_CURRENT_LIST_DIR}/DefExports.cmake)
veldc_def_exports("${DEF}" _expected)
list(LENGTH _expected _expected_count)
if(_expected_count EQUAL 0)
  fail("${DEF} lists no exports")
endif()

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE _dump RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE "\n" ";" _dump_lines "${_dump}")
set(_exported "")
set(_imports "")
set(_in_names OFF)
foreach(_line IN LISTS _dump_lines)
  if(_line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(_in_names ON)
  elseif(_in_names AND _line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ ]+)$")
    list(APPEND _exported "${CMAKE_MATCH_1}")
  elseif(_in_names)
    set(_in_names OFF)
  endif()
  if(_line MATCHES "DLL Name: (.+)$")
    string(TOUPPER "${CMAKE_MATCH_1}" _import)
    list(APPEND _imports "${_import}")
  endif()
endforeach()

set(_missing ${_expected})
list(REMOVE_ITEM _missing ${_exported})
set(_extra ${_exported})
list(REMOVE_ITEM _extra ${_expected})
foreach(_name IN LISTS _missing)
  fail("not exported: ${_name}")
endforeach()
foreach(_name IN LISTS _extra)
  fail("exported but not in the .def: ${_name}")
endforeach()
list(LENGTH _exported _exported_count)
list(REMOVE_DUPLICATES _exported)
list(LENGTH _exported _unique_count)
if(NOT _exported_count EQUAL _unique_count)
  fail("an export name appears twice")
endif()

set(_allowed KERNEL32.DLL MSVCRT.DLL USER32.DLL GDI32.DLL VERSION.DLL ADVAPI32.DLL)
foreach(_import IN LISTS _imports)
  if(NOT _import IN_LIST _allowed)
    fail("unexpected import: ${_import}")
  endif()
endforeach()
if(NOT "KERNEL32.DLL" IN_LIST _imports)
  fail("KERNEL32.DLL is not imported: the import table was not read")
endif()

# ---- resources ------------------------------------------------------------------------------
execute_process(COMMAND "${WINDRES}" -i "${DLL}" -O rc OUTPUT_VARIABLE _rc_text
                RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "${WINDRES} -i ${DLL} -O rc failed")
endif()

# The style 0x96c008c4 is WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION |
# DS_CENTER | DS_SETFONT | DS_MODALFRAME | DS_3DLOOK: a caption without a system menu.
# The bars are static controls with WS_BORDER, SS_SUNKEN, SS_LEFTNOWORDWRAP (and SS_NOTIFY on
# the connect meter) and the client-edge extended style.
set(_dialog_110 [[
110 DIALOGEX 0, 0, 131, 40
STYLE 0x96c008c4
EXSTYLE 0x200
CAPTION "Work in progress..."
FONT 8, "MS Sans Serif"
BEGIN
  LTEXT "Records", 101, 27, 1, 43, 10, 0x50020000
  LTEXT "00", 109, 78, 1, 23, 9, 0x50020000
  LTEXT "Total bytes", 102, 25, 25, 40, 12, 0x50020000
  RTEXT "", 1008, 67, 26, 29, 11, 0x50020002
  CONTROL "", 103, "STATIC", 0x5080100c, 16, 14, 93, 8, 0x200, 0
END
]])
set(_dialog_111 [[
111 DIALOGEX 0, 0, 129, 41
STYLE 0x96c008c4
EXSTYLE 0x200
CAPTION "Connecting....."
FONT 8, "MS Sans Serif"
BEGIN
  CONTROL "", 107, "STATIC", 0x5080110c, 17, 15, 92, 8, 0x200, 0
  LTEXT "IP address", 106, 17, 3, 71, 8, 0x50020000
  LTEXT "Status", 105, 18, 27, 84, 13, 0x50020000
END
]])
foreach(_id 110 111)
  string(FIND "${_rc_text}" "${_dialog_${_id}}" _at)
  if(_at LESS 0)
    fail("dialog ${_id} is missing or differs from its design")
  endif()
endforeach()
string(REGEX MATCHALL "LANGUAGE [0-9]+, [0-9]+" _languages "${_rc_text}")
list(REMOVE_DUPLICATES _languages)
if(NOT _languages STREQUAL "LANGUAGE 16, 1")
  fail("resource language is '${_languages}', expected Italian (LANGUAGE 16, 1)")
endif()

string(REPLACE "." ", " _file_version "${VERSION}")
if(NOT _rc_text MATCHES "VERSIONINFO\n FILEVERSION ${_file_version}\n")
  fail("no version block with FILEVERSION ${_file_version}")
endif()
if(NOT _rc_text MATCHES "VALUE \"OriginalFilename\", \"VELDC.DLL\"")
  fail("version block lacks OriginalFilename VELDC.DLL")
endif()

if(_failures)
  message(FATAL_ERROR "${DLL}:\n${_failures}")
endif()
message("${DLL}: ${_expected_count} exports as in the .def, imports ${_imports}, dialogs 110 and "
        "111, version ${VERSION}")
