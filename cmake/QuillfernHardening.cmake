# The hardening Debian builds its own packages with (dpkg-buildflags): stack protection, format
# checks, fortified C library calls, and relocations resolved at start and then made read-only
# (relro with bindnow), for every target of the project. Fortification needs optimisation and
# only gets in the way of the sanitizers, so builds with either of those go without it.
add_compile_options(-fstack-protector-strong -fstack-clash-protection -Wformat
                    -Werror=format-security)
add_link_options(LINKER:-z,relro LINKER:-z,now)
if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
