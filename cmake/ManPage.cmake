# Writes a program's manual page from its --help and --version and a
# hand-written include file (help2man), compressed as man expects it:
#   cmake -DPROGRAM=path -DINCLUDE=file.h2m -DOUTPUT=name.1.gz -DHELP2MAN=path
#         [-DMANUAL=title] -P ManPage.cmake
# The program runs as on a machine without a display, so a --help that needs
# one fails the build instead of making an empty page.
foreach(var PROGRAM INCLUDE OUTPUT HELP2MAN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPage.cmake needs -D${var}=...")
  endif()
endforeach()

get_filename_component(dir "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME)
# Found by name on the PATH, so its usage line says "name", not the build path.
set(ENV{PATH} "${dir}:$ENV{PATH}")
foreach(var DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM)
  unset(ENV{${var}})
endforeach()
# A sanitizer build reports the toolkit's one-off allocations as leaks.
set(ENV{ASAN_OPTIONS} "detect_leaks=0")

foreach(option --help --version)
  execute_process(COMMAND ${name} ${option} RESULT_VARIABLE status OUTPUT_VARIABLE text
                  ERROR_VARIABLE errors)
  if(NOT status EQUAL 0 OR text STREQUAL "")
    message(FATAL_ERROR "${name} ${option} failed (${status}) without a display:\n${errors}")
  endif()
endforeach()

if(NOT MANUAL)
  set(MANUAL "User Commands")
endif()
execute_process(
  COMMAND ${HELP2MAN} --no-info --section=1 "--manual=${MANUAL}" "--include=${INCLUDE}"
          "--output=${OUTPUT}.tmp" ${name}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${name}")
endif()
# -n: no name or time in the header, so the same page gives the same bytes.
execute_process(COMMAND gzip -9nc "${OUTPUT}.tmp" OUTPUT_FILE "${OUTPUT}" RESULT_VARIABLE status)
file(REMOVE "${OUTPUT}.tmp")
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed for ${OUTPUT}")
endif()
