# Warning flags. The product sources get the full set; tests and benchmarks get the set
# without the conversion warnings, which GoogleTest's and Google Benchmark's macros and the
# tests' byte tables would drown in, and without the missing-initializer warning: the tests
# build table rows from the leading fields and leave the defaulted rest out.
set(PRINTXPC_WARNINGS -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow)
set(PRINTXPC_TEST_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
if(PRINTXPC_WERROR)
  list(APPEND PRINTXPC_WARNINGS -Werror)
  list(APPEND PRINTXPC_TEST_WARNINGS -Werror)
endif()

function(printxpc_product_target target)
  target_compile_options(${target} PRIVATE ${PRINTXPC_WARNINGS})
endfunction()
