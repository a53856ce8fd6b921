# Every fuzz target's corpus (fuzz/corpus/<name>) replayed as plain GoogleTest
# cases in the ordinary builds: the target's source with a main that feeds it
# each file. FuzzedDataProvider.h is a plain header that comes with clang's
# runtime package (tools/deps.sh installs it).
file(GLOB reposa_fdp_candidates /usr/lib/llvm-*/lib/clang/*/include/fuzzer/FuzzedDataProvider.h)
if(NOT reposa_fdp_candidates)
  message(WARNING "FuzzedDataProvider.h not found: the fuzz corpora are not replayed")
  return()
endif()
list(GET reposa_fdp_candidates 0 reposa_fdp)
# Only this header: clang's include directory would shadow the compiler's own.
set(reposa_fdp_dir ${CMAKE_CURRENT_BINARY_DIR}/fuzzed_data_provider)
configure_file(${reposa_fdp} ${reposa_fdp_dir}/fuzzer/FuzzedDataProvider.h COPYONLY)

set(reposa_fuzz_dir ${PROJECT_SOURCE_DIR}/fuzz)
function(reposa_corpus_replay name)
  set(target fuzz_${name}_replay)
  add_executable(${target} ${reposa_fuzz_dir}/fuzz_${name}.cpp ${reposa_fuzz_dir}/replay_main.cpp)
  target_include_directories(${target} SYSTEM PRIVATE ${reposa_fdp_dir})
  target_include_directories(${target} PRIVATE ${reposa_fuzz_dir})
  target_compile_definitions(${target} PRIVATE
    REPOSA_CORPUS_DIR="${reposa_fuzz_dir}/corpus/${name}")
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gtest_main)
  reposa_target_settings(${target})
  # Discovered when ctest runs, so a corpus file added later is replayed too.
  gtest_discover_tests(${target} TEST_PREFIX "fuzz_${name}." DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()

reposa_corpus_replay(receive keztocsock_internal)
reposa_corpus_replay(config2 keztocsock_internal)
reposa_corpus_replay(html keztocsock_internal reposa_test_support)
if(TARGET reposa_server_core)
  reposa_corpus_replay(arguments keztocsock_internal reposa_server_core)
  reposa_corpus_replay(server reposa_server_core)
  reposa_corpus_replay(tls reposa_server_net reposa_test_support)
endif()
if(TARGET reposa_console_lib)
  reposa_corpus_replay(console reposa_console_lib)
endif()
