# Header-only dependencies come from Debian's packages. Both builds read the same headers, but
# the Windows build must never see /usr/include as a whole (glibc's headers would shadow
# mingw's), so each library's folder is linked into one include root of the build tree.
set(KORVAN_DEPS_INCLUDE ${CMAKE_BINARY_DIR}/deps/include)
file(MAKE_DIRECTORY ${KORVAN_DEPS_INCLUDE})

function(korvan_link_headers name source)
  if(NOT EXISTS ${source})
    message(FATAL_ERROR "${source} is missing: run scripts/bootstrap")
  endif()
  file(CREATE_LINK ${source} ${KORVAN_DEPS_INCLUDE}/${name} SYMBOLIC)
endfunction()

korvan_link_headers(p11-kit /usr/include/p11-kit-1/p11-kit)
korvan_link_headers(fmt /usr/include/fmt)
korvan_link_headers(nlohmann /usr/include/nlohmann)
korvan_link_headers(date /usr/include/date)

add_library(korvan_deps INTERFACE)
target_include_directories(korvan_deps SYSTEM INTERFACE ${KORVAN_DEPS_INCLUDE})
# fmt in header-only mode so the static Windows build needs no fmt library of its own.
target_compile_definitions(korvan_deps INTERFACE FMT_HEADER_ONLY)
