# The header-only libraries of the server and chainprobe (standalone Asio,
# toml++, CLI11) come from the build host's packages (Debian: libasio-dev,
# libtomlplusplus-dev, libcli11-dev), also for a cross build: there they are
# searched after the target's own headers, so that none of the host's C
# library headers takes the place of the target's.

# tt_use_host_headers(<target> <PUBLIC|PRIVATE> <header>...): the folders
# holding these headers become include folders of the target.
function(tt_use_host_headers target scope)
  foreach(header IN LISTS ARGN)
    string(MAKE_C_IDENTIFIER "TT_HEADERS_${header}" variable)
    find_path(${variable} ${header} NO_CMAKE_FIND_ROOT_PATH
              DOC "Folder of the header-only library's ${header}")
    if(NOT ${variable})
      message(FATAL_ERROR "${header} not found (Debian: tools/need-packages demo installs what the build needs)")
    endif()
    if(CMAKE_CROSSCOMPILING)
      target_compile_options(${target} ${scope} "SHELL:-idirafter ${${variable}}")
    else()
      target_include_directories(${target} ${scope} ${${variable}})
    endif()
  endforeach()
endfunction()
