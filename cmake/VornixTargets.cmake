# Warnings for the project's own targets; never applied to third-party code.
function(vx_enable_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
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
endmacro()
