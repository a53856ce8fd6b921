# Project-wide compile settings, applied per target with reposa_target_settings().
function(reposa_target_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
  if(REPOSA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

if(REPOSA_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(REPOSA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "REPOSA_FUZZ needs clang (CXX=clang++)")
  endif()
  # Coverage instrumentation for everything the fuzz targets link.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage_ignore.txt)
  # Programs other than the fuzz targets (reposa-server, ...) link the same
  # instrumented objects, so they need the sanitizer runtimes too.
  add_link_options(-fsanitize=address,undefined)
endif()
