# Compiles every file of SOURCES with COMPILER and FLAGS (both lists) against
# the FreeBSD headers in SYSROOT, prints one line per file and
# "N passed, M failed", and fails if any file drew a diagnostic. Run by the
# check-freebsd target.
#
# FreeBSD installs a few headers as symbolic links (errno.h -> sys/errno.h).
# A copy of the tree made without links holds those as small text files that
# name their target; for each of them a header that includes the target is
# put in OVERLAY, which is searched first.
file(REMOVE_RECURSE ${OVERLAY})
file(GLOB_RECURSE headers RELATIVE ${SYSROOT}/usr/include ${SYSROOT}/usr/include/*.h)
foreach(header IN LISTS headers)
  set(path ${SYSROOT}/usr/include/${header})
  file(SIZE ${path} size)
  if(size LESS 256 AND NOT IS_SYMLINK ${path})
    file(READ ${path} text)
    string(STRIP "${text}" text)
    get_filename_component(directory ${path} DIRECTORY)
    if(text MATCHES "^[A-Za-z0-9_./-]+\\.h$" AND EXISTS ${directory}/${text})
      file(WRITE ${OVERLAY}/${header} "#include \"${directory}/${text}\"\n")
    endif()
  endif()
endforeach()

set(passed 0)
set(failed 0)
foreach(source IN LISTS SOURCES)
  execute_process(COMMAND ${COMPILER} -isystem ${OVERLAY} ${FLAGS} ${source}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0 AND output STREQUAL "")
    message("ok      ${source}")
    math(EXPR passed "${passed} + 1")
  else()
    message("FAILED  ${source}\n${output}")
    math(EXPR failed "${failed} + 1")
  endif()
endforeach()
message("${passed} passed, ${failed} failed")
if(failed GREATER 0)
  message(FATAL_ERROR "the launcher does not compile for FreeBSD")
endif()
