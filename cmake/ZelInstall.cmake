# Install layout and the install rule of each deliverable: one call per target.
#
#   zel_install_library(target)  a shared library a host loads or links (decoder,
#                                camera plug-in, SDK-shaped layer, Gevlink, IPC)
#   zel_install_program(target)  a program
#
# Installed programs and libraries find each other relative to their own
# location (RPATH $ORIGIN/..., the hosts' library look-up from
# /proc/self/exe), so an installed tree works from any prefix and holds no
# build-tree path.
include(GNUInstallDirs)

# The library folder as seen from the program folder ("../lib", or
# "../lib/x86_64-linux-gnu" for the /usr prefix on Debian). Programs look for
# plug-ins and decoders there at run time (compile definition
# ZEL_LIBDIR_FROM_BINDIR of the hosts).
file(RELATIVE_PATH ZEL_LIBDIR_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
if(ZEL_LIBDIR_FROM_BINDIR STREQUAL "")
  set(ZEL_LIBDIR_FROM_BINDIR ".")
endif()

# Every installed library, for the CMake package's imported targets.
set_property(GLOBAL PROPERTY ZEL_INSTALLED_LIBRARIES "")

# The shared library gets its SONAME lib<name>.so.<major> and the file
# lib<name>.so.<version>. Hosts open the plug-ins and decoders by their
# unversioned name (libOrvDecPhsft.so), so that name is installed as well, as
# the link to the versioned file, beside it in the library folder.
function(zel_install_library target)
  set_target_properties(${target} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  install(TARGETS ${target}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set_property(GLOBAL APPEND PROPERTY ZEL_INSTALLED_LIBRARIES ${target})
endfunction()

# The program finds the project's libraries in the installed library folder
# through its run path, whatever the prefix.
function(zel_install_program target)
  set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${ZEL_LIBDIR_FROM_BINDIR}")
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
