# Sanitizer builds: -DTT_SANITIZE=address,undefined or -DTT_SANITIZE=thread
# instruments every target of the tree (libraries, programs, tests alike).
set(TT_SANITIZE "" CACHE STRING "Sanitizers for every target: address,undefined or thread (empty: none)")

if(TT_SANITIZE)
  string(REPLACE "," ";" _tt_sanitizers "${TT_SANITIZE}")
  foreach(_tt_sanitizer IN LISTS _tt_sanitizers)
    if(NOT _tt_sanitizer MATCHES "^(address|undefined|thread|leak)$")
      message(FATAL_ERROR "TT_SANITIZE: unknown sanitizer '${_tt_sanitizer}'")
    endif()
  endforeach()
  if("thread" IN_LIST _tt_sanitizers AND ("address" IN_LIST _tt_sanitizers OR "leak" IN_LIST _tt_sanitizers))
    message(FATAL_ERROR "TT_SANITIZE: thread cannot be combined with address or leak")
  endif()

  # A finding must fail the test that caused it, undefined behaviour included.
  set(_tt_flags -fsanitize=${TT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_compile_options(${_tt_flags})
  add_link_options(${_tt_flags})
  if("thread" IN_LIST _tt_sanitizers AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # ThreadSanitizer does not model asio's stand-alone fences, and gcc says
    # so for each. jtag-server runs its io_context on one thread, so those
    # fences order nothing between threads that the sanitizer must see.
    add_compile_options(-Wno-tsan)
  endif()
  message(STATUS "Sanitizers: ${TT_SANITIZE}")
endif()

# Fuzzing builds (clang): every target gets the coverage instrumentation that
# libFuzzer steers by; the fuzz programs themselves link its driver (fuzz/).
option(TT_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)
if(TT_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
endif()
