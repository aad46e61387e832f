# Source lists are globbed per folder so that a new unit needs no build edit.
function(veldc_glob out)
  file(GLOB _files CONFIGURE_DEPENDS ${ARGN})
  set(${out} ${_files} PARENT_SCOPE)
endfunction()
