# One CTest test per interop suite (included by tests/tpm2, tests/opencryptoki, tests/p11kit): the
# suite's runner gets sign-cli, sign-client and any further arguments, ten minutes at most; exit
# 77 (a package missing, outside CI only) counts as skipped. In the sanitizer build the modules'
# own leaks are suppressed by library (lsan.supp), with full stacks so the library is seen.
function(korvan_interop_test name runner)
  add_test(NAME ${name}
           COMMAND ${runner} $<TARGET_FILE:sign-cli> $<TARGET_FILE:sign-client> ${ARGN})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
  if(KORVAN_SANITIZE)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT
      "ASAN_OPTIONS=fast_unwind_on_malloc=0;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_FUNCTION_LIST_DIR}/lsan.supp")
  endif()
endfunction()
