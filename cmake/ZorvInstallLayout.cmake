# Where things go when installed, and how installed binaries find the
# libraries: by run paths relative to the binary itself ($ORIGIN), so that an
# install works from whatever prefix it was made into or moved to, without
# LD_LIBRARY_PATH, and a Debian package carries no absolute run path.

# The QET application libraries: no headers and no users but QET and qet-send,
# so they stay out of the public library directory.
set(ZORV_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zorv)
# systemd looks for user units under <prefix>/lib whatever the libdir.
set(ZORV_SYSTEMD_USER_UNITDIR lib/systemd/user)

# zorv_install_rpath(TARGET INSTALLED_IN LIBDIR...): TARGET, installed in the
# directory INSTALLED_IN (relative to the prefix), finds its libraries in each
# LIBDIR (relative to the prefix too).
function(zorv_install_rpath target installed_in)
  set(rpath "")
  foreach(dir IN LISTS ARGN)
    file(RELATIVE_PATH relative /prefix/${installed_in} /prefix/${dir})
    string(REGEX REPLACE "/$" "" relative "${relative}")
    if(relative STREQUAL "")
      list(APPEND rpath "$ORIGIN")
    else()
      list(APPEND rpath "$ORIGIN/${relative}")
    endif()
  endforeach()
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
endfunction()
