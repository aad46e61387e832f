# Hardening for every build of the project, whoever configures it: a packager's or integrator's
# optimised build gets it without our presets. cmake/CheckHardening.cmake reads it back from the
# built files.
option(VELDC_HARDENING "Build with stack protector, FORTIFY_SOURCE, full RELRO and ASLR/DEP" ON)
set(VELDC_FORTIFY OFF)
if(NOT VELDC_HARDENING)
  return()
endif()

add_compile_options(-fstack-protector-strong)

if(WIN32)
  # MinGW resolves __stack_chk_fail from libssp, which the static runtime links in: the driver
  # adds it only when the flag is on the link line too.
  add_link_options(-fstack-protector-strong LINKER:--dynamicbase LINKER:--nxcompat)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    add_link_options(LINKER:--high-entropy-va)
  endif()
  return()
endif()

# FORTIFY_SOURCE needs the optimiser (glibc warns, and warnings are errors, at -O0), and the
# sanitizers replace the functions it checks. A packager's own -D_FORTIFY_SOURCE wins.
set(_veldc_flags "${CMAKE_C_FLAGS} ${CMAKE_CXX_FLAGS}")
if(NOT _veldc_flags MATCHES "_FORTIFY_SOURCE|-fsanitize")
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  if(CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
    set(VELDC_FORTIFY ON)
  endif()
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
