# Writes the .def with the 32-bit stdcall names (Name@bytes) that an import library for
# VELDC.DLL needs: a client compiled against veldc.h calls _GetError@4, which the DLL exports as
# plain GetError (dlltool -k maps one to the other). Every argument of the API takes 4 bytes.
# cmake -DHEADER=include/veldc.h -DOUT=veldc-stdcall.def -P DecoratedDef.cmake
cmake_minimum_required(VERSION 3.25)
file(READ "${HEADER}" _header)
string(REGEX MATCHALL "VELDC_API [A-Za-z_][A-Za-z0-9_]*\\([^)]*\\)" _decls "${_header}")
set(_text "LIBRARY VELDC.DLL\nEXPORTS\n")
foreach(_decl IN LISTS _decls)
  string(REGEX REPLACE "VELDC_API ([A-Za-z0-9_]+)\\(.*" "\\1" _name "${_decl}")
  string(REGEX REPLACE "^[^(]*\\((.*)\\)$" "\\1" _args "${_decl}")
  string(STRIP "${_args}" _args)
  if(_args STREQUAL "void" OR _args STREQUAL "")
    set(_count 0)
  else()
    string(REGEX MATCHALL "," _commas "${_args}")
    list(LENGTH _commas _count)
    math(EXPR _count "${_count} + 1")
  endif()
  math(EXPR _bytes "${_count} * 4")
  string(APPEND _text "  ${_name}@${_bytes}\n")
endforeach()
string(APPEND _text "  hCommId DATA\n")
file(WRITE "${OUT}" "${_text}")
