# Warning flags for the product sources; tests get the same set minus -Wconversion noise
# from third-party macros.
set(PRINTXPC_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
if(PRINTXPC_WERROR)
  list(APPEND PRINTXPC_WARNINGS -Werror)
endif()

function(printxpc_product_target target)
  target_compile_options(${target} PRIVATE ${PRINTXPC_WARNINGS})
endfunction()
