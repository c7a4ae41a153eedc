# Warnings for the project's own targets; never applied to third-party code.
# Errors too unless VX_WERROR is off, for a compiler newer than the project's
# whose new warnings should not stop a build.
function(vx_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${VX_WERROR}>:-Werror>)
endfunction()

# One sanitizer set for every target of the build, so the agent library, the
# plug-in and the tests agree on their runtime.
macro(vx_apply_sanitizers)
  if(VX_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  elseif(VX_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
  elseif(NOT VX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "VX_SANITIZE must be empty, 'address' or 'thread'")
  endif()
  # clang links its sanitizer runtime into executables only, which leaves the
  # plug-in (linked with --no-undefined) unresolved: a build with the tests
  # uses the shared runtime, as g++ does, and lets every program find it.
  # libFuzzer programs need the static one, so only a build without the tests
  # (scripts/fuzz) makes them. clang's shared ThreadSanitizer runtime crashes
  # at start-up here, so thread builds stay with g++.
  set(VX_SHARED_SANITIZER_RUNTIME OFF)
  if(VX_SANITIZE STREQUAL "thread" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND VX_BUILD_TESTS)
    message(FATAL_ERROR "VX_SANITIZE=thread needs g++; clang builds support 'address'")
  endif()
  if(VX_SANITIZE STREQUAL "address" AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND VX_BUILD_TESTS)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-runtime-dir
      OUTPUT_VARIABLE vx_sanitizer_runtime_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    add_link_options(-shared-libsan -Wl,-rpath,${vx_sanitizer_runtime_dir})
    set(VX_SHARED_SANITIZER_RUNTIME ON)
  endif()
endmacro()
